// A queue of blocks read as a byte stream: a producer writes blocks through the
// AudioSink face, a consumer reads their bytes at its own pace (the live audio
// streams of the network service).
//
//   Open / Close        begin and end the use; Close drops everything queued.
//   Write(block|null)   producer: queues a block (taking a reference) or an
//                       end-of-data mark; false once closed.
//   Read(buffer)        consumer: fills the buffer from the queued blocks,
//                       waiting while none is queued. Returns the bytes read;
//                       0 when the buffer has no room or at an end-of-data mark
//                       (the next Read continues after it); -1 once closed.
//   QueuedBytes()       bytes of queued blocks not yet taken by Read: whether
//                       the consumer keeps up.
//
// Thread safety: one producer thread calls Write, one consumer thread calls
// Read; Open, Close, IsOpen and QueuedBytes may be called from any thread
// (Close wakes a waiting Read).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "Lib/Kit/AudioSink.h"
#include "Lib/Kit/BlockQueue.h"
#include "Lib/Kit/EventSource.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::kit {

class QueueReader : public BlockSource, public AudioSink {
 public:
  // The name (at most 31 characters) appears in the trace lines.
  QueueReader(uint32_t lower_threshold, uint32_t upper_limit, const char* name);
  ~QueueReader() override;

  void Close() override;
  int32_t Open() override;
  bool IsOpen() override;
  int32_t Read(ByteBuffer* buffer) override;

  bool Write(IBlock* block) override;

  uint64_t QueuedBytes() const { return queue_.QueuedBytes(); }
  uint32_t LastLength() const { return last_length_.load(std::memory_order_relaxed); }
  const char* name() const { return name_.c_str(); }
  AudioSink* sink() { return this; }

 private:
  BlockQueue queue_;
  Mutex current_mu_;           // current block against Close from another thread
  IBlock* current_ GUARDED_BY(current_mu_) = nullptr;
  uint32_t current_offset_ = 0;
  uint32_t current_left_ = 0;
  bool pending_end_ = false;  // an end mark reached after bytes were read
  std::string name_;
  std::atomic<uint32_t> last_length_{0};
  std::atomic<bool> open_{false};
};

}  // namespace logrum::kit
