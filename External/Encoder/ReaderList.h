// The readers of an encoder and the pool their blocks come from.
//
// Send makes one pooled block of the given bytes (flag kBlockFlagLayer3) and
// writes it to every reader whose mask shares a bit with the flag; each reader
// takes its own reference. A reader whose Write returns false is dropped.
// Blocks that come back while the pool already holds kKeptFree free ones are
// freed, so the pool shrinks again after a reader that held many has left.
//
// Thread safety: every operation from any thread. Readers are written under the
// list's lock, so Remove returns only when no Write to that reader is running.
// A reader's Write must not call back into the encoder.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "Lib/Kit/AudioSink.h"
#include "Lib/Kit/Mutex.h"
#include "Lib/Kit/ObjectPool.h"

namespace logrum::audenc {

class ReaderList {
 public:
  explicit ReaderList(uint32_t block_capacity);
  ~ReaderList();
  ReaderList(const ReaderList&) = delete;
  ReaderList& operator=(const ReaderList&) = delete;

  static constexpr uint32_t kGrowStep = 8;
  static constexpr uint32_t kKeptFree = 2 * kGrowStep;

  uint32_t block_capacity() const { return capacity_; }
  kit::PoolStats pool_stats();

  bool Add(kit::AudioSink* reader, uint32_t mask);  // false for null or a reader already there
  bool Remove(kit::AudioSink* reader);              // false when not there
  // head and body together at most block_capacity() bytes; `time_us` is the
  // block's capture time (IBlock::GetTimeUs, 0: none). False when no block could
  // be made.
  bool Send(std::span<const uint8_t> head, std::span<const uint8_t> body, int64_t time_us);
  void EndAll();  // Write(nullptr) to every reader and forget them

 private:
  const uint32_t capacity_;
  kit::Mutex mu_;
  std::vector<std::pair<kit::AudioSink*, uint32_t>> readers_ GUARDED_BY(mu_);
  kit::CMemBlockFactory* pool_;
};

}  // namespace logrum::audenc
