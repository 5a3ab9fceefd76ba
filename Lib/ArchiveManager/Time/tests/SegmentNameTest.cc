#include "Lib/ArchiveManager/Time/SegmentName.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Lib/ArchiveManager/Time/tests/ZoneTestUtil.h"
#include "tests/support/TempDir.h"

namespace logrum::archive {
namespace {

namespace fs = std::filesystem;

CZoneTime T(int y, int mo, int d, int h, int mi, int s, int daylight) {
  CZoneTime t;
  EXPECT_TRUE(t.Set(y, mo, d, h, mi, s, daylight));
  return t;
}

TEST(SegmentNameTest, NamesLiveInDayFolders) {
  const CZoneTime t = T(2010, 3, 4, 5, 6, 7, 0);
  EXPECT_EQ(SegmentFileName("/arch", t, ".mp3"), "/arch/2010.03.04/2010.03.04-05.06.07-S.mp3");
  EXPECT_EQ(SegmentFileName("/arch/", t, "mp3"), "/arch/2010.03.04/2010.03.04-05.06.07-S.mp3");
  EXPECT_EQ(OldSegmentFileName("/arch", t, "mp3"), "/arch/2010.03.04/2010.03.04-05.06.07.mp3");
  EXPECT_EQ(SegmentFileName("", T(2010, 7, 1, 0, 0, 0, 1), "mp3"),
            "2010.07.01/2010.07.01-00.00.00-D.mp3");
}

TEST(SegmentNameTest, ParseTable) {
  struct Case {
    const char* text;
    bool zone_required;
    bool ok;
    int daylight;  // expected flag when ok
  };
  const Case cases[] = {
      {"2010.03.04-05.06.07", false, true, 0},
      {"2010.03.04-05.06.07", true, false, 0},
      {"2010.03.04-05.06.07-S", true, true, 0},
      {"2010.03.04-05.06.07-s", true, true, 0},
      {"2010.03.04-05.06.07-D", true, true, 1},
      {"2010.03.04-05.06.07-d", false, true, 1},
      {"2010.3.04-05.06.07-S", false, false, 0},
      {"2010.03.04-05.06.07-X", false, false, 0},
      {"2010.03.04-05.06.07-S ", false, false, 0},
      {"2010.03.04-05.06.07-", false, false, 0},
      {"2010.03.04-05.06.07S", false, false, 0},
      {"2010.03.04_05.06.07-S", false, false, 0},
      {"2010.13.04-05.06.07-S", false, false, 0},
      {"2010.02.30-05.06.07-S", false, false, 0},
      {"2010.03.04-24.06.07-S", false, false, 0},
      {"2010.03.04-05.06.60-S", false, false, 0},
      {"2010.03.04-05.60.07-S", false, false, 0},
      {"1990.03.04-05.06.07-S", false, false, 0},
      {"2010.03.04-05.06.0a-S", false, false, 0},
      {"", false, false, 0},
  };
  for (const Case& c : cases) {
    CZoneTime t = T(2011, 1, 1, 0, 0, 0, 0);
    const CZoneTime before = t;
    bool ok = ParseSegmentName(c.text, c.zone_required, &t);
    EXPECT_EQ(ok, c.ok) << c.text;
    if (ok) {
      EXPECT_TRUE(CZoneTime::IsSame(t, T(2010, 3, 4, 5, 6, 7, c.daylight))) << c.text;
    } else {
      EXPECT_TRUE(CZoneTime::IsSame(t, before)) << c.text;
    }
  }
  // Without a zone letter the zone's rules decide.
  testing::ScopedZone zone(testing::kBerlin);
  CZoneTime summer;
  ASSERT_TRUE(ParseSegmentName("2010.07.04-05.06.07", false, &summer));
  EXPECT_TRUE(summer.IsDaylight());
}

TEST(SegmentNameTest, FindPrefersTheCurrentNameAndFallsBackToTheOlderOne) {
  const logrum::testing::TempDir temp("segname");
  const fs::path dir = temp.path();
  fs::create_directories(dir / "2010.03.04");
  const CZoneTime t = T(2010, 3, 4, 5, 6, 7, 0);
  const std::string current = SegmentFileName(dir.string(), t, "mp3");
  const std::string old = OldSegmentFileName(dir.string(), t, "mp3");

  EXPECT_EQ(FindSegmentFile(dir.string(), t, "mp3"), current);  // neither exists
  std::ofstream(old).put('x');
  EXPECT_EQ(FindSegmentFile(dir.string(), t, "mp3"), old);
  std::ofstream(current).put('x');
  EXPECT_EQ(FindSegmentFile(dir.string(), t, "mp3"), current);
}

// A name is read without regard to the case of its zone letter and its
// extension, so it is found again the same way; an exact name comes first.
TEST(SegmentNameTest, FindFindsANameThatDiffersOnlyInCase) {
  const logrum::testing::TempDir temp("segname-case");
  const fs::path dir = temp.path();
  const std::string day = (dir / "2010.03.04").string() + "/";
  fs::create_directories(day);
  const CZoneTime t = T(2010, 3, 4, 5, 6, 7, 0);
  const std::string folder = dir.string();
  struct Case {
    std::vector<std::string> files;
    std::string found;  // relative to the day folder; empty: the current name (none found)
  };
  const Case cases[] = {
      {{"2010.03.04-05.06.07-s.mp3"}, "2010.03.04-05.06.07-s.mp3"},
      {{"2010.03.04-05.06.07-S.MP3"}, "2010.03.04-05.06.07-S.MP3"},
      {{"2010.03.04-05.06.07.Mp3"}, "2010.03.04-05.06.07.Mp3"},
      // The current form before the older one, the first in byte order among several.
      {{"2010.03.04-05.06.07.MP3", "2010.03.04-05.06.07-s.MP3", "2010.03.04-05.06.07-s.mp3"},
       "2010.03.04-05.06.07-s.MP3"},
      {{"2010.03.04-05.06.07-s.mp3", "2010.03.04-05.06.07-S.mp3"}, "2010.03.04-05.06.07-S.mp3"},
      // Another time, another zone letter or another extension is not this segment.
      {{"2010.03.04-05.06.08-s.mp3", "2010.03.04-05.06.07-d.mp3", "2010.03.04-05.06.07-s.wav"},
       ""},
  };
  for (const Case& c : cases) {
    for (const std::string& name : c.files) std::ofstream(day + name).put('x');
    const std::string expected =
        c.found.empty() ? SegmentFileName(folder, t, "mp3") : day + c.found;
    EXPECT_EQ(FindSegmentFile(folder, t, "mp3"), expected) << c.files.front();
    for (const std::string& name : c.files) fs::remove(day + name);
  }
}

}  // namespace
}  // namespace logrum::archive
