#include "App/Server/Schedule.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstring>

#include "App/Server/ScheduleClock.h"
#include "Lib/Platform/Clock.h"

namespace logrum::server {
namespace {

constexpr int kMonday = 0x01, kSunday = 0x40, kEveryDay = 0x7f;

ScheduleEvent Event(const char* name, int h, int m, int s, int action, int days) {
  ScheduleEvent e;
  e.description = name;
  e.time_of_day = h * 3600 + m * 60 + s;
  e.action = action;
  e.day_mask = days;
  return e;
}

// The schedule runs on local time taken from the process clock.
class ScheduleClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    if (tz != nullptr) saved_tz_ = tz, had_tz_ = true;
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  // 2024-01-01 was a Monday.
  void SetUtc(int day_of_january, int h, int m, int s) {
    struct tm t = {};
    t.tm_year = 124;
    t.tm_mon = 0;
    t.tm_mday = day_of_january;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    clock_.SetUs(static_cast<int64_t>(timegm(&t)) * 1000000);
  }

  platform::ManualClock clock_;
  platform::ScopedDefaultClock scoped_clock_{clock_};
  std::string saved_tz_;
  bool had_tz_ = false;
};

TEST_F(ScheduleClockTest, MondayStartAndStop) {
  Schedule schedule;
  schedule.Add(Event("stop", 10, 0, 0, ScheduleEvent::kStop, kMonday));
  schedule.Add(Event("start", 8, 0, 0, ScheduleEvent::kStart, kMonday));
  struct Case {
    int day, h, m, s;
    bool on;
    const char* event;
  } cases[] = {
      // Off; last Monday's stop, seven days back, is the deciding event.
      {1, 7, 59, 59, false, "stop"},
      {1, 8, 0, 0, true, "start"},   // a start counts in its own second
      {1, 10, 0, 0, true, "start"},  // a stop only from the second after it
      {1, 10, 0, 1, false, "stop"},
      {2, 0, 0, 0, false, "stop"},   // Tuesday, decided by Monday's stop
      {7, 23, 59, 59, false, "stop"},
      {8, 7, 59, 59, false, "stop"},  // next Monday: last week's stop is 7 days back
      {8, 8, 0, 0, true, "start"},
  };
  for (const auto& c : cases) {
    SetUtc(c.day, c.h, c.m, c.s);
    ScheduleDecision d = EvaluateNow(schedule);
    EXPECT_EQ(d.on, c.on) << c.day << " " << c.h << ":" << c.m << ":" << c.s;
    EXPECT_EQ(d.event, c.event) << c.day << " " << c.h << ":" << c.m << ":" << c.s;
  }
}

TEST_F(ScheduleClockTest, SundayStartCarriesIntoTheWeek) {
  Schedule schedule;
  schedule.Add(Event("sunday night", 23, 0, 0, ScheduleEvent::kStart, kSunday));
  schedule.Add(Event("tuesday stop", 6, 0, 0, ScheduleEvent::kStop, 0x02));
  struct Case {
    int day, h, m, s;
    bool on;
    const char* event;
  } cases[] = {
      {7, 22, 59, 59, false, "tuesday stop"},  // Sunday before 23:00
      {7, 23, 0, 0, true, "sunday night"},
      {1, 12, 0, 0, true, "sunday night"},  // Monday: still on from Sunday (looked up 1 day back)
      {2, 6, 0, 0, true, "sunday night"},
      {2, 6, 0, 1, false, "tuesday stop"},
  };
  for (const auto& c : cases) {
    SetUtc(c.day, c.h, c.m, c.s);
    ScheduleDecision d = EvaluateNow(schedule);
    EXPECT_EQ(d.on, c.on) << c.day << " " << c.h;
    EXPECT_EQ(d.event, c.event) << c.day << " " << c.h;
  }
}

TEST(ScheduleTest, NoEventsOrUnknownActionsDecideNothing) {
  Schedule schedule;
  EXPECT_EQ(schedule.Evaluate(1, 12, 0, 0).event, "<no_event>");
  // A Monday start later in the day: last Monday's start, a week back, decides.
  schedule.Add(Event("start", 8, 0, 0, ScheduleEvent::kStart, kMonday));
  EXPECT_TRUE(schedule.Evaluate(1, 7, 59, 59).on);
  schedule.Clear();
  schedule.Add(Event("odd", 1, 0, 0, 7, kEveryDay));
  schedule.Add(Event("nodays", 1, 0, 0, ScheduleEvent::kStart, 0));
  ScheduleDecision d = schedule.Evaluate(3, 12, 0, 0);
  EXPECT_FALSE(d.on);
  EXPECT_EQ(d.event, "<no_event>");
}

TEST(ScheduleTest, EventsOfTheSameTimeKeepOrderAndTheLaterDecides) {
  Schedule schedule;
  schedule.Add(Event("b-stop", 9, 0, 0, ScheduleEvent::kStop, kEveryDay));
  schedule.Add(Event("early", 6, 0, 0, ScheduleEvent::kStart, kEveryDay));
  schedule.Add(Event("a-start", 9, 0, 0, ScheduleEvent::kStart, kEveryDay));
  ASSERT_EQ(schedule.size(), 3u);
  EXPECT_EQ(schedule.events()[0].description, "early");
  EXPECT_EQ(schedule.events()[1].description, "b-stop");
  EXPECT_EQ(schedule.events()[2].description, "a-start");
  // The later event in the list is the start, so it decides at 9:00:01 too.
  EXPECT_EQ(schedule.Evaluate(3, 9, 0, 1).event, "a-start");
  EXPECT_TRUE(schedule.Remove(2));
  EXPECT_FALSE(schedule.Remove(5));
  EXPECT_EQ(schedule.Evaluate(3, 9, 0, 1).event, "b-stop");
  EXPECT_EQ(schedule.Evaluate(3, 9, 0, 0).event, "early");
}

TEST(ScheduleTest, RecordIsThreeLittleEndianIntegers) {
  ScheduleEvent e = Event("x", 1, 2, 3, ScheduleEvent::kStop, kSunday | kMonday);
  auto record = e.Record();
  const uint8_t expected[12] = {0x8b, 0x0e, 0, 0, 1, 0, 0, 0, 0x41, 0, 0, 0};
  EXPECT_EQ(std::memcmp(record.data(), expected, 12), 0);
  ScheduleEvent back = ScheduleEvent::FromRecord("x", record);
  EXPECT_EQ(back.time_of_day, 3723);
  EXPECT_EQ(back.action, 1);
  EXPECT_EQ(back.day_mask, 0x41);
  // A short record leaves the missing fields 0 (never fires).
  ScheduleEvent short_one = ScheduleEvent::FromRecord(std::string(80, 'd'), std::span(expected, 6));
  EXPECT_EQ(short_one.time_of_day, 3723);
  EXPECT_EQ(short_one.action, 1);
  EXPECT_EQ(short_one.day_mask, 0);
  EXPECT_EQ(short_one.description.size(), 63u);
}

}  // namespace
}  // namespace logrum::server
