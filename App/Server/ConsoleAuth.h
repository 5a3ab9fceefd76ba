// The web console's locks: its settings in Logrum2\Server, the console
// password as a salted PBKDF2 hash, the Host header check that keeps DNS
// rebinding out, the sessions with their per-session token, and the login
// rate limit.
//
// Settings (all optional):
//   ConsoleAddress    "127.0.0.1:9021"  where the console listens
//   ConsolePassword   "pbkdf2-sha256$ITERATIONS$SALT$HASH" (hex), see
//                     HashConsolePassword; empty: no password
//   ConsoleHostNames  further names the console is reached by ("name[:port]",
//                     separated by ","), e.g. behind a reverse proxy
//   SilenceLevel      the silence alarm's threshold in dBFS (default -50)
//   SilenceSeconds    how long peaks stay under it before the alarm (60)
//   MetricsToken      a bearer token that reads /metrics from any address
//                     without a session (at least 16 characters; shorter
//                     ones are ignored); empty: none
//
// Thread safety: ConsoleSettings and the free functions have no shared
// state; ConsoleSessions and LoginLimiter are thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Lib/Kit/Mutex.h"
#include "Lib/Platform/Clock.h"
#include "Lib/Platform/Registry.h"
#include "Lib/Platform/Status.h"

namespace logrum::server {

inline constexpr char kDefaultConsoleHost[] = "127.0.0.1";
inline constexpr int kDefaultConsolePort = 9021;
inline constexpr size_t kMinMetricsToken = 16;

struct ConsoleSettings {
  std::string host = kDefaultConsoleHost;
  int port = kDefaultConsolePort;
  std::string password_hash;
  std::vector<std::string> host_names;
  double silence_level_db = -50.0;
  int silence_seconds = 60;
  std::string metrics_token;  // empty, or at least kMinMetricsToken characters

  // Reads Logrum2\Server (`store` null: the process's store). An error (the
  // first) for a malformed ConsoleAddress or a too short MetricsToken; what
  // is malformed keeps its default, the rest is read all the same.
  platform::Status Load(platform::Registry* store);
  bool loopback() const;
};

// Splits "host:port" ("[v6]:port" too); false when malformed.
bool ParseConsoleAddress(std::string_view text, std::string* host, int* port);
bool IsLoopbackHost(std::string_view host);

// The stored form of a password: "pbkdf2-sha256$ITERATIONS$SALT$HASH" with a
// fresh random salt. `iterations` 0 takes the default.
std::string HashConsolePassword(std::string_view password, uint32_t iterations = 0);
// True when `password` matches a stored form; false for a malformed one.
bool VerifyConsolePassword(std::string_view stored, std::string_view password);

// Whether a request's Host header names this console: the bound address and
// port, on loopback also "localhost" and "[::1]", and the extra host names.
bool HostAllowed(const ConsoleSettings& settings, std::string_view host_header);

// Whether an Authorization header carries "Bearer TOKEN" with the
// configured token (compared in constant time); false when none is set.
bool MetricsTokenMatches(const ConsoleSettings& settings, std::string_view authorization);

// What a session may do.
enum class ConsoleRole { kNone, kAdmin, kUser };

struct ConsoleSession {
  std::string id;     // the cookie's value
  std::string token;  // sent back on every change (header X-Console-Token)
  ConsoleRole role = ConsoleRole::kNone;
  std::string user;   // the protocol user, for kUser
};

class ConsoleSessions {
 public:
  static constexpr size_t kMaxSessions = 1000;

  // A new session with `role` (the oldest one goes beyond kMaxSessions).
  ConsoleSession Create(ConsoleRole role);
  std::optional<ConsoleSession> Find(std::string_view id) const;
  // A fresh id and token with the new role (a login never keeps the id it
  // was given before).
  std::optional<ConsoleSession> Promote(std::string_view id, ConsoleRole role, std::string user);
  void Remove(std::string_view id);

 private:
  mutable kit::Mutex mu_;
  std::map<std::string, ConsoleSession, std::less<>> sessions_ GUARDED_BY(mu_);
  std::vector<std::string> order_ GUARDED_BY(mu_);
};

// Failed logins per peer address: after kFreeFailures, each further attempt
// waits kFirstLockMs, doubled per failure up to kMaxLockMs. A success clears
// the address. Real time from the clock's TickMs.
class LoginLimiter {
 public:
  static constexpr int kFreeFailures = 5;
  static constexpr uint64_t kFirstLockMs = 30000;
  static constexpr uint64_t kMaxLockMs = 15 * 60 * 1000;

  explicit LoginLimiter(platform::Clock* clock = nullptr) : clock_(clock) {}
  // 0 when the address may try now, else the milliseconds to wait.
  uint64_t WaitMs(const std::string& address) const;
  void Failed(const std::string& address);
  void Succeeded(const std::string& address);

 private:
  uint64_t Now() const;
  struct Entry {
    int failures = 0;
    uint64_t locked_until = 0;
  };
  platform::Clock* clock_;
  mutable kit::Mutex mu_;
  std::map<std::string, Entry> entries_ GUARDED_BY(mu_);
};

// 2 * bytes random bytes as hex text.
std::string RandomHex(size_t bytes);

}  // namespace logrum::server
