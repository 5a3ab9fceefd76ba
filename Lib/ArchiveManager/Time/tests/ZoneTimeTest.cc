#include "Lib/ArchiveManager/Time/ZoneTime.h"

#include <gtest/gtest.h>

#include <array>

#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/ArchiveManager/Time/tests/ZoneTestUtil.h"
#include "Lib/Platform/Clock.h"

namespace logrum::archive {
namespace {

using testing::kBerlin;
using testing::kNewYork;
using testing::kSydney;
using testing::ScopedZone;

CZoneTime T(int y, int mo, int d, int h, int mi, int s, int daylight) {
  CZoneTime t;
  EXPECT_TRUE(t.Set(y, mo, d, h, mi, s, daylight)) << y << "-" << mo << "-" << d;
  return t;
}

TEST(ZoneTimeTest, WordHoldsFieldsAndSettersRefuseOutOfRange) {
  CZoneTime t = T(2010, 3, 4, 5, 6, 7, 1);
  EXPECT_EQ(t.GetYear(), 2010);
  EXPECT_EQ(t.GetMonth(), 3);
  EXPECT_EQ(t.GetDay(), 4);
  EXPECT_EQ(t.GetHour(), 5);
  EXPECT_EQ(t.GetMinute(), 6);
  EXPECT_EQ(t.GetSecond(), 7);
  EXPECT_TRUE(t.IsDaylight());
  // base year 2012: offset -2 is sign bit + magnitude 2
  EXPECT_EQ(t.GetWord(), 0x80000000u | 2u << 27 | 3u << 23 | 4u << 18 | 5u << 13 | 6u << 7 |
                             7u << 1 | 1u);

  const uint32_t word = t.GetWord();
  EXPECT_FALSE(t.SetYear(1996));
  EXPECT_FALSE(t.SetYear(2028));
  EXPECT_FALSE(t.SetMonth(13));
  EXPECT_FALSE(t.SetDay(32));
  EXPECT_FALSE(t.SetHour(24));
  EXPECT_FALSE(t.SetMinute(60));
  EXPECT_FALSE(t.SetSecond(60));
  EXPECT_FALSE(t.SetSecond(-1));
  EXPECT_EQ(t.GetWord(), word);
  EXPECT_TRUE(t.SetYear(1997));
  EXPECT_TRUE(t.SetYear(2027));
  EXPECT_EQ(t.GetYear(), 2027);

  EXPECT_TRUE(CZoneTime().IsNull());
  EXPECT_EQ(CZoneTime().GetMonth(), 0);
}

TEST(ZoneTimeTest, ConstructionCarriesSecondsAndMinutesButNotHours) {
  CZoneTime t = T(2010, 3, 4, 5, 59, 75, 0);
  EXPECT_EQ(t.GetHour(), 6);
  EXPECT_EQ(t.GetMinute(), 0);
  EXPECT_EQ(t.GetSecond(), 15);

  CZoneTime keep = T(2011, 1, 1, 0, 0, 0, 0);
  for (auto fields : {std::array{2010, 3, 4, 23, 59, 60}, std::array{2010, 3, 4, 24, 0, 0},
                      std::array{2010, 2, 29, 0, 0, 0}, std::array{2012, 4, 31, 0, 0, 0},
                      std::array{2010, 3, 0, 0, 0, 0}, std::array{2010, 0, 1, 0, 0, 0},
                      std::array{2040, 1, 1, 0, 0, 0}, std::array{2010, 1, 1, -1, 0, 0}}) {
    EXPECT_FALSE(keep.Set(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], 0))
        << fields[0] << "-" << fields[1] << "-" << fields[2] << " " << fields[3] << ":"
        << fields[4] << ":" << fields[5];
  }
  EXPECT_TRUE(CZoneTime::IsSame(keep, T(2011, 1, 1, 0, 0, 0, 0)));
  EXPECT_TRUE(keep.Set(2012, 2, 29, 0, 0, 0, 0));
}

TEST(ZoneTimeTest, PackedValueOfTheWorkedExample) {
  EXPECT_EQ(T(2010, 3, 4, 5, 6, 7, 0).ToPacked(), 0x07DA030405060700u);
  EXPECT_EQ(T(2010, 3, 4, 5, 6, 7, 1).ToPacked(), 0x07DA030405060701u);
  CZoneTime back;
  ASSERT_TRUE(back.FromPacked(0x07DA030405060701u));
  EXPECT_TRUE(CZoneTime::IsSame(back, T(2010, 3, 4, 5, 6, 7, 1)));

  EXPECT_TRUE(back.FromPacked(0));
  EXPECT_TRUE(back.IsNull());
  EXPECT_EQ(CZoneTime().ToPacked(), 0u);

  // A value that does not fit the word gives the null time.
  back = T(2010, 3, 4, 5, 6, 7, 1);
  EXPECT_FALSE(back.FromPacked(0x07C6030405060700u));  // 1990
  EXPECT_TRUE(back.IsNull());
  EXPECT_FALSE(back.FromPacked(0x07DA0D0405060700u));  // month 13
  EXPECT_TRUE(back.IsNull());

  // Numeric order is wall-clock order with the flag breaking ties.
  EXPECT_LT(T(2010, 11, 7, 1, 30, 0, 0).ToPacked(), T(2010, 11, 7, 1, 30, 0, 1).ToPacked());
  EXPECT_LT(T(2010, 11, 7, 1, 30, 0, 1).ToPacked(), T(2010, 11, 7, 1, 30, 1, 0).ToPacked());
}

TEST(ZoneTimeTest, RulesDecideTheFlagWhenAskedTo) {
  {
    ScopedZone zone(kBerlin);
    EXPECT_FALSE(T(2010, 1, 15, 12, 0, 0, -1).IsDaylight());
    EXPECT_TRUE(T(2010, 7, 15, 12, 0, 0, -1).IsDaylight());
    EXPECT_FALSE(T(2010, 3, 28, 1, 59, 59, -1).IsDaylight());
    EXPECT_TRUE(T(2010, 3, 28, 2, 0, 0, -1).IsDaylight());
    // The repeated hour read as standard time is standard time.
    EXPECT_FALSE(T(2010, 10, 31, 2, 30, 0, -1).IsDaylight());
    EXPECT_TRUE(T(2010, 10, 31, 1, 59, 59, -1).IsDaylight());
  }
  {
    ScopedZone zone(kSydney);  // daylight time spans the new year
    EXPECT_TRUE(T(2010, 1, 15, 12, 0, 0, -1).IsDaylight());
    EXPECT_FALSE(T(2010, 7, 15, 12, 0, 0, -1).IsDaylight());
  }
  ScopedZone zone("UTC0");
  EXPECT_FALSE(T(2010, 7, 15, 12, 0, 0, -1).IsDaylight());
}

TEST(ZoneTimeTest, NightDaylightTimeEnds) {
  ScopedZone zone(kNewYork);
  CZoneTime t = T(2010, 11, 7, 1, 30, 0, 1);
  CZoneTime before = t;
  ASSERT_TRUE(t.AddSeconds(3600));
  EXPECT_TRUE(CZoneTime::IsSame(t, T(2010, 11, 7, 1, 30, 0, 0)));
  EXPECT_EQ(CZoneTime::Difference(t, before), 3600 * platform::kTicksPerSecond);
  EXPECT_EQ(SegmentFileName("/a", before, "mp3"), "/a/2010.11.07/2010.11.07-01.30.00-D.mp3");
  EXPECT_EQ(SegmentFileName("/a", t, "mp3"), "/a/2010.11.07/2010.11.07-01.30.00-S.mp3");

  // The hour skipped in spring.
  CZoneTime spring = T(2010, 3, 14, 1, 59, 59, 0);
  ASSERT_TRUE(spring.AddSeconds(1));
  EXPECT_TRUE(CZoneTime::IsSame(spring, T(2010, 3, 14, 3, 0, 0, 1)));
  ASSERT_TRUE(spring.AddSeconds(-1));
  EXPECT_TRUE(CZoneTime::IsSame(spring, T(2010, 3, 14, 1, 59, 59, 0)));

  // Leaving the representable years fails and keeps the value.
  CZoneTime edge = T(2027, 12, 31, 23, 59, 59, 0);
  EXPECT_FALSE(edge.AddSeconds(1));
  EXPECT_TRUE(CZoneTime::IsSame(edge, T(2027, 12, 31, 23, 59, 59, 0)));
  EXPECT_FALSE(CZoneTime().AddSeconds(1));
}

TEST(ZoneTimeTest, LinearTimeRoundTripsThroughEveryHourOfTheYear) {
  for (const char* tz : {kBerlin, kNewYork, kSydney, "UTC0"}) {
    ScopedZone zone(tz);
    CZoneTime t = T(2010, 1, 1, 0, 30, 0, -1);
    int64_t previous = t.ToLinear();
    for (int hour = 1; hour < 366 * 24; ++hour) {
      CZoneTime next;
      ASSERT_TRUE(next.FromLinear(previous + 3600 * platform::kTicksPerSecond)) << tz;
      ASSERT_EQ(next.ToLinear(), previous + 3600 * platform::kTicksPerSecond) << tz;
      ASSERT_NE(t.ToPacked(), next.ToPacked()) << tz << " hour " << hour;
      previous = next.ToLinear();
      t = next;
    }
  }
  EXPECT_EQ(CZoneTime().ToLinear(), 0);
  CZoneTime t = T(2010, 1, 1, 0, 0, 0, 0);
  ASSERT_TRUE(t.FromLinear(0));
  EXPECT_TRUE(t.IsNull());
}

TEST(ZoneTimeTest, LinearTimeIsOnTheStandardScale) {
  ScopedZone zone(kBerlin);
  const int64_t noon = platform::CalendarToFileTime({2010, 7, 15, 12, 0, 0});
  EXPECT_EQ(T(2010, 7, 15, 12, 0, 0, 1).ToLinear(), noon - 60 * platform::kTicksPerMinute);
  EXPECT_EQ(T(2010, 1, 15, 12, 0, 0, 0).ToLinear(),
            platform::CalendarToFileTime({2010, 1, 15, 12, 0, 0}));
  // 02:30 daylight before 02:30 standard on the night the hour repeats.
  EXPECT_LT(CZoneTime::Difference(T(2010, 10, 31, 2, 30, 0, 1), T(2010, 10, 31, 2, 30, 0, 0)), 0);
}

TEST(ZoneTimeTest, UnixSecondsBothWaysAndWeekday) {
  ScopedZone zone(kBerlin);
  CZoneTime winter = T(2010, 3, 4, 5, 6, 7, 0);
  EXPECT_EQ(winter.ToUnixSeconds(), 1267675567);  // 04:06:07 UTC
  CZoneTime summer = T(2010, 7, 4, 5, 6, 7, 1);
  EXPECT_EQ(summer.ToUnixSeconds(), 1278212767);  // 03:06:07 UTC
  CZoneTime back;
  ASSERT_TRUE(back.FromUnixSeconds(1278212767));
  EXPECT_TRUE(CZoneTime::IsSame(back, summer));
  ASSERT_TRUE(back.FromUnixSeconds(1267675567));
  EXPECT_TRUE(CZoneTime::IsSame(back, winter));

  EXPECT_EQ(winter.GetWeekday(), 5);  // Thursday
  EXPECT_EQ(T(2010, 3, 7, 0, 0, 0, 0).GetWeekday(), 1);
  EXPECT_EQ(T(2010, 3, 6, 0, 0, 0, 0).GetWeekday(), 7);
  EXPECT_EQ(CZoneTime().GetWeekday(), 0);
}

TEST(ZoneTimeTest, NowReadsTheProcessClock) {
  ScopedZone zone(kBerlin);
  platform::ManualClock clock(1278212767LL * 1000000 + 999000);
  CZoneTime now;
  {
    const platform::ScopedDefaultClock scoped_clock(clock);
    now = CZoneTime::Now();
  }
  EXPECT_TRUE(CZoneTime::IsSame(now, T(2010, 7, 4, 5, 6, 7, 1)));
}

}  // namespace
}  // namespace logrum::archive
