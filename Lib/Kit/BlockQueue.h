// A bounded first-in first-out queue of blocks between threads.
//
// An entry is a block (the queue holds one reference on it) or null, which
// marks an end of data. A consumer takes an entry only while the count is above
// the lower threshold; a producer waits while the count is at the upper limit.
// The queue is stopped at construction: Start begins its use; Stop wakes every
// waiter, refuses further entries and releases what is queued.
//
// Thread safety: any number of producers and consumers on any threads.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "Lib/Kit/EventObject.h"
#include "Lib/Kit/IBlock.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::kit {

class BlockQueue {
 public:
  // Lower threshold 0 and upper limit kUnlimitedQueue in every use here.
  static constexpr uint32_t kUnlimitedQueue = 0xFFFFFFFFu;

  BlockQueue(uint32_t lower_threshold, uint32_t upper_limit);
  BlockQueue(const BlockQueue&) = delete;
  BlockQueue& operator=(const BlockQueue&) = delete;
  ~BlockQueue();  // releases what is still queued

  // Queues `entry` (null allowed), taking a reference on a block. Waits while
  // the queue is full. False when the queue is (or becomes) stopped; the entry
  // is then not queued and the caller keeps its own reference.
  bool Put(IBlock* entry);
  // Takes the oldest entry into *entry, waiting while the queue is empty. The
  // caller owns the reference of a block taken. False (and *entry null) when the
  // queue is stopped and empty.
  bool Get(IBlock** entry);
  void Start();
  void Stop();

  bool IsStopped() const;
  uint32_t Count() const;
  // Sum of the data lengths of the queued blocks.
  uint64_t QueuedBytes() const;

 private:
  void SetEventsLocked();
  void PushLocked(IBlock* entry);
  IBlock* PopLocked();

  mutable Mutex mu_;
  // A ring that only grows: once it has held the working set, queueing
  // allocates nothing.
  std::vector<IBlock*> ring_;
  size_t head_ = 0;
  size_t count_ = 0;
  uint64_t queued_bytes_ = 0;
  const uint32_t lower_threshold_;
  const uint32_t upper_limit_;
  bool stopped_ = true;
  EventObject not_full_{true, true};
  EventObject not_empty_{true, false};
};

}  // namespace logrum::kit
