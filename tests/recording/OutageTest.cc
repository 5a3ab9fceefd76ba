// Whole-system write outage: archsvc.so records a virtual tone through
// audiosrc.so and audenc.so on a clock running 30 times faster than real time,
// and for ten minutes of that clock no segment file may grow (a file size
// limit stands in for a full disk). Checked: the process's memory stops
// growing once the backlog holds its five minutes, the archive's status text
// shows the audio dropped, and recording resumes when writes work again.
#include <gtest/gtest.h>
#include <thread>
#include <chrono>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Lib/ArchiveManager/Archive/testing/ArchiveHost.h"
#include "Lib/ArchiveManager/Archive/testing/HostOptions.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Time/TimeFormat.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Platform/Clock.h"
#include "Lib/Platform/TimeZone.h"
#include "tests/support/InProcessArchive.h"
#include "tests/support/SystemTest.h"

namespace logrum::archive {
namespace {

constexpr char kClockSpec[] = "start=2026-01-10T10:00:00,speed=30";
constexpr char kZone[] = "CET-1CEST,M3.5.0,M10.5.0/3";

std::string TempRoot() {
  return logrum::testing::ProgramFolder("outage");
}

void WaitMinutes(int64_t start_us, double minutes) {
  platform::DefaultClock().WaitUntil(start_us + static_cast<int64_t>(minutes * 60e6),
                                     std::stop_token());
}

std::string StatusText(IArchive* archive) {
  char text[256];
  archive->GetStatusText(text, sizeof text);
  return text;
}

TEST(OutageTest, TenMinutesWithoutWritesKeepMemoryFlatAndRecordingResumes) {
  testing::ArchiveHost host;
  ASSERT_NO_FATAL_FAILURE(logrum::testing::LoadBuiltLibraries(host));
  // Small capture blocks: many encoder blocks per minute, as on a busy server.
  ASSERT_TRUE(host.DefineSource(0, "Studio", 22050, 9216));

  testing::HostOptions options;
  logrum::testing::PlaceArchive(&options, TempRoot(), "Studio");
  options.rec_sample_rate = 22050;
  options.live_bitrate_k = 0;
  options.off_bitrate_k = 32;
  options.off_sample_rate = 22050;
  options.off_channels = 1;
  options.segment_minutes = 60;
  options.max_time_adjust_sec = 5;
  testing::HostSkimSwitch skim_switch;
  logrum::testing::ArchiveLogLines listener;

  IArchive* archive = host.manager()->CreateArchive("Studio");
  ASSERT_NE(archive, nullptr);
  const int64_t start_us = platform::DefaultClock().NowUs();
  ASSERT_TRUE(archive->Open(&options, &skim_switch, nullptr, true, &listener));
  ASSERT_TRUE(listener.WaitFor("INFO: Open file '"));
  WaitMinutes(start_us, 0.5);

  // The outage: no file may grow past 64 KB (the segment holds more by now;
  // the log file and the database stay below it).
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit old_limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 64 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const bool failed = listener.WaitFor("ERROR: Write to file failed!\n");
  WaitMinutes(start_us, 6.5);
  const long rss_6 = logrum::testing::ResidentKiB();
  WaitMinutes(start_us, 10.5);
  const long rss_10 = logrum::testing::ResidentKiB();
  const std::string status = StatusText(archive);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(failed);

  // The retries back off to 5 s of real time: up to 2.5 minutes on this clock.
  const bool resumed = listener.WaitFor("INFO: Write to file succeeded after");
  const bool dropped =
      listener.WaitFor(" ms of audio were dropped while nothing could be written!");
  WaitMinutes(platform::DefaultClock().NowUs(), 1);
  // Close gives the backlog only a short drain time: wait (real time, bounded)
  // until the audio before the outage, the kept 5.5 minutes and the minute since
  // are on disk (32 kbit/s: 4 KB a second).
  const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (archive->GetUsedStorageMB() < 7.0 * 60 * 4.0 / 1000 &&
         std::chrono::steady_clock::now() < patience) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  archive->Close();
  archive->Release();
  host.Unload();
  for (const std::string& line : listener.Lines()) std::printf("  log: %s", line.c_str());
  std::printf("  resident memory at 6 minutes of outage %ld KiB, at 10 minutes %ld KiB\n", rss_6,
              rss_10);
  std::printf("  status: %s\n", status.c_str());

  // Without a bound the backlog grows by about 9 MiB a minute here.
  EXPECT_LT(rss_10 - rss_6, 8 * 1024);
  EXPECT_NE(status.find("Audio dropped: "), std::string::npos) << status;
  EXPECT_TRUE(listener.Has("WARNING: Nothing could be written and the backlog is full"));
  EXPECT_TRUE(resumed);
  EXPECT_TRUE(dropped);

  // The segments: the one the outage hit, and one from the gap on that holds
  // what was kept and what came after.
  std::vector<std::pair<int64_t, uint32_t>> segments;  // (start, duration ms)
  for (const std::string& file : logrum::testing::SegmentFiles(options.archive_path)) {
    CArchiveFileRead reader(options.archive_path, ".mp3");
    const auto read = reader.ReadInfo(file);
    ASSERT_TRUE(read.ok()) << read.message();
    segments.emplace_back(reader.GetStartTime().ToLinear(), reader.GetDurationMs());
  }
  std::sort(segments.begin(), segments.end());
  ASSERT_GE(segments.size(), 2u);
  // The kept five minutes (less a block) and the minute after the resumption.
  EXPECT_GT(segments.back().second, 5.5 * 60 * 1000);
}

}  // namespace
}  // namespace logrum::archive

int main(int argc, char** argv) {
  logrum::testing::SetUpVirtualStation(logrum::archive::kZone, logrum::archive::kClockSpec,
                                       "Studio=tone:440,660");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
