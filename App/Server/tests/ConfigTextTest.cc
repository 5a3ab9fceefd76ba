#include "App/Server/ConfigText.h"

#include <gtest/gtest.h>

namespace logrum::server {
namespace {

TEST(ConfigTextTest, DelaysShowSecondsAndStoreTruncatedMilliseconds) {
  EXPECT_EQ(FormatDelay(0), "0.0 sec");
  EXPECT_EQ(FormatDelay(1500), "1.5 sec");
  struct Case {
    const char* text;
    std::optional<int32_t> ms;
  } cases[] = {
      {"1.5", 1500},        {"1.5 sec", 1500}, {"  2", 2000},  {"4.35", 4350},
      {"0.0019", 1},        {".5", 500},       {"0", 0},       {"abc", std::nullopt},
      {"", std::nullopt},   {"3000000", std::nullopt},  // beyond 32 bits of ms
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDelay(c.text), c.ms) << c.text;
}

TEST(ConfigTextTest, DaysShowAllForZeroAndStoreLeadingDigits) {
  EXPECT_EQ(FormatDays(0), "<all>");
  EXPECT_EQ(FormatDays(356), "356 days");
  EXPECT_EQ(ParseDays("<all>"), 0);
  EXPECT_EQ(ParseDays("30 days"), 30);
  EXPECT_EQ(ParseDays("7"), 7);
  EXPECT_EQ(ParseDays("days"), std::nullopt);
  EXPECT_EQ(ParseDays("99999999999"), std::nullopt);
}

TEST(ConfigTextTest, DiskSpaceTextsAndUnits) {
  EXPECT_EQ(FormatDiskSpace(1000000), "1000.000 MB");
  EXPECT_EQ(FormatDiskSpace(1000001), "1.000 GB");
  EXPECT_EQ(FormatDiskSpace(700), "0.700 MB");
  struct Case {
    const char* text;
    std::optional<int32_t> kb;
  } cases[] = {
      {"1.5 G", 1500000}, {"1.5g", 1500000},  {"700", 700},          {"700 K", 700},
      {"2 M", 2000},      {" 4.35 m", 4350},  {"1.1 M", 1100},       {"0.0005 M", 0},
      {"1000.000 MB", 1000000},  // a shown text typed back stores the same value
      {"G", std::nullopt}, {"", std::nullopt}, {"3000 G", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDiskSpace(c.text), c.kb) << c.text;
}

TEST(ConfigTextTest, SkimSourceFormatAndParse) {
  EXPECT_EQ(FormatSkimSource(0x01, 1), "qrx,0x01,1");
  EXPECT_EQ(FormatSkimSource(0xA5, 0), "qrx,0xa5,0");
  struct Case {
    const char* text;
    bool valid;
    int mask;
    int level;
  } cases[] = {
      {"qrx,0x01,1", true, 0x01, 1},   {"QRX,0xff,0", true, 0xff, 0},
      {"qRx,17,1", true, 17, 1},       {"qrx,017,1", true, 017, 1},
      {"qrx,0x80,0,65535", true, 0x80, 0},
      {"qrx,0", false, 0, 0},          {"qrx,256,1", false, 0, 0},
      {"qrx,0x1,2", false, 0, 0},      {"qrx,08,1", false, 0, 0},
      {"qrx,0x,1", false, 0, 0},       {"qrx,1,1,65536", false, 0, 0},
      {"qry,1,1", false, 0, 0},        {"", false, 0, 0},
      {"qrx,1,1,2,3", false, 0, 0},    {"qrx,1,10", false, 0, 0},
      {"qrx, 1,1", false, 0, 0},
  };
  for (const auto& c : cases) {
    auto parsed = ParseSkimSource(c.text);
    ASSERT_EQ(parsed.has_value(), c.valid) << c.text;
    if (!parsed) continue;
    EXPECT_EQ(parsed->mask, c.mask) << c.text;
    EXPECT_EQ(parsed->level, c.level) << c.text;
  }
  // What is written reads back.
  for (int mask : {0, 1, 0x5a, 255}) {
    auto parsed = ParseSkimSource(FormatSkimSource(static_cast<uint8_t>(mask), 0));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->mask, mask);
  }
}

TEST(ConfigTextTest, RecordToDiskAndPaths) {
  EXPECT_EQ(RecordToDiskFor("<NONE>"), 0);
  EXPECT_EQ(RecordToDiskFor("<none>"), 0);
  EXPECT_EQ(RecordToDiskFor("Studio A"), 1);
  EXPECT_EQ(MakeAbsolutePath("/srv/rec", "/home"), "/srv/rec");
  EXPECT_EQ(MakeAbsolutePath("rec", "/home/"), "/home/rec");
  EXPECT_EQ(MakeAbsolutePath("./rec", "/home"), "/home/rec");
  EXPECT_EQ(MakeAbsolutePath(".", "/home"), "/home");
  EXPECT_EQ(LogPathFor("/srv/rec"), "/srv/rec/Log");
  EXPECT_EQ(LogPathFor("/srv/rec/"), "/srv/rec/Log");
}

}  // namespace
}  // namespace logrum::server
