#include "Lib/ArchiveManager/Storage/RecordingBacklog.h"

#include <cmath>

#include "External/Encoder/include/Encoder.h"
#include "Lib/Kit/Layer3Format.h"

namespace logrum::archive {

RecordingBacklog::RecordingBacklog(uint32_t max_ms, uint32_t max_blocks, uint64_t max_bytes)
    : max_ms_(max_ms), max_blocks_(max_blocks == 0 ? 1 : max_blocks), max_bytes_(max_bytes) {}

RecordingBacklog::~RecordingBacklog() {
  Stop();
}

double RecordingBacklog::AudioMsOf(kit::IBlock* block) {
  if (block == nullptr) return 0;
  const uint8_t* data = block->GetData();
  const uint32_t length = block->GetDataLength();
  if (data == nullptr || length <= audenc::kSkimHeaderBytes) return 0;
  kit::AudioFormat format;
  format.channels = data[1];
  format.bitrate = static_cast<uint16_t>(data[4] | (data[5] << 8));
  format.samplerate = static_cast<uint16_t>(data[6] | (data[7] << 8));
  const uint32_t block_bytes = BlockSize(format);
  if (block_bytes == 0) return 0;
  return BlockDurationMs(format) *
         static_cast<double>((length - audenc::kSkimHeaderBytes) / block_bytes);
}

void RecordingBacklog::Start() {
  kit::MutexLock lock(mu_);
  stopped_ = false;
  dropped_ms_ = 0;
  pending_drop_ms_ = 0;
}

void RecordingBacklog::Stop() {
  {
    kit::MutexLock lock(mu_);
    stopped_ = true;
    ReleaseAllLocked();
  }
  not_empty_.notify_all();
}

void RecordingBacklog::ReleaseAllLocked() {
  for (Item& item : items_) {
    if (item.block != nullptr) item.block->Release();
  }
  items_.clear();
  queued_ms_ = 0;
  queued_bytes_ = 0;
  pending_drop_ms_ = 0;
}

bool RecordingBacklog::Put(kit::IBlock* block, const CZoneTime& time, double* dropped_ms) {
  double dropped_now = 0;
  {
    kit::MutexLock lock(mu_);
    if (stopped_) return false;
    const double ms = AudioMsOf(block);
    const uint32_t bytes = block != nullptr ? block->GetSize() : 0;
    if (block != nullptr) block->AddRef();
    items_.push_back({block, time, ms, bytes});
    queued_ms_ += ms;
    queued_bytes_ += bytes;
    // The oldest go first; the newest entry (and an end mark) always stays.
    // Once past the bound, a tenth of it is freed at once: the drops then come
    // in a few large gaps during an outage, and not one by one while the
    // recording thread writes the backlog away after it.
    const bool over = queued_ms_ > max_ms_ ||
                      (block != nullptr && (items_.size() > max_blocks_ || queued_bytes_ > max_bytes_));
    while (over && items_.size() > 1 && items_.front().block != nullptr &&
           (queued_ms_ > max_ms_ - max_ms_ / 10 || items_.size() > max_blocks_ - max_blocks_ / 10 ||
            queued_bytes_ > max_bytes_ - max_bytes_ / 10)) {
      Item oldest = items_.front();
      items_.pop_front();
      queued_ms_ -= oldest.ms;
      queued_bytes_ -= oldest.bytes;
      pending_drop_ms_ += oldest.ms;
      dropped_ms_ += oldest.ms;
      dropped_now += oldest.ms;
      oldest.block->Release();
    }
    if (items_.size() == 1) queued_ms_ = items_.front().ms;  // no drift from the sums
  }
  if (dropped_ms != nullptr) *dropped_ms = dropped_now;
  not_empty_.notify_one();
  return true;
}

bool RecordingBacklog::Get(Entry* entry) {
  kit::UniqueLock lock(mu_);
  not_empty_.wait(lock.native(), [this]() REQUIRES(mu_) { return stopped_ || !items_.empty(); });
  if (items_.empty()) {
    *entry = Entry{};
    return false;
  }
  Item item = items_.front();
  items_.pop_front();
  queued_ms_ = items_.empty() ? 0 : queued_ms_ - item.ms;
  queued_bytes_ -= item.bytes;
  entry->block = item.block;
  entry->time = item.time;
  entry->dropped_ms = static_cast<uint64_t>(std::llround(pending_drop_ms_));
  pending_drop_ms_ = 0;
  return true;
}

double RecordingBacklog::QueuedMs() const {
  kit::MutexLock lock(mu_);
  return queued_ms_;
}

size_t RecordingBacklog::Count() const {
  kit::MutexLock lock(mu_);
  return items_.size();
}

uint64_t RecordingBacklog::QueuedBytes() const {
  kit::MutexLock lock(mu_);
  return queued_bytes_;
}

uint64_t RecordingBacklog::DroppedMs() const {
  kit::MutexLock lock(mu_);
  return static_cast<uint64_t>(std::llround(dropped_ms_));
}

}  // namespace logrum::archive
