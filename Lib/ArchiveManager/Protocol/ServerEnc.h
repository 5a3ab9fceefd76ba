// Encoder of client-to-server messages, the client side's counterpart of
// ClientEnc. Each operation writes one whole message in a single write under
// the writer's lock. A text over its field's 31 bytes is refused before
// anything is written (false, generator untouched).
//
// Thread safety: as ClientEnc; the writer's lock serialises operations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Lib/ArchiveManager/Protocol/Stream.h"
#include "Lib/ArchiveManager/Protocol/WireRng.h"

namespace logrum::protocol {

class ServerEnc {
 public:
  explicit ServerEnc(StreamWriter* writer) : writer_(writer) {}
  ServerEnc(const ServerEnc&) = delete;
  ServerEnc& operator=(const ServerEnc&) = delete;

  bool AttachToArchive(std::string_view name);                                 // 0
  bool GetServerVersion();                                                      // 1
  bool LoginUser(std::string_view user, std::string_view password);            // 2
  bool Ping();                                                                  // 3
  bool Pong();                                                                  // 4
  bool RequestArchiveAudio(int64_t time, uint32_t offset_ms, uint32_t duration_ms);  // 5
  bool RequestArchiveIndex(int64_t from, int64_t to);                           // 6
  bool RequestArchiveList(int32_t kind);                                        // 7
  bool RequestLiveAudio();                                                      // 8
  bool RequestStatus();                                                         // 9

  WireRng& rng() { return rng_; }

 private:
  bool Empty(uint8_t id);

  StreamWriter* writer_;
  WireRng rng_;
  std::string buffer_;  // guarded by the writer's lock
};

}  // namespace logrum::protocol
