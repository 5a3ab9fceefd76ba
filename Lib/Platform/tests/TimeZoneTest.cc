#include "Lib/Platform/TimeZone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace logrum::platform {
namespace {

TEST(TimeZoneRuleTest, ReadsBiasesAndDatesOfRules) {
  struct Case {
    const char* rule;
    int bias, daylight_bias;
    bool has_rules;
    int dst_month, dst_week, std_month, std_week, std_seconds;
  };
  const Case cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", -60, -60, true, 3, 5, 10, 5, 3 * 3600},
      {"EST5EDT,M3.2.0,M11.1.0", 300, -60, true, 3, 2, 11, 1, 2 * 3600},
      {"EST5EDT", 300, -60, true, 3, 2, 11, 1, 2 * 3600},  // the C library's default dates
      {"<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", -630, -30, true, 10, 1, 4, 1, 2 * 3600},
      {"IST-5:30", -330, 0, false, 0, 0, 0, 0, 2 * 3600},
      {"UTC0", 0, 0, false, 0, 0, 0, 0, 2 * 3600},
      {"<-03>3<-02>,M3.5.0/-2,M10.5.0/-1", 180, -60, true, 3, 5, 10, 5, -3600},
  };
  for (const Case& c : cases) {
    TimeZoneRules rules;
    const Status status = ParsePosixRule(c.rule, &rules);
    ASSERT_TRUE(status.ok()) << c.rule << ": " << status.message();
    EXPECT_EQ(rules.bias, c.bias) << c.rule;
    EXPECT_EQ(rules.daylight_bias, c.daylight_bias) << c.rule;
    EXPECT_EQ(rules.standard_bias, 0) << c.rule;
    EXPECT_EQ(rules.HasRules(), c.has_rules) << c.rule;
    EXPECT_EQ(rules.daylight_date.month, c.dst_month) << c.rule;
    EXPECT_EQ(rules.daylight_date.week, c.dst_week) << c.rule;
    EXPECT_EQ(rules.standard_date.month, c.std_month) << c.rule;
    EXPECT_EQ(rules.standard_date.week, c.std_week) << c.rule;
    EXPECT_EQ(rules.standard_date.seconds, c.std_seconds) << c.rule;
  }
  for (const char* bad : {"", "Berlin", "CET", "CET-1CEST,M3.5.0", "CET-1CEST,M13.5.0,M10.5.0",
                          "CET-1CEST,M3.5.0,M10.5.0/3x", "Europe/Nowhere"}) {
    TimeZoneRules rules;
    const Status status = ParsePosixRule(bad, &rules);
    EXPECT_EQ(status.code(), Status::kInvalidArgument) << bad;
    EXPECT_NE(status.message().find("not a time zone rule"), std::string::npos) << status.message();
  }
}

TEST(TimeZoneRuleTest, FindsTheZoneAsTheCLibraryDoes) {
  TimeZoneRules berlin = LoadZoneRules("Europe/Berlin");
  EXPECT_TRUE(berlin.known) << berlin.error;
  EXPECT_EQ(berlin.rule, "CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(berlin.source, "/usr/share/zoneinfo/Europe/Berlin");
  EXPECT_EQ(LoadZoneRules(":Europe/Berlin").rule, berlin.rule);

  TimeZoneRules rule = LoadZoneRules("EST5EDT,M3.2.0,M11.1.0");
  EXPECT_TRUE(rule.known);
  EXPECT_EQ(rule.source, "TZ");

  EXPECT_TRUE(LoadZoneRules("").known);  // TZ="" is UTC on purpose
  EXPECT_FALSE(LoadZoneRules("").HasRules());

  for (const char* unknown : {"Europe/Atlantis", ":CET-1CEST", "Mars"}) {
    TimeZoneRules rules = LoadZoneRules(unknown);
    EXPECT_FALSE(rules.known) << unknown;
    EXPECT_FALSE(rules.HasRules()) << unknown;
    EXPECT_EQ(rules.bias, 0) << unknown;
    EXPECT_NE(rules.error.find(unknown), std::string::npos) << rules.error;
  }
}

TEST(TimeZoneRuleTest, ActiveZoneFollowsTz) {
  const char* saved = std::getenv("TZ");
  std::string saved_value = saved ? saved : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  EXPECT_EQ(ReloadActiveZone().bias, -60);
  EXPECT_EQ(&ActiveZone(), &ActiveZone());
  EXPECT_EQ(ActiveZone().rule, "CET-1CEST,M3.5.0,M10.5.0/3");
  setenv("TZ", "Nowhere/Special", 1);
  EXPECT_FALSE(ReloadActiveZone().known);
  if (saved) {
    setenv("TZ", saved_value.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  ReloadActiveZone();
}

TEST(CalendarTest, FileTimesMatchTheCLibraryAndTransitionsFallOnTheRightDays) {
  const int64_t kUnixEpoch = 116444736000000000;  // 1970-01-01 as a file time
  for (int64_t unix : {0LL, 951782400LL, 1267679167LL, 4102444799LL, 1709164800LL}) {
    std::time_t t = static_cast<std::time_t>(unix);
    std::tm tm{};
    gmtime_r(&t, &tm);
    CalendarTime c{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    int64_t ticks = CalendarToFileTime(c);
    EXPECT_EQ(ticks, kUnixEpoch + unix * kTicksPerSecond) << unix;
    CalendarTime back;
    ASSERT_TRUE(FileTimeToCalendar(ticks, &back));
    EXPECT_EQ(back.year, c.year);
    EXPECT_EQ(back.month, c.month);
    EXPECT_EQ(back.day, c.day);
    EXPECT_EQ(back.second, c.second);
    EXPECT_EQ(WeekdayOf(c.year, c.month, c.day), tm.tm_wday) << unix;
  }
  EXPECT_FALSE(FileTimeToCalendar(-1, nullptr));

  TimeZoneRules berlin;
  ASSERT_TRUE(ParsePosixRule("CET-1CEST,M3.5.0,M10.5.0/3", &berlin).ok());
  EXPECT_EQ(TransitionFileTime(berlin.daylight_date, 2010), CalendarToFileTime({2010, 3, 28, 2}));
  EXPECT_EQ(TransitionFileTime(berlin.standard_date, 2010), CalendarToFileTime({2010, 10, 31, 3}));
  EXPECT_EQ(TransitionFileTime({ZoneTransition::Kind::kJulianNoLeap, 0, 0, 0, 60, 0}, 2012),
            CalendarToFileTime({2012, 3, 1}));
  EXPECT_EQ(TransitionFileTime({ZoneTransition::Kind::kDayOfYear, 0, 0, 0, 59, 0}, 2012),
            CalendarToFileTime({2012, 2, 29}));
}

}  // namespace
}  // namespace logrum::platform
