// Decoder of client-to-server messages: reads one message from the
// connection's reader, unscrambles it with the decoder generator, and calls
// the matching ClientHandler operation.
//
// Hostile input is the normal case here: an identifier of 10 or more, a wrong
// tag, a text longer than its field (31 bytes; the handler's OnStringTooLong is
// told and refuses) or a failed read all return false, and the caller closes
// the connection. Nothing is allocated from a peer's length word.
//
// Each handler writes three trace lines, for example
//   "ServerDec::HandlePing(): Enter\n"
//   "ServerDec::HandlePing(): Call Ping()\n"
//   "ServerDec::HandlePing(): Return OK\n"   (or "Return Error!\n")
//
// Thread safety: stateless; the reader and generator belong to the caller's
// connection and are used on its task thread only.
#pragma once

#include "Lib/ArchiveManager/Protocol/ClientHandler.h"
#include "Lib/ArchiveManager/Protocol/Stream.h"
#include "Lib/ArchiveManager/Protocol/WireRng.h"

namespace logrum::protocol {

class ServerDec {
 public:
  // Reads and serves one message. Field reads block until their bytes arrive.
  // Returns false when the connection must close: the identifier read failed,
  // the message was malformed, or the request operation returned false.
  static bool Dispatch(StreamReader& reader, WireRng& rng, ClientHandler& handler);
};

}  // namespace logrum::protocol
