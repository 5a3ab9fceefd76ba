#include "External/Encoder/ReaderList.h"

#include <algorithm>
#include <cstring>

#include "External/Encoder/include/Encoder.h"

namespace logrum::audenc {

ReaderList::ReaderList(uint32_t block_capacity)
    : capacity_(block_capacity),
      pool_(kit::CMemBlockFactory::Create(kGrowStep, kGrowStep, kit::kPoolUnlimited,
                                          block_capacity)) {
  // A reader that falls behind holds many blocks (a live listener up to 10
  // seconds of stream); when it catches up or leaves they come back, and all
  // but a few are freed instead of staying with the pool for good.
  if (pool_) pool_->set_max_free(kKeptFree);
}

kit::PoolStats ReaderList::pool_stats() {
  return pool_ ? pool_->Statistics() : kit::PoolStats{};
}

ReaderList::~ReaderList() {
  if (pool_) pool_->Release();  // blocks still with readers keep the pool alive
}

bool ReaderList::Add(kit::AudioSink* reader, uint32_t mask) {
  if (!reader) return false;
  kit::MutexLock lock(mu_);
  for (const auto& entry : readers_)
    if (entry.first == reader) return false;
  readers_.emplace_back(reader, mask);
  return true;
}

bool ReaderList::Remove(kit::AudioSink* reader) {
  kit::MutexLock lock(mu_);
  auto it = std::find_if(readers_.begin(), readers_.end(),
                         [reader](const auto& entry) { return entry.first == reader; });
  if (it == readers_.end()) return false;
  readers_.erase(it);
  return true;
}

bool ReaderList::Send(std::span<const uint8_t> head, std::span<const uint8_t> body,
                      int64_t time_us) {
  if (!pool_ || head.size() + body.size() > capacity_) return false;
  kit::MutexLock lock(mu_);
  if (readers_.empty()) return true;
  kit::MemBlock* block = pool_->GetBlock();
  if (!block) return false;
  if (!head.empty()) std::memcpy(block->data(), head.data(), head.size());
  if (!body.empty()) std::memcpy(block->data() + head.size(), body.data(), body.size());
  block->set_data_length(static_cast<uint32_t>(head.size() + body.size()));
  block->set_flags(kBlockFlagLayer3);
  block->set_time_us(time_us);
  for (auto it = readers_.begin(); it != readers_.end();) {
    if ((it->second & kBlockFlagLayer3) == 0) {
      ++it;
    } else if (it->first->Write(block->block())) {
      ++it;
    } else {
      it = readers_.erase(it);
    }
  }
  block->Release();
  return true;
}

void ReaderList::EndAll() {
  kit::MutexLock lock(mu_);
  for (const auto& entry : readers_) entry.first->Write(nullptr);
  readers_.clear();
}

}  // namespace logrum::audenc
