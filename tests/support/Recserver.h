// recserver as a station runs it, for the whole-system tests: a child process
// with its own state folder and virtual devices, its standard error read line
// by line, and the registry values the tests give it before it starts.
// Header-only; the test links logrum_platform (the registry) and Threads.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Lib/Platform/Registry.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestSupport.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::testing {

inline constexpr char kLogrum2Key[] = "Software\\Norvane Systems\\Logrum2";

// The recserver of this build.
inline std::string RecserverPath() {
  return std::string(LOGRUM2_BUILD_DIR) + "/bin/recserver";
}

// A value in the local-machine root of `store`, its key created as the
// server's dialogs create it.
inline void PutValue(platform::Registry& store, const std::string& key, const std::string& name,
                     uint32_t type, const std::string& data) {
  ASSERT_TRUE(store.CreateKey(platform::RegRoot::kLocalMachine, key, "cls?").ok());
  ASSERT_TRUE(store.SetValue(platform::RegRoot::kLocalMachine, key, name, type, data).ok());
}
inline void PutDword(platform::Registry& store, const std::string& key, const std::string& name,
                     uint32_t v) {
  PutValue(store, key, name, platform::kRegDword,
           std::string{static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff),
                       static_cast<char>((v >> 16) & 0xff), static_cast<char>(v >> 24)});
}
inline void PutString(platform::Registry& store, const std::string& key, const std::string& name,
                      const std::string& text) {
  PutValue(store, key, name, platform::kRegString, text + std::string(1, '\0'));
}

struct RecserverOptions {
  std::string home;     // LOGRUM2_HOME: the state folder
  std::string devices;  // LOGRUM2_VIRTUAL_DEVICES
  // More NAME=VALUE settings (LOGRUM2_CLOCK, TZ, ...); the rest is inherited,
  // except JOURNAL_STREAM, so that lines read "recserver: text".
  std::vector<std::string> environment;
  std::string program = RecserverPath();
};

// One run of the program. Killed, if it still runs, when the object goes.
class RecserverProcess {
 public:
  // Only a broken program makes a test wait this long for a line.
  static constexpr auto kPatience = std::chrono::seconds(60);

  explicit RecserverProcess(const RecserverOptions& options) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 2);
      ::setenv("LOGRUM2_HOME", options.home.c_str(), 1);
      ::setenv("LOGRUM2_VIRTUAL_DEVICES", options.devices.c_str(), 1);
      for (const std::string& setting : options.environment) {
        const size_t equals = setting.find('=');
        ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
      }
      ::unsetenv("JOURNAL_STREAM");
      ::execl(options.program.c_str(), options.program.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] { ReadLines(fd); });
  }
  ~RecserverProcess() {
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (reader_.joinable()) reader_.join();
  }
  RecserverProcess(const RecserverProcess&) = delete;
  RecserverProcess& operator=(const RecserverProcess&) = delete;

  // True once a line containing `text` has been written.
  bool WaitForLine(const std::string& text) {
    kit::UniqueLock lock(mu_);
    return changed_.wait_for(lock.native(), kPatience, [&]() REQUIRES(mu_) { return Find(text) >= 0 || ended_; }) &&
           Find(text) >= 0;
  }
  // The index of the first line containing `text`, -1 when none has come.
  int Line(const std::string& text) {
    kit::MutexLock lock(mu_);
    return Find(text);
  }
  // Everything written so far, a line each.
  std::string Text() {
    kit::MutexLock lock(mu_);
    std::string text;
    for (const std::string& line : lines_) text += line + "\n";
    return text;
  }
  void Signal(int number) { ::kill(pid_, number); }
  // The exit status; -1 for a program ended by a signal.
  int Wait() {
    int status = 0;
    const bool reaped = ::waitpid(pid_, &status, 0) == pid_;
    waited_ = true;
    if (reader_.joinable()) reader_.join();
    return reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // SIGTERM, as the service manager stops it; the exit status.
  int Stop() {
    Signal(SIGTERM);
    return Wait();
  }
  pid_t pid() const { return pid_; }

 private:
  void ReadLines(int fd) {
    std::string partial;
    char buffer[512];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      partial.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1)) {
        kit::MutexLock lock(mu_);
        lines_.push_back(partial.substr(0, end));
        changed_.notify_all();
      }
    }
    ::close(fd);
    kit::MutexLock lock(mu_);
    ended_ = true;
    changed_.notify_all();
  }
  int Find(const std::string& text) const REQUIRES(mu_) {
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (lines_[i].find(text) != std::string::npos) return static_cast<int>(i);
    }
    return -1;
  }

  pid_t pid_ = -1;
  bool waited_ = false;
  std::thread reader_;
  kit::Mutex mu_;
  std::condition_variable changed_;
  std::vector<std::string> lines_ GUARDED_BY(mu_);
  bool ended_ GUARDED_BY(mu_) = false;
};

// A state folder for recserver in a temporary folder: its registry open for
// the test to fill in, a free server port, and the audio device "Studio" on
// the virtual capture device "Tone". The test closes the registry (store_)
// before the program starts, as the program opens it itself.
template <typename TestBase = ::testing::Test>
class RecserverFixture : public TestBase {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(home_);
    ASSERT_TRUE(platform::Registry::Open(home_ + "/registry.db3", &store_).ok());
    port_ = FreeLoopbackPort();
    PutInt(std::string(kLogrum2Key) + "\\Server", "ServerPort", port_);
    PutString(std::string(kLogrum2Key) + "\\AudioDevices2", "Studio", "3Tone");
  }
  void TearDown() override { store_.reset(); }

  void PutInt(const std::string& key, const std::string& name, uint32_t v) {
    PutDword(*store_, key, name, v);
  }
  void PutString(const std::string& key, const std::string& name, const std::string& text) {
    logrum::testing::PutString(*store_, key, name, text);
  }

  TempDir temp_{"recserver"};
  const std::string root_ = temp_.path();
  const std::string home_ = root_ + "/state";
  uint16_t port_ = 0;
  std::unique_ptr<platform::Registry> store_;
};

}  // namespace logrum::testing
