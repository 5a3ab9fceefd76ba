#include "App/Server/ServiceNotifier.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "App/Server/AppLoop.h"
#include "Lib/Platform/UniqueFd.h"

namespace logrum::server {
namespace {

// A whole unsigned decimal number, or false.
bool ParseNumber(const char* text, uint64_t* value) {
  if (text == nullptr || *text == '\0') return false;
  const char* end = text + std::strlen(text);
  auto [rest, ec] = std::from_chars(text, end, *value);
  return ec == std::errc() && rest == end;
}

}  // namespace

ServiceNotifier ServiceNotifier::FromEnvironment() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket == nullptr || *socket == '\0') return {};
  uint64_t usec = 0;
  if (!ParseNumber(std::getenv("WATCHDOG_USEC"), &usec)) usec = 0;
  // The variables are inherited by children; the watchdog is meant for the
  // process the service manager started.
  uint64_t pid = 0;
  const char* pid_text = std::getenv("WATCHDOG_PID");
  if (pid_text != nullptr &&
      (!ParseNumber(pid_text, &pid) || pid != static_cast<uint64_t>(::getpid()))) {
    usec = 0;
  }
  return ServiceNotifier(socket, usec);
}

int ServiceNotifier::watchdog_ping_ms() const {
  uint64_t usec = watchdog_usec();
  if (usec == 0) return 0;
  uint64_t ms = usec / 2000;
  if (ms < 1) ms = 1;
  if (ms > 3600 * 1000) ms = 3600 * 1000;
  return static_cast<int>(ms);
}

platform::Status ServiceNotifier::Notify(std::string_view state) const {
  if (!enabled()) return platform::Status::Ok();
  auto fail = [&](const std::string& why, platform::Status::Code code) {
    return platform::Status::Error(code,
                                   "cannot notify the service manager at " + socket_ + ": " + why);
  };
  auto fail_errno = [&](int error) {
    return fail(std::strerror(error), platform::CodeOfErrno(error));
  };
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_[0] != '/' && socket_[0] != '@') {
    return fail("not a socket path", platform::Status::kInvalidArgument);
  }
  if (socket_.size() > sizeof address.sun_path) {
    return fail("path too long", platform::Status::kInvalidArgument);
  }
  std::memcpy(address.sun_path, socket_.data(), socket_.size());
  // An abstract name has no terminating zero: its length is the address's.
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_.size());
  if (socket_[0] == '@') {
    address.sun_path[0] = '\0';
  } else if (socket_.size() < sizeof address.sun_path) {
    ++length;
  }

  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fail_errno(errno);
  ssize_t sent;
  do {
    sent = ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), length);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return fail_errno(errno);
  if (static_cast<size_t>(sent) != state.size()) {
    return fail("message cut short", platform::Status::kIoError);
  }
  return platform::Status::Ok();
}

void StartWatchdogTimer(AppLoop* loop, const ServiceNotifier* notifier) {
  int period_ms = notifier->watchdog_ping_ms();
  if (period_ms == 0) return;
  // A lost ping is not reported: the next one follows within half the
  // period, and if the socket stays unreachable the service manager's own
  // watchdog is what acts on it.
  (void)notifier->Notify("WATCHDOG=1");
  loop->SetTimer(kWatchdogTimer, period_ms, [notifier] { (void)notifier->Notify("WATCHDOG=1"); });
}

}  // namespace logrum::server
