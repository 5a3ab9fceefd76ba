// A logical input (inputs 5-8 of an audio source): a switch driven by text
// lines from a TCP peer. One reader thread, "ReadGPIONodeState", per input:
// it connects to the configured host (port 80 unless "host:port" says
// otherwise), frames the bytes it receives into lines, and turns the input ON
// when a line matches the ON pattern and OFF when it matches the OFF pattern
// (ON wins when both do). A lost peer puts the input back to its initial
// state; the reader reconnects at once and then every retry interval (5000 ms).
//
// Status texts (StatusText): "Inactive", "Connecting to <host>",
// "ON (<host>)", "OFF (<host>)", "ON Error!", "OFF Error!" (a pattern did not
// compile; the next connection status replaces it, pattern_errors() keeps it).
//
// Bounds: a line holds at most 511 characters; the rest of a longer line is
// dropped and the line is matched on its first 511. Nothing a peer sends can
// grow memory. A name lookup and a connect are each bounded by the connect
// time-out, and Stop or Configure cut both short, so neither ever waits on an
// unreachable peer.
//
// Thread safety: Start, Configure, Stop, StatusText and the accessors may be
// called from any thread; Start, Stop and the destructor must not run at the
// same time for one input (the library lock serialises them). state() reads
// one byte without a lock. The stored configuration (config()) is guarded by
// the owner's lock, not by the input.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "Lib/Gpio/Pattern.h"
#include "Lib/Kit/AppThread.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::gpio {

// The configuration of a logical input as it is stored.
struct InputConfig {
  static constexpr size_t kMaxHostAddress = 127;
  static constexpr size_t kMaxPattern = 255;
  std::string host_address;
  std::string on_pattern;
  std::string off_pattern;
  bool case_sensitive = false;
  bool initial_state = false;  // true: the input starts ON
  bool active = false;
};

// Where "host" or "host:port" points, as the reader resolves it (exposed for tests).
struct PeerAddress {
  bool numeric = false;  // a dotted IPv4 address, no lookup needed
  uint32_t ipv4 = 0;     // host byte order, when numeric
  std::string host;      // the name to look up, when not numeric
  int port = 0;
};
// False for port 0 or a port outside 1-65535, or a name of no or more than 79
// characters. "localhost" (exactly) becomes this machine's host name.
bool ParsePeerAddress(const std::string& text, int default_port, PeerAddress* peer);

class LogicalInput : private kit::AppThread {
 public:
  static constexpr size_t kLineCapacity = 511;
  static constexpr uint32_t kDefaultRetryMs = 5000;
  static constexpr uint32_t kDefaultConnectTimeoutMs = 5000;

  LogicalInput();
  ~LogicalInput() override;
  LogicalInput(const LogicalInput&) = delete;
  LogicalInput& operator=(const LogicalInput&) = delete;

  // Current state = initial state; starts the reader unless it runs. False
  // only when the thread cannot be created.
  bool Start();
  // New running copies; the reader applies them at its next turn (at once if it waits).
  void Configure(const std::string& host_address, const std::string& on_pattern,
                 const std::string& off_pattern, bool case_sensitive, bool initial_state);
  // Closes the socket, then stops the reader and waits until it has ended.
  void Stop();

  std::string StatusText() const;
  bool state() const { return current_state_.load(std::memory_order_relaxed) != 0; }
  bool running() const { return HasThread(); }
  // Bit 0: the ON pattern did not compile; bit 1: the OFF pattern. Kept until
  // the next Configure is applied.
  int pattern_errors() const { return pattern_errors_.load(); }

  InputConfig& config() { return config_; }
  const InputConfig& config() const { return config_; }

  // Tests and tools: a shorter retry or connect time-out, and every status
  // text as it is set (called on the reader thread; must not call back).
  void set_retry_interval_ms(uint32_t ms) { retry_ms_.store(ms); }
  void set_connect_timeout_ms(uint32_t ms) { connect_timeout_ms_.store(ms); }
  void set_status_listener(std::function<void(const std::string&)> listener);
  // Name lookups (the platform's resolver by default). Runs on a helper
  // thread that may outlive the input; tests give a table instead of DNS.
  using Resolver = std::function<bool(const std::string& name, uint32_t* ipv4)>;
  void set_resolver(Resolver resolver);
  // Every framed line with the input's state after it was evaluated (reader
  // thread; must not call back).
  void set_line_listener(std::function<void(const std::string& line, bool state)> listener);

 private:
  void Body() override;
  bool Running() const { return IsRunning() && !stop_requested_.load(); }
  void SetStatus(std::string text);
  void Wake();
  bool WaitWake(uint32_t timeout_ms);  // true when woken
  bool WakePending() const;
  bool Connect(const std::string& host_address);
  bool Resolve(const std::string& name, uint32_t* ipv4);
  void CloseSocket();
  void Disconnected();
  void Feed(char byte);
  void Evaluate();
  std::string StateStatus() const;

  InputConfig config_;

  // Running copies, handed over by Configure.
  mutable kit::Mutex mu_;
  std::string next_host_ GUARDED_BY(mu_);
  std::string next_on_ GUARDED_BY(mu_);
  std::string next_off_ GUARDED_BY(mu_);
  bool next_case_sensitive_ GUARDED_BY(mu_) = false;
  bool reconfigure_ GUARDED_BY(mu_) = false;
  std::string status_ GUARDED_BY(mu_);
  int socket_ GUARDED_BY(mu_) = -1;  // (written by the reader, shut down by Stop)
  std::function<void(const std::string&)> status_listener_ GUARDED_BY(mu_);
  std::function<void(const std::string&, bool)> line_listener_ GUARDED_BY(mu_);
  Resolver resolver_ GUARDED_BY(mu_);

  std::atomic<uint8_t> initial_state_{0};
  std::atomic<uint8_t> current_state_{0};
  std::atomic<int> pattern_errors_{0};
  std::atomic<bool> stop_requested_{false};
  std::atomic<uint32_t> retry_ms_{kDefaultRetryMs};
  std::atomic<uint32_t> connect_timeout_ms_{kDefaultConnectTimeoutMs};
  int wake_fd_ = -1;  // eventfd: the wake event (auto-reset)

  // The reader thread's own state.
  bool enabled_ = false;
  bool connected_ = false;
  std::string host_;
  Pattern on_;
  Pattern off_;
  char line_[kLineCapacity + 1] = {};
  size_t line_length_ = 0;
};

}  // namespace logrum::gpio
