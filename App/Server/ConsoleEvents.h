// The web console's server-sent events: every page that is open holds one
// subscription, and the console publishes to all of them at once.
//
// Events: "model" (the main window's JSON, sent first to a new page and then
// on every change), "level" (one per level report of an archive, as it comes)
// and "message" (a message box for the page).
//
// A page that falls more than kMaxPending events behind is dropped rather
// than held in memory; its EventSource reconnects and starts from the model.
//
// Thread safety: every member from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "Lib/Kit/Mutex.h"

namespace logrum::server {

class ConsoleEvents {
 public:
  static constexpr size_t kMaxPending = 4096;

  class Subscription {
   public:
    // The next event as SSE text ("event: ...\ndata: ...\n\n"), waiting at
    // most timeout_ms; empty on time-out. False once the subscription has
    // ended (dropped, or the console closes).
    bool Next(int timeout_ms, std::string* event);

   private:
    friend class ConsoleEvents;
    kit::Mutex mu_;
    std::condition_variable ready_;
    std::deque<std::shared_ptr<const std::string>> pending_ GUARDED_BY(mu_);
    bool ended_ GUARDED_BY(mu_) = false;
  };

  // A new page; it gets the latest model first.
  std::shared_ptr<Subscription> Subscribe();
  void Unsubscribe(const std::shared_ptr<Subscription>& subscription);
  size_t subscribers() const;

  // Publishes `data` (one line of JSON) as event `name`. "model" is also kept
  // for pages that come later.
  void Publish(const std::string& name, const std::string& data);
  // Ends every subscription (the console closes).
  void Close();

  uint64_t published(const std::string& name) const;

 private:
  static std::shared_ptr<const std::string> Format(const std::string& name, const std::string& data);
  mutable kit::Mutex mu_;
  std::set<std::shared_ptr<Subscription>> subscriptions_ GUARDED_BY(mu_);
  std::shared_ptr<const std::string> model_ GUARDED_BY(mu_);
  uint64_t levels_ GUARDED_BY(mu_) = 0;
  bool closed_ GUARDED_BY(mu_) = false;
};

}  // namespace logrum::server
