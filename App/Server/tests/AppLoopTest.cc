#include "App/Server/AppLoop.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace logrum::server {
namespace {

class AppLoopTest : public ::testing::Test {
 protected:
  void Advance(int ms) { clock_.AdvanceUs(int64_t{ms} * 1000); }
  platform::ManualClock clock_{1'700'000'000'000'000, 1000};
  AppLoop loop_{&clock_};
  std::vector<std::string> trace_;
};

TEST_F(AppLoopTest, TimersFireOnTheirPeriodAndCanKillThemselves) {
  int fired = 0;
  loop_.SetTimer(3, 500, [&] {
    if (++fired == 3) loop_.KillTimer(3);
  });
  EXPECT_EQ(loop_.NextDueMs(), 500);
  Advance(499);
  loop_.RunPending();
  EXPECT_EQ(fired, 0);
  for (int i = 0; i < 10; ++i) {
    Advance(1);
    loop_.RunPending();
    Advance(499);
    loop_.RunPending();
  }
  EXPECT_EQ(fired, 3);
  EXPECT_FALSE(loop_.HasTimer(3));
  EXPECT_EQ(loop_.NextDueMs(), -1);
}

TEST_F(AppLoopTest, LateLoopFiresOnceNotABurst) {
  int fired = 0;
  loop_.SetTimer(1, 1000, [&] { ++fired; });
  Advance(10'000);
  loop_.RunPending();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(loop_.NextDueMs(), 1000);
}

TEST_F(AppLoopTest, ResetTimerFromAnotherTimerTakesTheNewPeriod) {
  int a = 0, b = 0;
  loop_.SetTimer(1, 100, [&] {
    ++a;
    loop_.SetTimer(2, 1000, [&] { ++b; });  // restarts timer 2 each time
  });
  loop_.SetTimer(2, 100, [&] { ++b; });
  Advance(100);
  loop_.RunPending();  // timer 1 restarts timer 2 before it runs: it must not fire now
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 0);
}

TEST_F(AppLoopTest, PostedWorkRunsOnTheLoopThreadInOrderAndQuitEndsRun) {
  std::thread::id loop_thread;
  std::vector<int> order;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) loop_.Post([&order, i] { order.push_back(i); });
    loop_.Post([&] {
      loop_thread = std::this_thread::get_id();
      loop_.Quit(7);
    });
  });
  int result = loop_.Run();
  poster.join();
  EXPECT_EQ(result, 7);
  EXPECT_EQ(loop_thread, std::this_thread::get_id());
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  // Work posted after Quit is dropped.
  bool ran = false;
  loop_.Post([&] { ran = true; });
  loop_.RunPending();
  EXPECT_FALSE(ran);
}

TEST_F(AppLoopTest, QuitFromATimerStopsTheOtherDueTimers) {
  int other = 0;
  loop_.SetTimer(0, 10, [&] { loop_.Quit(1); });
  loop_.SetTimer(1, 10, [&] { ++other; });
  Advance(10);
  EXPECT_FALSE(loop_.RunPending());
  EXPECT_EQ(other, 0);
}

}  // namespace
}  // namespace logrum::server
