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
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Platform/DynamicLibrary.h"
#include "Lib/Platform/Registry.h"
#include "tests/support/TestSupport.h"

namespace logrum::archive {
namespace {

namespace fs = std::filesystem;
using platform::RegRoot;

const int kAnchor = 0;
constexpr char kLogrum2[] = "Software\\Norvane Systems\\Logrum2";
// Upper bound for events that come within a second or two; only a broken
// program waits this long.
constexpr auto kPatience = std::chrono::seconds(30);

std::string ProgramPath() {
  return platform::CodeFolder(&kAnchor) + "/../bin/recserver";
}

int FreePort() { return logrum::testing::FreeLoopbackPort(); }

// One run of the program with its standard error collected line by line.
class Program {
 public:
  Program(const std::string& home, const std::string& devices,
          const std::string& program_path = ProgramPath(), const std::string& clock = {}) {
    int pipe_fds[2];
    EXPECT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(pipe_fds[1], 2);
      ::setenv("LOGRUM2_HOME", home.c_str(), 1);
      ::setenv("LOGRUM2_VIRTUAL_DEVICES", devices.c_str(), 1);
      if (!clock.empty()) ::setenv("LOGRUM2_CLOCK", clock.c_str(), 1);
      ::unsetenv("JOURNAL_STREAM");
      const std::string& program = program_path;
      ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(pipe_fds[1]);
    reader_ = std::thread([this, fd = pipe_fds[0]] {
      std::string partial;
      char buffer[512];
      for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        partial.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = partial.find('\n')) != std::string::npos) {
          std::lock_guard lock(mu_);
          lines_.push_back(partial.substr(0, end));
          partial.erase(0, end + 1);
          changed_.notify_all();
        }
      }
      ::close(fd);
      std::lock_guard lock(mu_);
      ended_ = true;
      changed_.notify_all();
    });
  }
  ~Program() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (reader_.joinable()) reader_.join();
  }

  // True once a line containing `text` has been written.
  bool WaitForLine(const std::string& text) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, kPatience, [&] { return Find(text) >= 0 || ended_; }) &&
           Find(text) >= 0;
  }
  int Find(const std::string& text) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (lines_[i].find(text) != std::string::npos) return static_cast<int>(i);
    }
    return -1;
  }
  int Line(const std::string& text) {
    std::lock_guard lock(mu_);
    return Find(text);
  }
  std::string Text() {
    std::lock_guard lock(mu_);
    std::string text;
    for (const std::string& line : lines_) text += line + "\n";
    return text;
  }
  void Signal(int number) { ::kill(pid_, number); }
  // The exit status (-1 when the program did not end normally).
  int Wait() {
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (reader_.joinable()) reader_.join();
    return status_;
  }
  pid_t pid() const { return pid_; }
  // Resident memory of the running program, MB (0 once it has ended).
  double ResidentMb() const {
    FILE* file = std::fopen(("/proc/" + std::to_string(pid_) + "/status").c_str(), "r");
    if (file == nullptr) return 0;
    char line[256];
    double mb = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
      if (std::strncmp(line, "VmRSS:", 6) == 0) mb = std::atof(line + 6) / 1024;
    }
    std::fclose(file);
    return mb;
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool ended_ = false;
};

class RecserverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/logrum-recserver-XXXXXX";
    root_ = ::mkdtemp(pattern);
    home_ = root_ + "/state";
    fs::create_directories(home_);
    ASSERT_TRUE(platform::Registry::Open(home_ + "/registry.db3", &store_).ok());
    port_ = FreePort();
    PutInt(std::string(kLogrum2) + "\\Server", "ServerPort", static_cast<uint32_t>(port_));
    PutString(std::string(kLogrum2) + "\\AudioDevices2", "Studio", "3Tone");
  }
  void TearDown() override {
    store_.reset();
    fs::remove_all(root_);
  }

  void Put(const std::string& key, const std::string& name, uint32_t type, const std::string& data) {
    ASSERT_TRUE(store_->CreateKey(RegRoot::kLocalMachine, key, "cls?").ok());
    ASSERT_TRUE(store_->SetValue(RegRoot::kLocalMachine, key, name, type, data).ok());
  }
  void PutInt(const std::string& key, const std::string& name, uint32_t v) {
    Put(key, name, platform::kRegDword,
        std::string{static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                    static_cast<char>((v >> 16) & 0xff), static_cast<char>(v >> 24)});
  }
  void PutString(const std::string& key, const std::string& name, const std::string& text) {
    Put(key, name, platform::kRegString, text + std::string(1, '\0'));
  }
  std::string AddArchive(const std::string& name, int auto_start) {
    std::string key = std::string(kLogrum2) + "\\Archives\\" + name;
    std::string folder = root_ + "/" + name;
    fs::create_directories(folder);
    PutString(key, "ArchivePath", folder);
    PutString(key, "LogPath", folder);
    PutString(key, "SourceName", "Studio");
    PutInt(key, "SegmentSizeMinutes", 1);
    PutInt(key, "AutoStart", static_cast<uint32_t>(auto_start));
    return folder;
  }
  std::vector<std::string> Segments(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->path().extension() == ".mp3") files.push_back(it->path().string());
    }
    return files;
  }
  // Every segment file has its trailer and its row in the database, with the
  // same duration.
  void ExpectFinishedAndIndexed(const std::string& folder) {
    std::vector<std::string> files = Segments(folder);
    ASSERT_FALSE(files.empty()) << folder;
    std::vector<uint32_t> durations;
    for (const std::string& file : files) {
      CArchiveFileRead reader(folder, ".mp3");
      ASSERT_TRUE(reader.ReadInfo(file)) << file << ": " << reader.LastError();
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

  int port_ = 0;
  std::string root_;
  std::string home_;
  std::unique_ptr<platform::Registry> store_;
};

class StopSignalTest : public RecserverTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, SecondInstanceExitsAndTheSignalFinishesEverySegment) {
  std::string news = AddArchive("News", 1);
  std::string music = AddArchive("Music", 1);
  AddArchive("Idle", 0);
  store_.reset();  // the program opens the store itself

  Program server(home_, "Tone=tone:440,660");
  ASSERT_TRUE(server.WaitForLine("archive Music: Active")) << server.Text();
  ASSERT_TRUE(server.WaitForLine("archive News: Active")) << server.Text();
  // Auto-start goes in list order (names ascending, without regard to case).
  EXPECT_LT(server.Line("archive Music:"), server.Line("archive News:"));
  EXPECT_LT(server.Line("2 to start"), server.Line("archive Music:"));
  EXPECT_EQ(server.Line("archive Idle"), -1);
  EXPECT_LT(server.Line("listening for clients on port " + std::to_string(port_)),
            server.Line("archive Music:"));

  // A second copy reports the running one and leaves it alone.
  Program second(home_, "Tone=tone:440,660");
  EXPECT_EQ(second.Wait(), 0);
  EXPECT_NE(second.Line("Another instance is already running!"), -1) << second.Text();
  EXPECT_NE(second.Line("running instance: process " + std::to_string(server.pid())), -1)
      << second.Text();
  EXPECT_EQ(second.Line("Shutting down"), -1);

  // Audio has reached both archives' segment files before the stop.
  auto recorded = [&](const std::string& folder) {
    std::error_code ec;
    for (const std::string& file : Segments(folder)) {
      if (fs::file_size(file, ec) > 8192 && !ec) return true;
    }
    return false;
  };
  auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!(recorded(news) && recorded(music)) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(recorded(news) && recorded(music));

  server.Signal(GetParam());
  EXPECT_EQ(server.Wait(), 0) << server.Text();
  EXPECT_NE(server.Line("stopping every archive"), -1);
  EXPECT_LT(server.Line("stopping every archive"),
            server.Line("Shutting down Logrum server. Please wait..."));
  EXPECT_NE(server.Line("stopped"), -1) << server.Text();
  ExpectFinishedAndIndexed(news);
  ExpectFinishedAndIndexed(music);

  // The lock went with the program: the next start runs.
  Program again(home_, "Tone=tone:440,660");
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
    devices += "T" + n + "=tone:" + std::to_string(300 + 37 * i) + "," + std::to_string(500 + 41 * i) + ";";
    PutString(std::string(kLogrum2) + "\\AudioDevices2", "S" + n, "3T" + n);
    const std::string name = std::string(i < 10 ? "A0" : "A") + n;
    folders.push_back(AddArchive(name, 1));
    const std::string key = std::string(kLogrum2) + "\\Archives\\" + name;
    PutString(key, "SourceName", "S" + n);
    for (const char* prefix : {"On", "Off"}) {
      PutInt(key, std::string(prefix) + "BitrateK", 128);
      PutInt(key, std::string(prefix) + "SampleRate", 44100);
      PutInt(key, std::string(prefix) + "Channels", 2);
    }
  }
  store_.reset();

  Program server(home_, devices, ProgramPath(), "speed=20");
  ASSERT_TRUE(server.WaitForLine("archive A15: Active")) << server.Text();
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
  auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!all_dropped() && std::chrono::steady_clock::now() < deadline) {
    peak_mb = std::max(peak_mb, server.ResidentMb());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_TRUE(all_dropped()) << server.Text();
  double early_mb = 0, late_mb = 0;
  for (int i = 0; i < 60; ++i) {  // 12 s: four minutes of audio on this clock
    const double mb = server.ResidentMb();
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

  Program server(home_, "Tone=tone:440");
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
  EXPECT_TRUE(Segments(news).empty());
}

TEST_F(RecserverTest, MissingArchiveServiceIsReportedAndEndsTheProgram) {
  AddArchive("News", 1);
  store_.reset();
  // A copy of the program with no library folder beside it.
  fs::create_directories(root_ + "/bin");
  std::string copy = root_ + "/bin/recserver";
  fs::copy_file(ProgramPath(), copy);

  Program server(home_, "Tone=tone:440", copy);
  EXPECT_EQ(server.Wait(), 1);
  int failed = server.Line("Unable to get server instance!");
  EXPECT_NE(failed, -1) << server.Text();
  EXPECT_LT(failed, server.Line("Shutting down Logrum server. Please wait..."));
  EXPECT_NE(server.Line("archsvc.so"), -1) << server.Text();  // says where it looked
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGTERM ? "Sigterm" : "Sigint");
                         });

}  // namespace
}  // namespace logrum::archive
