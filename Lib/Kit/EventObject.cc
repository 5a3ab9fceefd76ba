#include "Lib/Kit/EventObject.h"

#include <chrono>

namespace logrum::kit {

EventObject::EventObject(bool manual_reset, bool initial_state)
    : manual_reset_(manual_reset), signalled_(initial_state) {}

EventObject::~EventObject() = default;

void EventObject::Set() {
  std::lock_guard<std::mutex> lock(mu_);
  signalled_ = true;
  // Notify under the lock: a waiter may destroy the event as soon as it wakes.
  if (manual_reset_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void EventObject::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  signalled_ = false;
}

bool EventObject::Wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  auto signalled = [this] { return signalled_; };
  if (timeout_ms == kInfinite) {
    cv_.wait(lock, signalled);
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), signalled)) {
    return false;
  }
  if (!manual_reset_) signalled_ = false;
  return true;
}

bool EventObject::IsSet() const {
  std::lock_guard<std::mutex> lock(mu_);
  return signalled_;
}

}  // namespace logrum::kit
