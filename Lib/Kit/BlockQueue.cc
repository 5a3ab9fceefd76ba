#include "Lib/Kit/BlockQueue.h"

namespace logrum::kit {

BlockQueue::BlockQueue(uint32_t lower_threshold, uint32_t upper_limit)
    : lower_threshold_(lower_threshold), upper_limit_(upper_limit) {}

BlockQueue::~BlockQueue() {
  Stop();
}

void BlockQueue::SetEventsLocked() {
  if (stopped_) {
    not_empty_.Set();
    not_full_.Set();
    return;
  }
  if (count_ > lower_threshold_) {
    not_empty_.Set();
  } else {
    not_empty_.Reset();
  }
  if (count_ < upper_limit_) {
    not_full_.Set();
  } else {
    not_full_.Reset();
  }
}

void BlockQueue::PushLocked(IBlock* entry) {
  if (count_ == ring_.size()) {
    std::vector<IBlock*> bigger(ring_.empty() ? 16 : ring_.size() * 2);
    for (size_t i = 0; i < count_; ++i) bigger[i] = ring_[(head_ + i) % ring_.size()];
    ring_.swap(bigger);
    head_ = 0;
  }
  ring_[(head_ + count_) % ring_.size()] = entry;
  ++count_;
}

IBlock* BlockQueue::PopLocked() {
  IBlock* entry = ring_[head_];
  head_ = (head_ + 1) % ring_.size();
  --count_;
  return entry;
}

bool BlockQueue::Put(IBlock* entry) {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopped_ && count_ >= upper_limit_) {
    lock.unlock();
    not_full_.Wait(kInfinite);
    lock.lock();
  }
  if (stopped_) return false;
  if (entry != nullptr) {
    entry->AddRef();
    queued_bytes_ += entry->GetDataLength();
  }
  PushLocked(entry);
  SetEventsLocked();
  return true;
}

bool BlockQueue::Get(IBlock** entry) {
  *entry = nullptr;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (count_ > 0 && (stopped_ || count_ > lower_threshold_)) break;
    if (stopped_) return false;
    lock.unlock();
    not_empty_.Wait(kInfinite);
    lock.lock();
  }
  IBlock* taken = PopLocked();
  if (taken != nullptr) queued_bytes_ -= taken->GetDataLength();
  SetEventsLocked();
  *entry = taken;
  return true;
}

void BlockQueue::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  stopped_ = false;
  SetEventsLocked();
}

void BlockQueue::Stop() {
  for (;;) {
    IBlock* entry;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopped_ = true;
      SetEventsLocked();
      if (count_ == 0) {
        queued_bytes_ = 0;
        return;
      }
      entry = PopLocked();
      if (entry != nullptr) queued_bytes_ -= entry->GetDataLength();
    }
    // Outside the lock: a last release goes back to a pool and takes its lock.
    if (entry != nullptr) entry->Release();
  }
}

bool BlockQueue::IsStopped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stopped_;
}

uint32_t BlockQueue::Count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<uint32_t>(count_);
}

uint64_t BlockQueue::QueuedBytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queued_bytes_;
}

}  // namespace logrum::kit
