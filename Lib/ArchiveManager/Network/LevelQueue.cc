#include "Lib/ArchiveManager/Network/LevelQueue.h"

#include <chrono>

namespace logrum::network {

void LevelQueue::OnLevel(int16_t sMinimum, int16_t sMaximum, int32_t /*nReserved*/) {
  const uint32_t entry = (static_cast<uint32_t>(static_cast<uint16_t>(sMaximum)) << 16) |
                         static_cast<uint16_t>(sMinimum);
  {
    kit::MutexLock lock(mu_);
    entries_.push_back(entry);
  }
  not_empty_.notify_one();
}

bool LevelQueue::Take(uint32_t timeout_ms, uint32_t* entry) {
  kit::UniqueLock lock(mu_);
  if (!not_empty_.wait_for(lock.native(), std::chrono::milliseconds(timeout_ms),
                           [this]() REQUIRES(mu_) { return !entries_.empty(); })) {
    return false;
  }
  *entry = entries_.front();
  entries_.pop_front();
  return true;
}

size_t LevelQueue::size() {
  kit::MutexLock lock(mu_);
  return entries_.size();
}

}  // namespace logrum::network
