// The service manager's notification protocol against a socket of the test's
// own standing in for the service manager: path and abstract addresses, the
// environment that turns it on, and a watchdog ping that comes only from a
// UI loop that is running.
#include "App/Server/ServiceNotifier.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "App/Server/AppLoop.h"
#include "Lib/Platform/Clock.h"
#include "tests/support/TempDir.h"

namespace logrum::server {
namespace {

// A datagram socket bound where $NOTIFY_SOCKET will point.
class FakeServiceManager {
 public:
  // `address`: a path, or an abstract name with a leading '@'.
  explicit FakeServiceManager(const std::string& address) : address_(address) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::memcpy(sun.sun_path, address.data(), address.size());
    if (address[0] == '@') sun.sun_path[0] = '\0';
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() +
                                              (address[0] == '@' ? 0 : 1));
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&sun), length) == 0;
  }
  ~FakeServiceManager() { ::close(fd_); }
  bool bound() const { return bound_; }

  // The next message; waits for it.
  std::string Receive() { return ReceiveWith(0); }
  // The next message if one is queued now, else "".
  std::string Pending() { return ReceiveWith(MSG_DONTWAIT); }

 private:
  std::string ReceiveWith(int flags) {
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, flags);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }

  std::string address_;
  int fd_ = -1;
  bool bound_ = false;
};

// Sets environment variables for one test and puts the old values back.
class ScopedEnv {
 public:
  void Set(const char* name, const std::string& value) {
    Remember(name);
    ::setenv(name, value.c_str(), 1);
  }
  void Unset(const char* name) {
    Remember(name);
    ::unsetenv(name);
  }
  ~ScopedEnv() {
    for (auto& [name, value, had] : saved_) {
      if (had) {
        ::setenv(name.c_str(), value.c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

 private:
  void Remember(const char* name) {
    const char* old = std::getenv(name);
    saved_.push_back({name, old != nullptr ? old : "", old != nullptr});
  }
  struct Saved {
    std::string name, value;
    bool had;
  };
  std::vector<Saved> saved_;
};

TEST(ServiceNotifierTest, SendsToPathAndAbstractSockets) {
  testing::TempDir dir("notify");
  const std::string abstract = "@logrum2-notify-test-" + std::to_string(::getpid());
  for (const std::string& address : {dir.Sub("notify.sock"), abstract}) {
    SCOPED_TRACE(address);
    FakeServiceManager manager(address);
    ASSERT_TRUE(manager.bound());
    ServiceNotifier notifier(address, 0);
    platform::Status sent = notifier.Notify("READY=1\nSTATUS=listening");
    ASSERT_TRUE(sent.ok()) << sent.message();
    EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=listening");
  }
}

TEST(ServiceNotifierTest, FailuresNameTheSocket) {
  testing::TempDir dir("notify");
  struct Case {
    std::string socket;
    std::string says;
  } cases[] = {
      {dir.Sub("nobody-listens.sock"), "nobody-listens.sock: No such file or directory"},
      {"relative.sock", "not a socket path"},
      {"/" + std::string(200, 'x'), "path too long"},
  };
  for (const Case& c : cases) {
    platform::Status sent = ServiceNotifier(c.socket, 0).Notify("READY=1");
    EXPECT_FALSE(sent.ok()) << c.socket;
    EXPECT_NE(sent.message().find(c.says), std::string::npos) << sent.message();
  }
}

TEST(ServiceNotifierTest, EnvironmentTurnsNotificationAndWatchdogOn) {
  const std::string self = std::to_string(::getpid());
  struct Case {
    const char* socket;
    const char* usec;
    std::string pid;
    bool enabled;
    uint64_t watchdog_usec;
  } cases[] = {
      {nullptr, "20000000", self, false, 0},          // not under a service manager
      {"@sock", nullptr, "", true, 0},                // no watchdog; "" = WATCHDOG_PID unset
      {"@sock", "20000000", "", true, 20'000'000},    // no WATCHDOG_PID: ours
      {"@sock", "20000000", self, true, 20'000'000},  // for this process
      {"@sock", "20000000", "1", true, 0},            // meant for another process
      {"@sock", "twenty", "", true, 0},               // not a number
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.socket ? c.socket : "-") + " " + (c.usec ? c.usec : "-") + " " +
                 c.pid);
    ScopedEnv env;
    if (c.socket != nullptr) {
      env.Set("NOTIFY_SOCKET", c.socket);
    } else {
      env.Unset("NOTIFY_SOCKET");
    }
    if (c.usec != nullptr) {
      env.Set("WATCHDOG_USEC", c.usec);
    } else {
      env.Unset("WATCHDOG_USEC");
    }
    if (!c.pid.empty()) {
      env.Set("WATCHDOG_PID", c.pid);
    } else {
      env.Unset("WATCHDOG_PID");
    }
    ServiceNotifier notifier = ServiceNotifier::FromEnvironment();
    EXPECT_EQ(notifier.enabled(), c.enabled);
    EXPECT_EQ(notifier.watchdog_usec(), c.watchdog_usec);
    EXPECT_EQ(notifier.watchdog_ping_ms(), static_cast<int>(c.watchdog_usec / 2000));
    // Off means silent success: a server started by hand runs as before.
    if (!c.enabled) {
      EXPECT_TRUE(notifier.Notify("READY=1").ok());
    }
  }
}

// The ping runs on the UI loop's thread: while a task holds that thread, no
// ping goes out however much time passes, and afterwards one ping (not a
// burst) resumes them.
TEST(ServiceNotifierTest, WatchdogPingsStopWhileTheUiLoopIsStuck) {
  testing::TempDir dir("notify");
  FakeServiceManager manager(dir.Sub("notify.sock"));
  ASSERT_TRUE(manager.bound());
  ServiceNotifier notifier(dir.Sub("notify.sock"), 2'000'000);  // WatchdogSec=2
  ASSERT_EQ(notifier.watchdog_ping_ms(), 1000);

  platform::ManualClock clock(1'700'000'000'000'000, 1000);
  AppLoop loop(&clock);
  StartWatchdogTimer(&loop, &notifier);
  EXPECT_EQ(manager.Pending(), "WATCHDOG=1");  // at once, then on the timer
  EXPECT_TRUE(loop.HasTimer(kWatchdogTimer));
  clock.AdvanceUs(999'000);
  loop.RunPending();
  EXPECT_EQ(manager.Pending(), "");
  clock.AdvanceUs(1'000);
  loop.RunPending();
  EXPECT_EQ(manager.Pending(), "WATCHDOG=1");

  // A task that hangs the UI thread until the test lets it go.
  std::mutex mu;
  std::condition_variable changed;
  bool entered = false, released = false;
  loop.Post([&] {
    std::unique_lock lock(mu);
    entered = true;
    changed.notify_all();
    changed.wait(lock, [&] { return released; });
  });
  std::thread ui([&] { loop.RunPending(); });
  {
    std::unique_lock lock(mu);
    changed.wait(lock, [&] { return entered; });
  }
  clock.AdvanceUs(5'000'000);  // far past the service manager's patience
  EXPECT_EQ(manager.Pending(), "");
  {
    std::lock_guard lock(mu);
    released = true;
  }
  changed.notify_all();
  ui.join();
  EXPECT_EQ(manager.Receive(), "WATCHDOG=1");
  EXPECT_EQ(manager.Pending(), "");
}

TEST(ServiceNotifierTest, NoWatchdogNoTimer) {
  platform::ManualClock clock(1'700'000'000'000'000, 1000);
  AppLoop loop(&clock);
  ServiceNotifier without_watchdog("@logrum2-unused", 0);
  StartWatchdogTimer(&loop, &without_watchdog);
  ServiceNotifier off;
  StartWatchdogTimer(&loop, &off);
  EXPECT_FALSE(loop.HasTimer(kWatchdogTimer));
}

}  // namespace
}  // namespace logrum::server
