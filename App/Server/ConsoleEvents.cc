#include "App/Server/ConsoleEvents.h"

#include <chrono>

namespace logrum::server {

std::shared_ptr<const std::string> ConsoleEvents::Format(const std::string& name,
                                                         const std::string& data) {
  return std::make_shared<const std::string>("event: " + name + "\ndata: " + data + "\n\n");
}

bool ConsoleEvents::Subscription::Next(int timeout_ms, std::string* event) {
  std::unique_lock lock(mu_);
  ready_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                  [this] { return ended_ || !pending_.empty(); });
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
  std::lock_guard lock(mu_);
  if (closed_) {
    subscription->ended_ = true;
    return subscription;
  }
  if (model_) subscription->pending_.push_back(model_);
  subscriptions_.insert(subscription);
  return subscription;
}

void ConsoleEvents::Unsubscribe(const std::shared_ptr<Subscription>& subscription) {
  std::lock_guard lock(mu_);
  subscriptions_.erase(subscription);
}

size_t ConsoleEvents::subscribers() const {
  std::lock_guard lock(mu_);
  return subscriptions_.size();
}

void ConsoleEvents::Publish(const std::string& name, const std::string& data) {
  auto event = Format(name, data);
  std::lock_guard lock(mu_);
  if (closed_) return;
  if (name == "model") model_ = event;
  if (name == "level") ++levels_;
  for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
    Subscription& subscription = **it;
    std::unique_lock sub_lock(subscription.mu_);
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
  std::lock_guard lock(mu_);
  closed_ = true;
  for (const auto& subscription : subscriptions_) {
    std::lock_guard sub_lock(subscription->mu_);
    subscription->ended_ = true;
    subscription->ready_.notify_all();
  }
  subscriptions_.clear();
}

uint64_t ConsoleEvents::published(const std::string& name) const {
  std::lock_guard lock(mu_);
  return name == "level" ? levels_ : 0;
}

}  // namespace logrum::server
