#include "App/Server/ConsoleEvents.h"

#include <chrono>

namespace logrum::server {

std::shared_ptr<const std::string> ConsoleEvents::Format(const std::string& name,
                                                         const std::string& data) {
  return std::make_shared<const std::string>("event: " + name + "\ndata: " + data + "\n\n");
}

bool ConsoleEvents::Subscription::Next(int timeout_ms, std::string* event) {
  kit::UniqueLock lock(mu_);
  ready_.wait_for(lock.native(), std::chrono::milliseconds(timeout_ms),
                  [this]() REQUIRES(mu_) { return ended_ || !pending_.empty(); });
  event->clear();
  if (!pending_.empty()) {
    // Hand out everything waiting in one write.
    while (!pending_.empty()) {
      event->append(*pending_.front());
      pending_.pop_front();
    }
    return true;
  }
  return !ended_;
}

std::shared_ptr<ConsoleEvents::Subscription> ConsoleEvents::Subscribe() {
  auto subscription = std::make_shared<Subscription>();
  kit::MutexLock lock(mu_);
  // Not yet shared, but its members are still only touched under its lock.
  kit::MutexLock subscription_lock(subscription->mu_);
  if (closed_) {
    subscription->ended_ = true;
    return subscription;
  }
  if (model_) subscription->pending_.push_back(model_);
  subscriptions_.insert(subscription);
  return subscription;
}

void ConsoleEvents::Unsubscribe(const std::shared_ptr<Subscription>& subscription) {
  kit::MutexLock lock(mu_);
  subscriptions_.erase(subscription);
}

size_t ConsoleEvents::subscribers() const {
  kit::MutexLock lock(mu_);
  return subscriptions_.size();
}

void ConsoleEvents::Publish(const std::string& name, const std::string& data) {
  auto event = Format(name, data);
  kit::MutexLock lock(mu_);
  if (closed_) return;
  if (name == "model") model_ = event;
  if (name == "level") ++levels_;
  for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
    Subscription& subscription = **it;
    kit::UniqueLock sub_lock(subscription.mu_);
    if (subscription.pending_.size() >= kMaxPending) {
      subscription.ended_ = true;
      sub_lock.unlock();
      subscription.ready_.notify_all();
      it = subscriptions_.erase(it);
      continue;
    }
    subscription.pending_.push_back(event);
    sub_lock.unlock();
    subscription.ready_.notify_all();
    ++it;
  }
}

void ConsoleEvents::Close() {
  kit::MutexLock lock(mu_);
  closed_ = true;
  for (const auto& subscription : subscriptions_) {
    kit::MutexLock sub_lock(subscription->mu_);
    subscription->ended_ = true;
    subscription->ready_.notify_all();
  }
  subscriptions_.clear();
}

uint64_t ConsoleEvents::published(const std::string& name) const {
  kit::MutexLock lock(mu_);
  return name == "level" ? levels_ : 0;
}

}  // namespace logrum::server
