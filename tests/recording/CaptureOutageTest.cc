// A capture device that fails and comes back while an archive records: archsvc.so
// records a virtual tone through audiosrc.so and audenc.so on an accelerated clock;
// the device is pulled out for 20 seconds and plugged back in. Recording must go
// on by itself, in a new segment, with the time without input left as a gap: no
// segment holds more audio than the time it covers, and none covers the outage.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "Lib/ArchiveManager/Archive/testing/ArchiveHost.h"
#include "Lib/ArchiveManager/Archive/testing/HostOptions.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Platform/Clock.h"
#include "Lib/Platform/TimeZone.h"
#include "tests/support/InProcessArchive.h"
#include "tests/support/SystemTest.h"

namespace logrum::archive {
namespace {

constexpr char kClockSpec[] = "start=2026-05-04T10:00:00,speed=4";

std::string TempRoot() {
  return logrum::testing::ProgramFolder("capture-outage");
}

void WaitClockSeconds(double seconds) {
  platform::Clock& clock = platform::DefaultClock();
  clock.WaitUntil(clock.NowUs() + static_cast<int64_t>(seconds * 1e6), std::stop_token());
}

TEST(CaptureOutageTest, RecordingResumesInANewSegmentAfterTheDeviceComesBack) {
  const std::string unplug = TempRoot() + "/unplugged/Deck";
  testing::ArchiveHost host;
  ASSERT_NO_FATAL_FAILURE(logrum::testing::LoadBuiltLibraries(host, "Deck"));

  testing::HostOptions options;
  logrum::testing::PlaceArchive(&options, TempRoot(), "Deck");
  options.live_bitrate_k = 0;
  options.off_bitrate_k = 128;
  options.off_sample_rate = 44100;
  options.off_channels = 2;
  options.segment_minutes = 15;
  // Above the scheduling jitter of a busy machine on the accelerated clock, below the
  // outage: the new segment must come from the outage itself.
  options.max_time_adjust_sec = 15;
  testing::HostSkimSwitch skim_switch;
  logrum::testing::ArchiveLogLines listener;
  IArchive* archive = nullptr;
  ASSERT_NO_FATAL_FAILURE(logrum::testing::OpenArchive(host, "Deck archive", options, skim_switch,
                                                       &listener, &archive));
  ASSERT_TRUE(listener.WaitFor("Open new file"));

  WaitClockSeconds(10);
  const CZoneTime pulled = CZoneTime::Now();
  std::ofstream(unplug).put('x');  // the USB interface is pulled out
  ASSERT_TRUE(listener.WaitFor("source stopped"));
  auto status = [&] {
    char text[256];
    archive->GetStatusText(text, sizeof text);
    return std::string(text);
  };
  EXPECT_NE(status().find("Input lost"), std::string::npos) << status();
  WaitClockSeconds(20);
  const CZoneTime back = CZoneTime::Now();
  std::filesystem::remove(unplug);
  ASSERT_TRUE(listener.WaitFor("Input of source 'Deck' was lost for"));
  EXPECT_EQ(status().find("Input lost"), std::string::npos) << status();
  WaitClockSeconds(10);
  EXPECT_TRUE(archive->IsActive());
  archive->Close();
  archive->Release();
  host.Unload();
  for (const std::string& line : listener.Lines()) std::printf("  log: %s", line.c_str());

  struct Segment {
    CZoneTime start, end;
    uint32_t duration_ms;
  };
  std::vector<Segment> segments;
  for (const std::string& file : logrum::testing::SegmentFiles(options.archive_path)) {
    CArchiveFileRead reader(options.archive_path, ".mp3");
    const auto read = reader.ReadInfo(file);
    ASSERT_TRUE(read.ok()) << read.message();
    segments.push_back({reader.GetStartTime(), reader.GetEndTime(), reader.GetDurationMs()});
  }
  std::sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) {
    return CZoneTime::Difference(a.start, b.start) < 0;
  });
  ASSERT_EQ(segments.size(), 2u);
  auto seconds = [](const CZoneTime& a, const CZoneTime& b) {
    return static_cast<double>(CZoneTime::Difference(a, b)) / 1e7;
  };
  // Before: about 10 s, ending when the device went; after: recorded again once it
  // was back, about 10 s more.
  EXPECT_NEAR(segments[0].duration_ms / 1000.0, 10, 3);
  EXPECT_GE(seconds(segments[1].start, pulled), 15);
  // Reopened within one back-off step (at most 5 s of real time, 20 s on this clock).
  EXPECT_LE(seconds(segments[1].start, back), 24);
  EXPECT_GE(segments[1].duration_ms / 1000.0, 3);
  EXPECT_LE(segments[1].duration_ms / 1000.0, seconds(CZoneTime::Now(), segments[1].start) + 2);
  // The gap is a gap: no audio was made up for it.
  EXPECT_LE(segments[0].duration_ms / 1000.0, seconds(pulled, segments[0].start) + 1);
}

}  // namespace
}  // namespace logrum::archive

int main(int argc, char** argv) {
  const std::string unplugged = logrum::archive::TempRoot() + "/unplugged";
  std::filesystem::create_directories(unplugged);
  setenv("LOGRUM2_VIRTUAL_UNPLUGGED", unplugged.c_str(), 1);
  logrum::testing::SetUpVirtualStation("UTC0", logrum::archive::kClockSpec, "Deck=tone:440");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
