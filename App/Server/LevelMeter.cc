#include "App/Server/LevelMeter.h"

namespace logrum::server {

void LevelMeter::OnLevel(int16_t sMinimum, int16_t sMaximum, int32_t) {
  packed_.store(static_cast<uint32_t>(static_cast<uint16_t>(sMinimum)) << 16 |
                    static_cast<uint16_t>(sMaximum),
                std::memory_order_relaxed);
  reports_.fetch_add(1, std::memory_order_release);
}

LevelMeter::Peaks LevelMeter::Latest() const {
  Peaks peaks;
  peaks.reports = reports_.load(std::memory_order_acquire);
  const uint32_t packed = packed_.load(std::memory_order_relaxed);
  peaks.minimum = static_cast<int16_t>(static_cast<uint16_t>(packed >> 16));
  peaks.maximum = static_cast<int16_t>(static_cast<uint16_t>(packed & 0xFFFFu));
  return peaks;
}

}  // namespace logrum::server
