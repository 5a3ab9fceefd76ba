#include "Tools/logrum-segment/SegmentTool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "Lib/ArchiveManager/Segment/ArchiveFileWrite.h"
#include "Lib/ArchiveManager/Time/tests/ZoneTestUtil.h"
#include "tests/support/TempDir.h"

namespace logrum::tools {
namespace {

namespace fs = std::filesystem;
using archive::CZoneTime;

CZoneTime T(int y, int mo, int d, int h, int mi, int s, int daylight) {
  CZoneTime t;
  EXPECT_TRUE(t.Set(y, mo, d, h, mi, s, daylight));
  return t;
}

class SegmentToolTest : public ::testing::Test {
 protected:
  std::string Write(const CZoneTime& start, size_t blocks, const CZoneTime& end, bool skim) {
    archive::CArchiveFileWrite writer(dir_.string(), "mp3", "Studio A");
    EXPECT_TRUE(writer.Open(start, {128, 44100, 2}, skim).ok());
    std::vector<uint8_t> data(blocks * 417, 0x55);
    if (!data.empty()) {
      EXPECT_TRUE(writer.Write(data.data(), data.size()).ok());
    }
    std::string path = writer.GetFileName();
    EXPECT_TRUE(writer.Close(end).ok());
    return path;
  }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    return SegmentToolMain(args, out_, err_);
  }

  logrum::testing::TempDir temp_{"segtool"};
  fs::path dir_ = temp_.path();
  std::ostringstream out_, err_;
};

TEST_F(SegmentToolTest, InfoPrintsTheTrailerAsTextAndJson) {
  const std::string path =
      Write(T(2010, 3, 4, 5, 6, 7, 0), 100, T(2010, 3, 4, 5, 21, 7, 0), true);
  ASSERT_EQ(Run({"info", path}), 0) << err_.str();
  EXPECT_EQ(out_.str(), path +
                            "\n"
                            "  form:        current (109 bytes, version 200)\n"
                            "  source:      Studio A\n"
                            "  size:        41700 bytes\n"
                            "  start:       2010.03.04-05:06:07-S\n"
                            "  end:         2010.03.04-05:21:07-S\n"
                            "  duration:    2612 ms\n"
                            "  bit rate:    128 kbit/s\n"
                            "  sample rate: 44100 Hz\n"
                            "  channels:    2\n"
                            "  skim:        on\n");

  const std::string missing = (dir_ / "missing.mp3").string();
  ASSERT_EQ(Run({"info", "--json", path, missing}), 1);
  nlohmann::json list = nlohmann::json::parse(out_.str());
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["file"], path);
  EXPECT_EQ(list[0]["ok"], true);
  EXPECT_EQ(list[0]["form"], "current");
  EXPECT_EQ(list[0]["version"], 200);
  EXPECT_EQ(list[0]["source"], "Studio A");
  EXPECT_EQ(list[0]["size_bytes"], 41700);
  EXPECT_EQ(list[0]["start"], "2010.03.04-05:06:07-S");
  EXPECT_EQ(list[0]["end"], "2010.03.04-05:21:07-S");
  EXPECT_EQ(list[0]["duration_ms"], 2612);
  EXPECT_EQ(list[0]["bitrate_kbps"], 128);
  EXPECT_EQ(list[0]["samplerate_hz"], 44100);
  EXPECT_EQ(list[0]["channels"], 2);
  EXPECT_EQ(list[0]["skim"], true);
  EXPECT_EQ(list[1]["ok"], false);
  EXPECT_NE(list[1]["error"].get<std::string>().find(missing), std::string::npos);

  EXPECT_EQ(Run({"info"}), 2);
  EXPECT_EQ(Run({"frobnicate"}), 2);
  EXPECT_NE(err_.str().find("usage:"), std::string::npos);
}

TEST_F(SegmentToolTest, CheckReportsWhatTheScannerWouldRefuse) {
  const std::string good = Write(T(2010, 3, 4, 5, 0, 0, 0), 10, CZoneTime(), false);
  // A segment moved out of its day folder.
  const std::string moved = Write(T(2010, 3, 4, 5, 15, 0, 0), 1, CZoneTime(), false);
  fs::rename(moved, dir_ / "2010.03.04-05.15.00-S.mp3");
  // A file cut during recording.
  const std::string cut = Write(T(2010, 3, 4, 5, 30, 0, 0), 2, CZoneTime(), false);
  fs::resize_file(cut, 2 * 417);
  // A name that is no segment name, and files of other kinds.
  std::ofstream(dir_ / "2010.03.04" / "notes.mp3") << "x";
  std::ofstream(dir_ / "2010.03.04" / "notes.txt") << "x";
  // A current trailer under a name without the zone letter.
  const std::string bare = Write(T(2010, 3, 4, 5, 45, 0, 0), 1, CZoneTime(), false);
  fs::rename(bare, dir_ / "2010.03.04" / "2010.03.04-05.45.00.mp3");
  // A name saying daylight over a trailer saying standard time.
  const std::string flag = Write(T(2010, 3, 4, 6, 0, 0, 0), 1, CZoneTime(), false);
  fs::rename(flag, dir_ / "2010.03.04" / "2010.03.04-06.00.00-D.mp3");

  const std::string d = dir_.string();
  ASSERT_EQ(Run({"check", d}), 1) << err_.str();
  EXPECT_EQ(out_.str(),
                    d + "/2010.03.04/2010.03.04-05.30.00-S.mp3: error: unreadable trailer, may be "
                    "corrupted (" + d + "/2010.03.04/2010.03.04-05.30.00-S.mp3 has no trailer "
                    "(cut short or damaged))\n" +
                d + "/2010.03.04/2010.03.04-05.45.00.mp3: error: the name lacks the zone letter "
                    "that a current trailer requires\n" +
                d + "/2010.03.04/2010.03.04-06.00.00-D.mp3: warning: trailer start "
                    "2010.03.04-06:00:00-S differs from the name; the name is used\n" +
                d + "/2010.03.04/notes.mp3: error: invalid file name (expected "
                    "YYYY.MM.DD-hh.mm.ss-Z, a year from 1997 to 2027)\n" +
                d + "/2010.03.04-05.15.00-S.mp3: error: in the wrong place (its name puts it at " + d +
                "/2010.03.04/2010.03.04-05.15.00-S.mp3)\n"
                "6 segment files checked, 4 errors, 1 warnings\n");

  fs::remove_all(dir_ / "2010.03.04");
  fs::remove(dir_ / "2010.03.04-05.15.00-S.mp3");
  Write(T(2010, 3, 4, 5, 0, 0, 0), 10, CZoneTime(), false);
  std::ofstream(dir_ / "archive.db3") << "x";
  ASSERT_EQ(Run({"check", d + "/", ".MP3"}), 0);
  EXPECT_EQ(out_.str(), "1 segment files checked, 0 errors, 0 warnings\n");
  EXPECT_EQ(Run({"check", d + "/nowhere"}), 2);
  EXPECT_EQ(Run({"check"}), 2);
  (void)good;
}

}  // namespace
}  // namespace logrum::tools
