// Telling the service manager how the server is doing: readiness, the
// watchdog ping and the orderly stop, in systemd's notification protocol.
//
// The protocol is one datagram per message on the AF_UNIX socket named by
// $NOTIFY_SOCKET (a path, or an abstract name written with a leading '@'),
// holding newline-separated "KEY=value" assignments ("READY=1",
// "WATCHDOG=1", "STOPPING=1", "STATUS=..."). It is spoken here directly
// rather than through libsystemd: it is a dozen lines, and a test can stand
// in for the service manager with a socket of its own.
//
// Without $NOTIFY_SOCKET (started by hand, by a test, by another service
// manager) every call does nothing and reports success. The watchdog is on
// only when $WATCHDOG_USEC is set and $WATCHDOG_PID, if set, names this
// process, as the service manager sets them for the main process of a unit
// with WatchdogSec=.
//
// Failure policy: a message that cannot be sent is reported to the caller
// and otherwise ignored; recording never depends on the service manager.
//
// Thread safety: a ServiceNotifier is immutable after construction; Notify
// may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Lib/Platform/Status.h"

namespace logrum::server {

class AppLoop;

class ServiceNotifier {
 public:
  // Off: nothing is sent.
  ServiceNotifier() = default;
  // `socket` as $NOTIFY_SOCKET spells it; `watchdog_usec` 0 for no watchdog.
  ServiceNotifier(std::string socket, uint64_t watchdog_usec)
      : socket_(std::move(socket)), watchdog_usec_(watchdog_usec) {}

  // From $NOTIFY_SOCKET, $WATCHDOG_USEC and $WATCHDOG_PID of this process.
  static ServiceNotifier FromEnvironment();

  bool enabled() const { return !socket_.empty(); }
  // The service manager's watchdog period in microseconds; 0 when off.
  uint64_t watchdog_usec() const { return enabled() ? watchdog_usec_ : 0; }
  // How often to ping: half the period, as the service manager advises, so
  // that one late ping does not end the service. 0 when off.
  int watchdog_ping_ms() const;

  // Sends `state` as one datagram. Ok when sent or when notification is off;
  // otherwise an error naming the socket and the reason.
  platform::Status Notify(std::string_view state) const;

 private:
  std::string socket_;
  uint64_t watchdog_usec_ = 0;
};

// The watchdog ping's timer on the UI loop (one of the loop's timers).
inline constexpr int kWatchdogTimer = 19;

// Pings the watchdog from `loop`'s own thread every watchdog_ping_ms(), so
// that a UI thread stuck in a task stops the pings and the service manager
// restarts the service. Does nothing when the watchdog is off. `notifier`
// must outlive the timer.
void StartWatchdogTimer(AppLoop* loop, const ServiceNotifier* notifier);

}  // namespace logrum::server
