// recserver as a whole program: start-up with auto-start archives, the single
// instance rule, and the orderly stop on SIGTERM and SIGINT that leaves every
// segment finished (trailer written) and in the archive's database.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Platform/Registry.h"
#include "tests/support/Recserver.h"
#include "tests/support/SystemTest.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestSupport.h"

namespace logrum::archive {
namespace {

namespace fs = std::filesystem;

using logrum::testing::kLogrum2Key;
using logrum::testing::RecserverOptions;
using logrum::testing::RecserverProcess;

// recserver with its state folder and virtual devices.
RecserverOptions Station(const std::string& home, const std::string& devices) {
  return {home, devices, {}};
}

class RecserverTest : public logrum::testing::RecserverFixture<> {
 protected:
  std::string AddArchive(const std::string& name, int auto_start) {
    std::string key = std::string(kLogrum2Key) + "\\Archives\\" + name;
    std::string folder = root_ + "/" + name;
    fs::create_directories(folder);
    PutString(key, "ArchivePath", folder);
    PutString(key, "LogPath", folder);
    PutString(key, "SourceName", "Studio");
    PutInt(key, "SegmentSizeMinutes", 1);
    PutInt(key, "AutoStart", static_cast<uint32_t>(auto_start));
    return folder;
  }
  // Every segment file has its trailer and its row in the database, with the
  // same duration.
  void ExpectFinishedAndIndexed(const std::string& folder) {
    std::vector<std::string> files = logrum::testing::SegmentFiles(folder);
    ASSERT_FALSE(files.empty()) << folder;
    std::vector<uint32_t> durations;
    for (const std::string& file : files) {
      CArchiveFileRead reader(folder, ".mp3");
      const auto read = reader.ReadInfo(file);
      ASSERT_TRUE(read.ok()) << file << ": " << read.message();
      EXPECT_GT(reader.GetDurationMs(), 0u) << file;
      durations.push_back(reader.GetDurationMs());
    }
    AudioDatabaseSql db;
    ASSERT_TRUE(db.Open(folder).ok());
    CZoneTime from, to;
    const int year = CZoneTime::Now().GetYear();
    ASSERT_TRUE(from.Set(year - 1, 1, 1, 0, 0, 0, 0));
    ASSERT_TRUE(to.Set(year + 1, 12, 31, 0, 0, 0, 0));
    std::vector<uint32_t> rows;
    const platform::Status index = db.GetIndex(
        from, to,
        [](const CZoneTime&, uint32_t duration, bool, void* context) {
          static_cast<std::vector<uint32_t>*>(context)->push_back(duration);
          return true;
        },
        &rows);
    ASSERT_TRUE(index.ok()) << index.message();
    db.Close();
    std::sort(durations.begin(), durations.end());
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, durations) << folder;
  }
};

class StopSignalTest : public RecserverTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, SecondInstanceExitsAndTheSignalFinishesEverySegment) {
  std::string news = AddArchive("News", 1);
  std::string music = AddArchive("Music", 1);
  AddArchive("Idle", 0);
  store_.reset();  // the program opens the store itself

  RecserverProcess server(Station(home_, "Tone=tone:440,660"));
  ASSERT_TRUE(server.WaitForLine("archive Music: Active")) << server.Text();
  ASSERT_TRUE(server.WaitForLine("archive News: Active")) << server.Text();
  // Auto-start goes in list order (names ascending, without regard to case).
  EXPECT_LT(server.Line("archive Music:"), server.Line("archive News:"));
  EXPECT_LT(server.Line("2 to start"), server.Line("archive Music:"));
  EXPECT_EQ(server.Line("archive Idle"), -1);
  EXPECT_LT(server.Line("listening for clients on port " + std::to_string(port_)),
            server.Line("archive Music:"));

  // A second copy reports the running one and leaves it alone.
  RecserverProcess second(Station(home_, "Tone=tone:440,660"));
  EXPECT_EQ(second.Wait(), 0);
  EXPECT_NE(second.Line("Another instance is already running!"), -1) << second.Text();
  EXPECT_NE(second.Line("running instance: process " + std::to_string(server.pid())), -1)
      << second.Text();
  EXPECT_EQ(second.Line("Shutting down"), -1);

  // Audio has reached both archives' segment files before the stop.
  auto recorded = [&](const std::string& folder) {
    std::error_code ec;
    for (const std::string& file : logrum::testing::SegmentFiles(folder)) {
      if (fs::file_size(file, ec) > 8192 && !ec) return true;
    }
    return false;
  };
  ASSERT_TRUE(logrum::testing::Eventually([&] { return recorded(news) && recorded(music); },
                                          std::chrono::seconds(30)));

  server.Signal(GetParam());
  EXPECT_EQ(server.Wait(), 0) << server.Text();
  EXPECT_NE(server.Line("stopping every archive"), -1);
  EXPECT_LT(server.Line("stopping every archive"),
            server.Line("Shutting down Logrum server. Please wait..."));
  EXPECT_NE(server.Line("stopped"), -1) << server.Text();
  ExpectFinishedAndIndexed(news);
  ExpectFinishedAndIndexed(music);

  // The lock went with the program: the next start runs.
  RecserverProcess again(Station(home_, "Tone=tone:440,660"));
  ASSERT_TRUE(again.WaitForLine("archive Music: Active")) << again.Text();
  again.Signal(SIGTERM);
  EXPECT_EQ(again.Wait(), 0);
}

// Sixteen archives at 128 kbit/s stereo on a clock twenty times faster than
// real time: far more than the machine encodes. The encoders drop audio and
// every archive logs how much; memory stays bounded instead of growing with
// the backlog; and SIGTERM still stops everything quickly (each archive's
// close gives up what it cannot write in its drain time) with every segment
// finished and indexed.
TEST_F(RecserverTest, OverloadDropsWithALogKeepsMemoryBoundedAndStopsOnSigterm) {
  constexpr int kArchives = 16;
  std::vector<std::string> folders;
  std::string devices;
  for (int i = 0; i < kArchives; ++i) {
    const std::string n = std::to_string(i);
    devices += "T" + n + "=tone:" + std::to_string(300 + 37 * i) + "," +
               std::to_string(500 + 41 * i) + ";";
    PutString(std::string(kLogrum2Key) + "\\AudioDevices2", "S" + n, "3T" + n);
    const std::string name = std::string(i < 10 ? "A0" : "A") + n;
    folders.push_back(AddArchive(name, 1));
    const std::string key = std::string(kLogrum2Key) + "\\Archives\\" + name;
    PutString(key, "SourceName", "S" + n);
    for (const char* prefix : {"On", "Off"}) {
      PutInt(key, std::string(prefix) + "BitrateK", 128);
      PutInt(key, std::string(prefix) + "SampleRate", 44100);
      PutInt(key, std::string(prefix) + "Channels", 2);
    }
  }
  store_.reset();

  RecserverProcess server({home_, devices, {"LOGRUM2_CLOCK=speed=20"}});
  ASSERT_TRUE(server.WaitForLine("archive A15: Active")) << server.Text();
  auto resident_mb = [&] {
    return static_cast<double>(logrum::testing::ResidentKiB(server.pid())) / 1024;
  };
  // Every archive logs the audio its encoder could not take, with its length.
  auto dropped_in = [](const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      if (entry.path().extension() != ".log") continue;
      std::ifstream in(entry.path());
      std::stringstream text;
      text << in.rdbuf();
      if (text.str().find(" ms of audio dropped") != std::string::npos) return true;
    }
    return false;
  };
  auto all_dropped = [&] {
    for (const std::string& folder : folders) {
      if (!dropped_in(folder)) return false;
    }
    return true;
  };
  // Memory while overloaded: sampled for a while once every archive drops.
  double peak_mb = 0;
  auto deadline = std::chrono::steady_clock::now() + RecserverProcess::kPatience;
  while (!all_dropped() && std::chrono::steady_clock::now() < deadline) {
    peak_mb = std::max(peak_mb, resident_mb());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_TRUE(all_dropped()) << server.Text();
  double early_mb = 0, late_mb = 0;
  for (int i = 0; i < 60; ++i) {  // 12 s: four minutes of audio on this clock
    const double mb = resident_mb();
    peak_mb = std::max(peak_mb, mb);
    if (i < 10) early_mb = std::max(early_mb, mb);
    if (i >= 50) late_mb = std::max(late_mb, mb);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  // Bounded: each archive's queues and backlog have fixed limits (about 12 MB
  // together), and once full the memory stops growing.
  EXPECT_LT(peak_mb, 1024.0);
  EXPECT_LT(late_mb, early_mb + 96.0) << "early " << early_mb << " MB, late " << late_mb << " MB";

  const auto signalled = std::chrono::steady_clock::now();
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0) << server.Text();
  const double stop_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
  RecordProperty("sigterm_to_exit_s", std::to_string(stop_s));
  RecordProperty("peak_rss_mb", std::to_string(peak_mb));
  std::printf("SIGTERM to exit: %.1f s; resident memory: peak %.0f MB, %.0f MB early, %.0f MB late\n",
              stop_s, peak_mb, early_mb, late_mb);
  EXPECT_NE(server.Line("stopped"), -1) << server.Text();
  for (const std::string& folder : folders) ExpectFinishedAndIndexed(folder);
}

TEST_F(RecserverTest, PortInUseIsReportedAndEndsTheProgramWithoutRecording) {
  std::string news = AddArchive("News", 1);
  store_.reset();
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);

  RecserverProcess server(Station(home_, "Tone=tone:440"));
  EXPECT_EQ(server.Wait(), 1);
  ::close(holder);
  int failed = server.Line("Unable to open server!");
  EXPECT_NE(failed, -1) << server.Text();
  // The reason as the network server found it, not a guess.
  EXPECT_NE(server.Text().find("cannot listen on port " + std::to_string(port_) +
                               ": Address already in use"),
            std::string::npos)
      << server.Text();
  EXPECT_LT(failed, server.Line("Shutting down Logrum server. Please wait..."));
  EXPECT_EQ(server.Line("archive News"), -1);
  EXPECT_TRUE(logrum::testing::SegmentFiles(news).empty());
}

TEST_F(RecserverTest, MissingArchiveServiceIsReportedAndEndsTheProgram) {
  AddArchive("News", 1);
  store_.reset();
  // A copy of the program with no library folder beside it.
  fs::create_directories(root_ + "/bin");
  std::string copy = root_ + "/bin/recserver";
  fs::copy_file(logrum::testing::RecserverPath(), copy);
  RecserverOptions options = Station(home_, "Tone=tone:440");
  options.program = copy;

  RecserverProcess server(options);
  EXPECT_EQ(server.Wait(), 1);
  int failed = server.Line("Unable to get server instance!");
  EXPECT_NE(failed, -1) << server.Text();
  EXPECT_LT(failed, server.Line("Shutting down Logrum server. Please wait..."));
  EXPECT_NE(server.Line("archsvc.so"), -1) << server.Text();  // says where it looked
}

// What the platform layer finds wrong in the environment reaches the engineer among
// the program's own messages, whether the program itself or a library it loaded
// (the capture library, for the device entry) found it.
TEST_F(RecserverTest, EnvironmentFaultsAreReportedAmongTheProgramsMessages) {
  store_.reset();
  RecserverOptions options = Station(home_, "Tone=tone:440;Broken=nonsense");
  options.environment = {"LOGRUM2_CLOCK=garbage"};
  RecserverProcess server(options);
  EXPECT_TRUE(server.WaitForLine("recserver: ignoring LOGRUM2_CLOCK=\"garbage\"")) << server.Text();
  EXPECT_TRUE(server.WaitForLine("recserver: LOGRUM2_VIRTUAL_DEVICES: virtual device \"Broken\""))
      << server.Text();
  // Stopped once it is up, so that the signal meets its handler.
  ASSERT_TRUE(server.WaitForLine("recserver: state folder")) << server.Text();
  EXPECT_EQ(server.Stop(), 0);
}

// The archive service has no log of its own: a refused client must still
// reach the station's journal, through the program's messages.
TEST_F(RecserverTest, RefusedClientsAreReportedAmongTheProgramsMessages) {
  PutInt(std::string(kLogrum2Key) + "\\Server", "MaxConnectionsPerAddress", 1);
  store_.reset();
  RecserverProcess server(Station(home_, "Tone=tone:440"));
  ASSERT_TRUE(server.WaitForLine("recserver: state folder")) << server.Text();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto connect_one = [&] {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  };
  // The port opens a moment after the state folder line.
  int first = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((first = connect_one()) < 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_GE(first, 0) << server.Text();
  const int second = connect_one();
  EXPECT_TRUE(server.WaitForLine("recserver: WARNING: Connection from 127.0.0.1")) << server.Text();
  EXPECT_NE(server.Text().find("refused"), std::string::npos) << server.Text();
  if (second >= 0) ::close(second);
  ::close(first);
  EXPECT_EQ(server.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGTERM ? "Sigterm" : "Sigint");
                         });

}  // namespace
}  // namespace logrum::archive
