// A live listener's queue: a QueueReader that never holds more than its byte
// limit (the stream's bytes for 10 seconds).
//
// The live encoder writes every block to every listener without waiting. A
// listener whose client stops reading (a shut TCP window blocks its sends)
// would otherwise keep queueing for as long as the archive records. Here a
// block that would take the queue past the limit is not queued: the reader
// marks itself overflowed and refuses every later block, so the encoder drops
// it from its list, and the connection ends the stream with AudioError 4 once
// its own send returns. Memory per listener is thus bounded by the limit plus
// the block being sent.
//
// Thread safety: as QueueReader; WaitForData and overflowed on the consumer's
// thread, Write on the producer's, Close from any.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "Lib/Kit/QueueReader.h"

namespace logrum::network {

class LiveReader : public kit::QueueReader {
 public:
  LiveReader(uint64_t byte_limit, const char* name);

  bool Write(kit::IBlock* block) override;
  void Close() override;

  // Waits at most ms until Read has something to give (a block, the end of
  // the stream, or the reader closed or overflowed). False when it has not.
  bool WaitForData(uint32_t ms);
  bool overflowed() const { return overflowed_.load(); }

 private:
  bool Ready();
  void Wake();

  const uint64_t byte_limit_;
  std::atomic<bool> overflowed_{false};
  std::atomic<bool> ended_{false};
  std::mutex mu_;
  std::condition_variable changed_;
};

}  // namespace logrum::network
