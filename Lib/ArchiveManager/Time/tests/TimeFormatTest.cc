#include "Lib/ArchiveManager/Time/TimeFormat.h"

#include <gtest/gtest.h>

#include <cstring>

namespace logrum::archive {
namespace {

CZoneTime T(int y, int mo, int d, int h, int mi, int s, int daylight) {
  CZoneTime t;
  EXPECT_TRUE(t.Set(y, mo, d, h, mi, s, daylight));
  return t;
}

std::string F(const CZoneTime& t, const char* pattern) {
  char buffer[256];
  int n = Format(t, pattern, buffer, sizeof buffer);
  if (n < 0) return "<fail>";
  EXPECT_EQ(static_cast<size_t>(n), std::strlen(buffer));
  return buffer;
}

TEST(TimeFormatTest, EveryConversion) {
  const CZoneTime t = T(2010, 3, 4, 15, 6, 7, 1);  // a Thursday afternoon
  const CZoneTime s = T(2009, 12, 27, 0, 0, 9, 0);  // a Sunday at midnight
  struct Case {
    const CZoneTime* time;
    const char* pattern;
    const char* expected;
  };
  const Case cases[] = {
      {&t, "%%|%Y|%y|%m|%d|%H|%M|%S", "%|2010|10|03|04|15|06|07"},
      {&t, "%I %p", "03 PM"},
      {&s, "%I %p", "12 AM"},
      {&t, "%A %a %B %b %w", "Thursday Thu March Mar 4"},
      {&s, "%A %a %B %b %w", "Sunday Sun December Dec 0"},
      {&t, "%z %Z", "D Daylight Savings Time"},
      {&s, "%z %Z", "S Standard Time"},
      {&t, "%x", "2010.03.04-15:06:07-D"},
      {&t, "%X", "Thu-2010.03.04-15:06:07-D"},
      {&t, "%C", "Thu Mar 04 15:06:07 2010"},
      {&t, "%c", "Thu Mar 04 15:06:07 2010\n"},
      {&t, "%q%Q%5 and 100%", "%q%Q%5 and 100%"},
      {&t, "plain", "plain"},
      {&t, "", ""},
      {&t, "%j", "<fail>"},
      {&t, "%Y-%U", "<fail>"},
      {&t, "%W", "<fail>"},
      {&t, "%x %j", "<fail>"},
  };
  for (const Case& c : cases) EXPECT_EQ(F(*c.time, c.pattern), c.expected) << c.pattern;
}

TEST(TimeFormatTest, CompactCode) {
  // y = 210, month 3, day 4: 210>>3 = 26 'Q'; (3363>>1)&63 = 17 'H';
  // (4 | 3363<<5)&63 = 36 'a'; hour 15+32 = 47 'l'; 6 '6'; 7 '7'.
  EXPECT_EQ(F(T(2010, 3, 4, 15, 6, 7, 1), "%e"), "QHal67");
  EXPECT_EQ(F(T(2010, 3, 4, 15, 6, 7, 0), "%e"), "QHaF67");
  EXPECT_EQ(F(T(2010, 12, 31, 23, 59, 59, 0), "%e"), "QMVNxx");
}

TEST(TimeFormatTest, ResultMustFitTheBuffer) {
  const CZoneTime t = T(2010, 3, 4, 5, 6, 7, 0);
  char buffer[11];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(Format(t, "%Y.%m.%d", buffer, 11), 10);
  EXPECT_STREQ(buffer, "2010.03.04");
  EXPECT_EQ(Format(t, "%Y.%m.%d", buffer, 10), -1);
  EXPECT_STREQ(buffer, "");
  char one[1] = {'x'};
  EXPECT_EQ(Format(t, "%Y", one, 1), -1);
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(Format(t, "", one, 1), 0);
  EXPECT_EQ(Format(t, "%j", buffer, sizeof buffer), -1);
  EXPECT_STREQ(buffer, "");

  std::string text;
  EXPECT_TRUE(FormatTime(t, "%x", &text));
  EXPECT_EQ(text, "2010.03.04-05:06:07-S");
  EXPECT_FALSE(FormatTime(t, "%U", &text));
}

}  // namespace
}  // namespace logrum::archive
