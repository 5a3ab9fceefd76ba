// The latest input peaks of one archive: the archive service reports them for every
// captured buffer, and the status display (the web console's level graph) reads the
// latest pair whenever it draws.
//
// Thread safety: OnLevel runs on the capture thread of the archive's source and must
// not wait; Latest may be called from any thread. Both are lock-free.
#pragma once

#include <atomic>
#include <cstdint>

#include "Lib/AudioSource/include/AudioSource.h"

namespace logrum::server {

class LevelMeter final : public audio::LevelListener {
 public:
  struct Peaks {
    int16_t minimum = 0;
    int16_t maximum = 0;
    uint64_t reports = 0;  // how many reports came so far; 0: none yet
  };

  void OnLevel(int16_t sMinimum, int16_t sMaximum, int32_t nReserved) override;
  Peaks Latest() const;

 private:
  // Minimum and maximum in one word, so a reader never pairs two reports' halves.
  std::atomic<uint32_t> packed_{0};
  std::atomic<uint64_t> reports_{0};
};

}  // namespace logrum::server
