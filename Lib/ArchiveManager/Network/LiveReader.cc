#include "Lib/ArchiveManager/Network/LiveReader.h"

#include <chrono>

namespace logrum::network {

LiveReader::LiveReader(uint64_t byte_limit, const char* name)
    : kit::QueueReader(0, kit::BlockQueue::kUnlimitedQueue, name), byte_limit_(byte_limit) {}

bool LiveReader::Write(kit::IBlock* block) {
  bool queued = false;
  if (block == nullptr) {
    queued = kit::QueueReader::Write(nullptr);
    if (queued) ended_.store(true);
  } else if (!overflowed_.load()) {
    if (QueuedBytes() + block->GetDataLength() > byte_limit_) {
      overflowed_.store(true);
    } else {
      queued = kit::QueueReader::Write(block);
    }
  }
  Wake();
  return queued;
}

void LiveReader::Close() {
  kit::QueueReader::Close();
  Wake();
}

void LiveReader::Wake() {
  // The state WaitForData looks at is atomic, not guarded by mu_; passing
  // through mu_ orders this wake after a waiter's last look, so none is lost.
  mu_.lock();
  mu_.unlock();
  changed_.notify_all();
}

bool LiveReader::Ready() {
  return QueuedBytes() > 0 || ended_.load() || overflowed_.load() || !IsOpen();
}

bool LiveReader::WaitForData(uint32_t ms) {
  std::unique_lock lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Ready(); });
}

}  // namespace logrum::network
