// The level reports of an archive's source, from the capture thread to a
// connection's status loop: an unbounded queue of 32-bit entries, each
// (maximum << 16) | (minimum & 0xFFFF).
//
// The status loop waits with a time-out, so a source that stops reporting
// never holds the connection (it looks at its client between waits).
//
// Thread safety: OnLevel from the capture thread, Take from one consumer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "Lib/AudioSource/include/AudioSource.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::network {

class LevelQueue : public audio::LevelListener {
 public:
  void OnLevel(int16_t sMinimum, int16_t sMaximum, int32_t nReserved) override;

  // The oldest entry, waiting at most timeout_ms; false when none came.
  bool Take(uint32_t timeout_ms, uint32_t* entry);
  size_t size();

  static int16_t Minimum(uint32_t entry) { return static_cast<int16_t>(entry & 0xFFFF); }
  static int16_t Maximum(uint32_t entry) { return static_cast<int16_t>(entry >> 16); }

 private:
  kit::Mutex mu_;
  std::condition_variable not_empty_;
  std::deque<uint32_t> entries_ GUARDED_BY(mu_);
};

}  // namespace logrum::network
