#include "Lib/Platform/Clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <thread>

namespace logrum::platform {
namespace {

TEST(ClockSpecTest, ParsesStartAndSpeedAndRefusesMalformedParts) {
  setenv("TZ", "UTC0", 1);
  tzset();
  ClockSpec spec;
  Status status = ParseClockSpec("start=2010-03-04T05:06:07,speed=60", &spec);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_TRUE(spec.has_start);
  EXPECT_EQ(spec.start_unix_us, 1267679167LL * 1000000);
  EXPECT_DOUBLE_EQ(spec.speed, 60.0);

  ASSERT_TRUE(ParseClockSpec("speed=2.5", &spec).ok());
  EXPECT_FALSE(spec.has_start);

  for (const char* bad : {"start=2010-13-04T05:06:07", "speed=0", "speed=-1", "speed=fast",
                          "start=2010-03-04", "pace=3", "speed"}) {
    status = ParseClockSpec(bad, &spec);
    EXPECT_EQ(status.code(), Status::kInvalidArgument) << bad;
    EXPECT_FALSE(status.message().empty()) << bad;
  }
}

TEST(ManualClockTest, WaitUntilWakesOnAdvanceAndOnStop) {
  ManualClock clock(1000, 0);
  std::jthread waiter([&](std::stop_token) { EXPECT_TRUE(clock.WaitUntil(5000, {})); });
  clock.AdvanceUs(1000);
  clock.AdvanceUs(3000);
  waiter.join();
  EXPECT_EQ(clock.NowUs(), 5000);
  EXPECT_EQ(clock.TickMs(), 4u);

  std::stop_source stop;
  std::jthread stopped([&](std::stop_token) { EXPECT_FALSE(clock.WaitUntil(1 << 30, stop.get_token())); });
  stop.request_stop();
  stopped.join();
}

TEST(ScaledClockTest, StartsAtTheGivenMomentAndRunsFaster) {
  ClockSpec spec;
  spec.has_start = true;
  spec.start_unix_us = 1000000000LL * 1000000;
  spec.speed = 1000;
  ScaledClock clock(spec);
  int64_t first = clock.NowUs();
  EXPECT_GE(first, spec.start_unix_us);
  // One second on the clock is one real millisecond.
  ASSERT_TRUE(clock.WaitUntil(first + 1000000, {}));
  EXPECT_GE(clock.NowUs(), first + 1000000);
}

TEST(LocalTimeTest, FollowsTheActiveZone) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  LocalTime winter = ToLocalTime(1267679167LL * 1000000);  // 2010-03-04 05:06:07 UTC
  EXPECT_EQ(winter.hour, 6);
  EXPECT_FALSE(winter.daylight);
  LocalTime summer = ToLocalTime(1277612767LL * 1000000 + 250000);  // 2010-06-27 04:26:07.25 UTC
  EXPECT_EQ(summer.hour, 6);
  EXPECT_EQ(summer.millisecond, 250);
  EXPECT_TRUE(summer.daylight);
  EXPECT_EQ(summer.weekday, 0);
}

}  // namespace
}  // namespace logrum::platform
