// RecordingBacklog: the skim encoder's blocks that wait for the recording
// thread, each with the time it arrived.
//
// While the disk takes writes the backlog holds a block or two. While it does
// not (a full disk, a lost mount) the recording thread retries and the blocks
// pile up here; without a bound they would take the memory of the whole
// server within hours. So the backlog keeps at most `max_ms` of audio, and
// at most `max_blocks` blocks and `max_bytes` of block memory (the blocks'
// capacity, which for blocks filled a fifth of a second at a time is several
// times their audio; these bound header-only blocks as well): past any bound
// the oldest blocks are dropped, down to nine tenths of it, and released to
// their pool at once. The
// milliseconds dropped in front of a block are handed out with it, so that
// the recording thread can start a new segment at the gap and log its length.
//
// Each entry carries the time it was put, so a block written long after it
// arrived (after an outage) is still stamped with its own time.
//
// An entry is a block (the backlog holds one reference) or null, which marks
// the end of the stream (Stop's mark); the mark is never dropped.
//
// Thread safety: any number of producers and consumers on any threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Kit/IBlock.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::archive {

class RecordingBacklog {
 public:
  struct Entry {
    kit::IBlock* block = nullptr;  // the caller of Get owns this reference
    CZoneTime time;                // when it was put
    uint64_t dropped_ms = 0;       // audio dropped just before this entry
  };

  RecordingBacklog(uint32_t max_ms, uint32_t max_blocks, uint64_t max_bytes = UINT64_MAX);
  ~RecordingBacklog();  // releases what is still queued
  RecordingBacklog(const RecordingBacklog&) = delete;
  RecordingBacklog& operator=(const RecordingBacklog&) = delete;

  void Start();
  // Wakes every waiter, refuses further entries and releases what is queued.
  void Stop();

  // Queues `block` (null: the end mark) with its time, taking a reference.
  // Drops the oldest blocks when the bound is passed; returns how many
  // milliseconds of audio this call dropped. False (nothing queued) when stopped.
  bool Put(kit::IBlock* block, const CZoneTime& time, double* dropped_ms = nullptr);
  // Takes the oldest entry, waiting while there is none. False when stopped
  // and empty.
  bool Get(Entry* entry);

  // Audio and blocks waiting now, and the audio dropped since Start.
  double QueuedMs() const;
  size_t Count() const;
  // The memory of the queued blocks (their capacity, not their data length).
  uint64_t QueuedBytes() const;
  uint64_t DroppedMs() const;

  // The audio of a skim block (12-byte header, then layer 3 data), in ms.
  static double AudioMsOf(kit::IBlock* block);

 private:
  struct Item {
    kit::IBlock* block;
    CZoneTime time;
    double ms;
    uint32_t bytes;  // the block's capacity
  };
  void ReleaseAllLocked() REQUIRES(mu_);

  const double max_ms_;
  const size_t max_blocks_;  // at least 1
  const uint64_t max_bytes_;
  mutable kit::Mutex mu_;
  std::condition_variable not_empty_;
  std::deque<Item> items_ GUARDED_BY(mu_);
  double queued_ms_ GUARDED_BY(mu_) = 0;
  uint64_t queued_bytes_ GUARDED_BY(mu_) = 0;
  double pending_drop_ms_ GUARDED_BY(mu_) = 0;  // dropped in front of items_.front()
  double dropped_ms_ GUARDED_BY(mu_) = 0;
  bool stopped_ GUARDED_BY(mu_) = true;
};

}  // namespace logrum::archive
