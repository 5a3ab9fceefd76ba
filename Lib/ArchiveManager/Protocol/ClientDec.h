// Decoder of server-to-client messages for client programs, the counterpart of
// ServerDec. A server is a peer like any other: identifiers of 18 or more,
// wrong tags, texts over their field's limit and audio blocks over 1100 bytes
// are refused, and nothing is allocated from a peer's length word.
//
// Thread safety: none; one reader thread per connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Lib/ArchiveManager/Protocol/ClientEnc.h"
#include "Lib/ArchiveManager/Protocol/Messages.h"
#include "Lib/ArchiveManager/Protocol/Stream.h"
#include "Lib/ArchiveManager/Protocol/WireRng.h"

namespace logrum::protocol {

struct IndexItem {
  int64_t start_time = 0;  // linear time
  uint32_t duration_ms = 0;
  bool skim = false;
  bool operator==(const IndexItem&) const = default;
};

struct ArchiveStatusInfo {
  uint64_t used_kb = 0;
  uint64_t total_kb = 0;
  uint32_t clients = 0;
  int16_t peak_min = 0;
  int16_t peak_max = 0;
  bool operator==(const ArchiveStatusInfo&) const = default;
};

struct AudioFormatInfo {
  int64_t start_time = 0;  // linear time
  int32_t bitrate_kbps = 0;
  int32_t sample_rate = 0;
  uint8_t channels = 0;
  uint32_t samples_per_block = 0;
  int32_t block_size = 0;
  bool skim = false;
  bool live = false;
  bool operator==(const AudioFormatInfo&) const = default;
};

struct ServerVersion {
  int32_t major = 0, minor = 0, revision = 0, build = 0;
  bool operator==(const ServerVersion&) const = default;
};

// One decoded server message; only the fields of its identifier are set.
struct ServerMessage {
  ServerMsg id = ServerMsg::kPing;
  int32_t result = 0;         // the *Begin, *Error, *Result and ConnectResult messages
  std::string text;           // their pszMessage; ArchiveListItem's pszArchive
  IndexItem item;             // ArchiveIndexItem, ArchiveIndexNewItem
  ArchiveStatusInfo status;   // ArchiveStatus
  AudioFormatInfo audio;      // AudioBegin
  std::vector<uint8_t> data;  // AudioData
  ServerVersion version;      // ServerVersionResult
  bool operator==(const ServerMessage&) const = default;
};

enum class DecodeResult {
  kOk,
  kClosed,     // no identifier could be read: the peer closed or the read failed
  kMalformed,  // unknown identifier, wrong tag, over-long field or truncated message
};

class ClientDec {
 public:
  // Reads one whole message. After kMalformed the stream is out of step and
  // the connection must be closed. `message->data` keeps its capacity between
  // calls, so a stream of AudioData costs no allocation per block.
  static DecodeResult Read(StreamReader& reader, WireRng& rng, ServerMessage* message);
};

// Sends `message` through the matching ClientEnc operation (fake servers, tests).
bool SendServerMessage(ClientEnc& enc, const ServerMessage& message);

}  // namespace logrum::protocol
