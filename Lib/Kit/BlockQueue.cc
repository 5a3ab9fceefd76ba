#include "Lib/Kit/BlockQueue.h"

#include <vector>

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
  if (entries_.size() > lower_threshold_) {
    not_empty_.Set();
  } else {
    not_empty_.Reset();
  }
  if (entries_.size() < upper_limit_) {
    not_full_.Set();
  } else {
    not_full_.Reset();
  }
}

bool BlockQueue::Put(IBlock* entry) {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopped_ && entries_.size() >= upper_limit_) {
    lock.unlock();
    not_full_.Wait(kInfinite);
    lock.lock();
  }
  if (stopped_) return false;
  if (entry != nullptr) {
    entry->AddRef();
    queued_bytes_ += entry->GetDataLength();
  }
  entries_.push_back(entry);
  SetEventsLocked();
  return true;
}

bool BlockQueue::Get(IBlock** entry) {
  *entry = nullptr;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (!entries_.empty() && (stopped_ || entries_.size() > lower_threshold_)) break;
    if (stopped_) return false;
    lock.unlock();
    not_empty_.Wait(kInfinite);
    lock.lock();
  }
  IBlock* taken = entries_.front();
  entries_.pop_front();
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
  std::deque<IBlock*> dropped;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
    dropped.swap(entries_);
    queued_bytes_ = 0;
    SetEventsLocked();
  }
  // Outside the lock: a last release goes back to a pool and takes its lock.
  for (IBlock* entry : dropped) {
    if (entry != nullptr) entry->Release();
  }
}

bool BlockQueue::IsStopped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stopped_;
}

uint32_t BlockQueue::Count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<uint32_t>(entries_.size());
}

uint64_t BlockQueue::QueuedBytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queued_bytes_;
}

}  // namespace logrum::kit
