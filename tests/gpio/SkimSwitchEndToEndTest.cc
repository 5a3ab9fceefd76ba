// A mic-on line from a playout system starts a skim segment, through the
// whole program: recserver with an archive in skim mode on a virtual device,
// on an accelerated clock, and gpiolink.so with logical input 5 of that
// device pointed at a loopback text server that sends "MIC ON", waits, then
// "MIC OFF". The segments are checked in the archive's database and with
// logrum-segment info.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Gpio/tests/TextServer.h"
#include "Lib/Platform/Registry.h"
#include "tests/support/Recserver.h"
#include "tests/support/SystemTest.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestSupport.h"

namespace logrum::archive {
namespace {

namespace fs = std::filesystem;

using logrum::testing::kLogrum2Key;
constexpr char kGpioConfig[] = "Software\\Norvane Systems\\Logrum\\NorvaneGPIO\\Config";
constexpr int kSpeed = 8;
constexpr int kPreDelayMs = 4000;
constexpr int kPostDelayMs = 6000;

struct Segment {
  std::string file;
  std::string start;
  uint32_t duration_ms = 0;
  uint32_t bitrate = 0;
  bool skim = false;
};

// The trailers as logrum-segment reads them, in start order.
std::vector<Segment> SegmentInfo(const std::string& folder) {
  std::string command = std::string(LOGRUM2_BUILD_DIR) + "/bin/logrum-segment info --json";
  for (const std::string& file : logrum::testing::SegmentFiles(folder)) {
    command += " '" + file + "'";
  }
  std::vector<Segment> segments;
  for (const auto& item : nlohmann::json::parse(logrum::testing::RunCommand(command).out)) {
    segments.push_back({item["file"], item["start"], item["duration_ms"], item["bitrate_kbps"],
                        item["skim"]});
  }
  return segments;
}

class SkimSwitchEndToEndTest
    : public logrum::testing::RecserverFixture<::testing::TestWithParam<int>> {
 protected:
  void SetUp() override {
    RecserverFixture::SetUp();
    fs::create_directories(archive_);
    fs::create_directories(root_ + "/sys");
  }

  const std::string archive_ = root_ + "/Skim";
};

TEST_P(SkimSwitchEndToEndTest, AMicOnLineRecordsASkimSegmentWithItsDelays) {
  const int mode = GetParam();  // 1 skimming, 2 smart skimming
  gpio::testing::TextServer playout;

  const std::string key = std::string(kLogrum2Key) + "\\Archives\\Skim";
  PutString(key, "ArchivePath", archive_);
  PutString(key, "LogPath", archive_);
  PutString(key, "SourceName", "Studio");
  PutInt(key, "AutoStart", 1);
  PutInt(key, "SegmentSizeMinutes", 15);
  PutInt(key, "RecordMode", static_cast<uint32_t>(mode));
  PutString(key, "SkimSource", "qrx,0x10,1");  // switch 5, active when closed (ON)
  PutInt(key, "PreDelay", kPreDelayMs);
  PutInt(key, "PostDelay", kPostDelayMs);
  PutInt(key, "OffBitrateK", mode == 1 ? 0 : 32);
  // Input 5 of the capture device "Tone" follows the playout system's lines.
  PutInt(kGpioConfig, "Count", 1);
  PutString(kGpioConfig, "AudioSourceName0", "Tone");
  PutInt(kGpioConfig, "Dev0_0_Active", 1);
  PutString(kGpioConfig, "Dev0_0_HostAddress", playout.address());
  PutString(kGpioConfig, "Dev0_0_OnPattern", "^MIC ON");
  PutString(kGpioConfig, "Dev0_0_OffPattern", "^MIC OFF");
  store_.reset();

  logrum::testing::RecserverProcess server(
      {home_,
       "Tone=tone:440,660",
       {"LOGRUM2_CLOCK=start=2026-06-01T10:00:05,speed=" + std::to_string(kSpeed), "TZ=UTC",
        "LOGRUM2_GPIO_SYSFS=" + root_ + "/sys"}});
  ASSERT_TRUE(server.WaitForLine("archive Skim: Active")) << server.Text();
  ASSERT_TRUE(playout.WaitForClients(1)) << server.Text();
  // Enough audio for the pre-delay is held back before the switch closes.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));

  ASSERT_TRUE(playout.Send("MIC ON - studio 1\r\n"));
  const auto on_at = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  ASSERT_TRUE(playout.Send("MIC OFF\r\n"));
  const double held_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - on_at).count() *
      kSpeed;
  // Past the post-delay, then an orderly stop that finishes every segment.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(server.Stop(), 0) << server.Text();

  std::vector<Segment> segments = SegmentInfo(archive_);
  for (const Segment& s : segments) {
    std::printf("  %s %u ms %u kbit/s skim %d\n", s.start.c_str(), s.duration_ms, s.bitrate, s.skim);
  }
  std::printf("  switch held %.0f ms on the clock\n", held_ms);
  const size_t on_index = mode == 1 ? 0 : 1;
  ASSERT_EQ(segments.size(), mode == 1 ? 1u : 3u) << server.Text();
  const Segment& on = segments[on_index];
  EXPECT_TRUE(on.skim);
  EXPECT_EQ(on.bitrate, 128u);
  // The on segment spans the switched time plus both delays.
  EXPECT_NEAR(on.duration_ms, held_ms + kPreDelayMs + kPostDelayMs, 2000);
  if (mode == 2) {
    for (size_t i : {size_t{0}, size_t{2}}) {
      EXPECT_FALSE(segments[i].skim) << i;
      EXPECT_EQ(segments[i].bitrate, 32u) << i;
    }
  }

  // The database holds the same segments with the same flags and durations.
  AudioDatabaseSql db;
  ASSERT_TRUE(db.Open(archive_).ok());
  CZoneTime from, to;
  ASSERT_TRUE(from.Set(2026, 6, 1, 0, 0, 0, 0));
  ASSERT_TRUE(to.Set(2026, 6, 2, 0, 0, 0, 0));
  struct Row {
    uint32_t duration;
    bool skim;
  };
  std::vector<Row> rows;
  const platform::Status index = db.GetIndex(
      from, to,
      [](const CZoneTime&, uint32_t duration, bool skim, void* context) {
        static_cast<std::vector<Row>*>(context)->push_back({duration, skim});
        return true;
      },
      &rows);
  ASSERT_TRUE(index.ok()) << index.message();
  db.Close();
  ASSERT_EQ(rows.size(), segments.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].skim, segments[i].skim) << i;
    EXPECT_EQ(rows[i].duration, segments[i].duration_ms) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, SkimSwitchEndToEndTest, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == 1 ? "Skimming" : "SmartSkimming");
                         });

}  // namespace
}  // namespace logrum::archive
