#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Lib/Kit/EventLogMT.h"

namespace logrum::kit {
namespace {

// Keeps what it receives; tests wait until a number of messages has come.
class Collector : public EventLogListener {
 public:
  void Log(int32_t level, const char* text) override {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.emplace_back(level, text);
    thread_ = std::this_thread::get_id();
    cv_.notify_all();
  }
  void WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return messages_.size() >= count; });
  }
  std::vector<std::pair<int32_t, std::string>> Messages() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }
  std::thread::id Thread() {
    std::lock_guard<std::mutex> lock(mu_);
    return thread_;
  }

 private:
  Mutex mu_;
  std::condition_variable cv_;
  std::vector<std::pair<int32_t, std::string>> messages_;
  std::thread::id thread_;
};

TEST(KitEventLogTest, DeliversInPostingOrderToEveryListenerOnTheLogThread) {
  EventLogMT log(512);
  Collector first, second;
  log.AddListener(&first);
  log.AddListener(&second);
  ASSERT_TRUE(log.Start(true));
  EXPECT_TRUE(log.start_flag());
  for (int i = 0; i < 100; ++i) log.poster()->Printf(i % 7, "INFO: message %d", i);
  first.WaitFor(100);
  second.WaitFor(100);
  const auto got = first.Messages();
  ASSERT_EQ(got.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(got[i].first, i % 7);
    EXPECT_EQ(got[i].second, "INFO: message " + std::to_string(i));
  }
  EXPECT_EQ(second.Messages(), got);
  EXPECT_NE(first.Thread(), std::this_thread::get_id());
  log.Stop();
}

TEST(KitEventLogTest, PostsFromManyThreadsKeepEachThreadsOrder) {
  EventLogMT log(64);
  Collector collector;
  log.AddListener(&collector);
  log.Start(false);
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&log, t] {
      for (int i = 0; i < 100; ++i) log.Printf(t, "%d", i);
    });
  }
  for (auto& p : posters) p.join();
  collector.WaitFor(400);
  int next[4] = {0, 0, 0, 0};
  for (const auto& [level, text] : collector.Messages()) {
    EXPECT_EQ(std::stoi(text), next[level]);
    ++next[level];
  }
  log.Stop();
}

TEST(KitEventLogTest, StopDeliversWhatWasPostedBeforeAndRefusesLaterPosts) {
  EventLogMT log(512);
  Collector collector;
  log.AddListener(&collector);
  log.Post(1, "before start");  // not started: dropped
  log.Start(false);
  for (int i = 0; i < 50; ++i) log.Post(2, "queued");
  log.Stop();  // returns after the thread ended
  EXPECT_EQ(collector.Messages().size(), 50u);
  log.Post(3, "after stop");
  EXPECT_EQ(collector.Messages().size(), 50u);
  EXPECT_FALSE(log.IsRunning());
  // Every message block is back in the pool.
  EXPECT_EQ(log.PoolStatistics().outstanding, 0u);

  // The log starts again after a stop.
  log.Start(false);
  log.Post(4, "again");
  collector.WaitFor(51);
  EXPECT_EQ(collector.Messages().back().second, "again");
  log.Stop();
}

TEST(KitEventLogTest, NullPostEndsTheThreadAfterEarlierMessages) {
  EventLogMT log(512);
  Collector collector;
  log.AddListener(&collector);
  log.Start(false);
  log.Post(0, "one");
  log.Post(0, nullptr);
  log.Post(0, "never");
  collector.WaitFor(1);
  while (log.IsRunning()) std::this_thread::yield();
  log.Stop();
  ASSERT_EQ(collector.Messages().size(), 1u);
  EXPECT_EQ(log.PoolStatistics().outstanding, 0u);
}

TEST(KitEventLogTest, ListenerChangesTakeEffectForLaterMessages) {
  EventLogMT log(512);
  Collector a, b;
  log.AddListener(&a);
  log.AddListener(&a);  // once only
  log.Start(false);
  log.Post(0, "1");
  a.WaitFor(1);
  log.AddListener(&b);
  log.Post(0, "2");
  b.WaitFor(1);
  log.RemoveListener(&a);
  log.Post(0, "3");
  b.WaitFor(2);
  log.Stop();
  EXPECT_EQ(a.Messages().size(), 2u);
  ASSERT_EQ(b.Messages().size(), 2u);
  EXPECT_EQ(b.Messages()[0].second, "2");
  EXPECT_EQ(b.Messages()[1].second, "3");
}

TEST(KitEventLogTest, LongTextsAreCutAtTheMaximumLength) {
  EventLogMT log(16);
  Collector collector;
  log.AddListener(&collector);
  log.Start(false);
  const std::string long_text(100, 'x');
  log.Post(0, long_text.c_str());
  log.Printf(0, "%s-%d", long_text.c_str(), 5);
  collector.WaitFor(2);
  log.Stop();
  EXPECT_EQ(collector.Messages()[0].second, std::string(16, 'x'));
  EXPECT_EQ(collector.Messages()[1].second, std::string(16, 'x'));
}

// A listener that holds the log's thread, so that messages pile up.
class Gate : public EventLogListener {
 public:
  void Log(int32_t, const char*) override {
    entered.Set();
    open.Wait(kInfinite);
    ++seen;
  }
  EventObject entered{true, false};
  EventObject open{true, false};
  int seen = 0;  // read after Stop
};

TEST(KitEventLogTest, MessagesBeyondThePoolMaximumAreDropped) {
  EventLogMT log(32);
  Gate gate;
  log.AddListener(&gate);
  log.Start(false);
  log.Post(0, "first");  // taken by the thread and held in the listener
  ASSERT_TRUE(gate.entered.Wait(kInfinite));
  for (int i = 0; i < 600; ++i) log.Post(0, "more");
  EXPECT_EQ(log.PoolStatistics().created, 512u);
  gate.open.Set();
  log.Stop();
  EXPECT_EQ(gate.seen, 512);  // the first and 511 more
  EXPECT_EQ(log.PoolStatistics().outstanding, 0u);
}

}  // namespace
}  // namespace logrum::kit
