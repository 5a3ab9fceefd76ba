// One round of a server connection's loop, and the reader that holds a
// message to its deadline.
//
// A client may begin a message and then send the rest slowly, or never. The
// field reads of ServerDec block until their bytes arrive, so the round gives
// them a DeadlineReader: once a message has begun, all of it must arrive
// within the message time-out, however the bytes trickle in; otherwise the
// read fails and the connection ends like any malformed message.
//
// Thread safety: none; used on the connection's own thread.
#pragma once

#include <cstdint>
#include <functional>

#include "Lib/ArchiveManager/Protocol/ClientHandler.h"
#include "Lib/ArchiveManager/Protocol/Stream.h"
#include "Lib/ArchiveManager/Protocol/WireRng.h"

namespace logrum::protocol {

// Milliseconds of a monotonic real-time tick.
using TickSource = std::function<uint64_t()>;

// Reads from `inner` until a fixed deadline: Read and TimedRead fail once the
// deadline has passed, Wait never waits past it.
class DeadlineReader : public StreamReader {
 public:
  DeadlineReader(StreamReader& inner, uint32_t timeout_ms, TickSource tick);

  bool Read(void* buffer, size_t n) override;
  WaitResult TimedRead(void* buffer, size_t n, uint32_t ms) override;
  WaitResult Wait(uint32_t ms) override;

  bool expired() const { return expired_; }

 private:
  // Milliseconds left (0 when the deadline has passed); kWaitForever without one.
  uint32_t Left();

  StreamReader& inner_;
  TickSource tick_;
  uint64_t deadline_;
  bool forever_;
  bool expired_ = false;
};

struct RoundTimeouts {
  uint32_t idle_ms = 5000;      // silence answered with OnIdle (Ping)
  uint32_t message_ms = 10000;  // a begun message must be complete within this
};

enum class RoundResult {
  kServed,       // a message was read and served
  kIdle,         // the client was silent; OnIdle succeeded
  kEnd,          // the connection ends: closed, failed request or read
  kMessageLate,  // the connection ends: a begun message did not arrive whole in time
};

// Waits for the client at most timeouts.idle_ms. Data: reads one message
// (within timeouts.message_ms) and serves it through `handler`. Silence:
// handler.OnIdle(). The caller keeps going while the result is kServed or kIdle.
RoundResult ServeRound(StreamReader& stream, WireRng& decoder, ClientHandler& handler,
                       const RoundTimeouts& timeouts, const TickSource& tick);

}  // namespace logrum::protocol
