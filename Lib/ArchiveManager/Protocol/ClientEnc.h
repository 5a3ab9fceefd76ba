// Encoder of server-to-client messages: one operation per message, in
// identifier order, each writing the whole message through the connection's
// writer under its lock and scrambling with the encoder generator.
//
// A message is built in full before the single write, so a message that
// cannot be sent (a text or audio block over its field's limit) leaves nothing
// on the wire and the encoder generator as it was: the client stays in step
// and the caller only learns false. Each operation writes the trace line
// "ClientEnc::<message>\n".
//
// Slot order is part of the contract; do not reorder.
//
// Thread safety: operations may be called from any thread; the writer's lock
// serialises them and guards the generator. Seed only while no message is
// being written (the connection's handshake).
#pragma once

#include <cstdint>
#include <string>

#include "Lib/ArchiveManager/Protocol/Stream.h"
#include "Lib/ArchiveManager/Protocol/WireRng.h"

namespace logrum::protocol {

class ClientEnc {
 public:
  // `writer` may be null (every operation then returns false); not owned.
  explicit ClientEnc(StreamWriter* writer) : writer_(writer) {}
  virtual ~ClientEnc() = default;
  ClientEnc(const ClientEnc&) = delete;
  ClientEnc& operator=(const ClientEnc&) = delete;

  // A text or byte array longer than its field allows; `field` is its name
  // ("pszMessage", "pszArchive", "pData"). Refuses: returns false.
  virtual bool OnStringTooLong(const char* field, uint32_t length, uint32_t max);

  // Texts: null sends an empty text. Times are linear times.
  virtual bool ArchiveIndexBegin(int32_t result, const char* pszMessage);                 // 0
  virtual bool ArchiveIndexEnd();                                                         // 1
  virtual bool ArchiveIndexItem(int64_t start_time, uint32_t duration_ms, bool skim);    // 2
  virtual bool ArchiveIndexNewItem(int64_t start_time, uint32_t duration_ms, bool skim); // 3
  virtual bool ArchiveListBegin(int32_t result, const char* pszMessage);                  // 4
  virtual bool ArchiveListEnd();                                                          // 5
  virtual bool ArchiveListItem(const char* pszArchive);                                   // 6
  virtual bool ArchiveStatusError(int32_t result, const char* pszMessage);                // 7
  virtual bool ArchiveStatus(uint64_t used_kb, uint64_t total_kb, uint32_t clients,
                             int16_t peak_min, int16_t peak_max);                         // 8
  virtual bool AttachToArchiveResult(int32_t result, const char* pszMessage);             // 9
  virtual bool AudioBegin(int64_t start_time, int32_t bitrate_kbps, int32_t sample_rate,
                          uint8_t channels, uint32_t samples_per_block, int32_t block_size,
                          bool skim, bool live);                                          // 10
  virtual bool AudioData(const void* pData, uint32_t size);                               // 11
  virtual bool AudioEnd();                                                                // 12
  virtual bool AudioError(int32_t result, const char* pszMessage);                        // 13
  virtual bool ConnectResult(int32_t result, const char* pszMessage);                     // 14
  virtual bool Ping();                                                                    // 15
  virtual bool Pong();                                                                    // 16
  virtual bool ServerVersionResult(int32_t major, int32_t minor, int32_t revision,
                                   int32_t build);                                        // 17

  // The encoder generator; seeded by the connection after each handshake.
  WireRng& rng() { return rng_; }

 private:
  class Message;
  bool ResultMessage(const char* name, uint8_t id, int32_t result, const char* pszMessage);
  bool EmptyMessage(const char* name, uint8_t id);
  bool IndexItem(const char* name, uint8_t id, int64_t start_time, uint32_t duration_ms,
                 bool skim);

  StreamWriter* writer_;
  WireRng rng_;
  std::string buffer_;  // guarded by the writer's lock
};

}  // namespace logrum::protocol
