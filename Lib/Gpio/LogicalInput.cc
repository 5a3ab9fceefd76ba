#include "Lib/Gpio/LogicalInput.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "Lib/Platform/UniqueFd.h"

namespace logrum::gpio {
namespace {

constexpr uint32_t kReadPollMs = 10;
constexpr size_t kMaxStatus = 127;
constexpr size_t kMaxHostName = 79;

// A dotted IPv4 address read part by part. Fewer than four parts are
// accepted only before a colon; missing parts read as 0.
bool ParseNumeric(const std::string& text, uint32_t* address) {
  uint32_t parts[4] = {0, 0, 0, 0};
  int count = 0;
  size_t i = 0;
  for (;;) {
    size_t start = i;
    uint32_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + static_cast<uint32_t>(text[i] - '0');
      if (value > 255) return false;
      ++i;
    }
    if (i == start) return false;
    parts[count++] = value;
    if (i == text.size()) {
      if (count != 4) return false;
      break;
    }
    if (text[i] == ':') break;
    if (text[i] != '.' || count == 4) return false;
    ++i;
  }
  *address = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
  return *address != 0;
}

// A name lookup on a helper thread, so that the reader can give up on it
// (time-out, Stop, Configure) while the resolver still waits. The helper owns
// its share of the result and ends on its own; the library stays mapped
// (linked -z nodelete) for helpers that outlive an unload.
struct Lookup {
  platform::UniqueFd done_fd{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  std::atomic<bool> ok{false};
  std::atomic<uint32_t> ipv4{0};
};

}  // namespace

bool ParsePeerAddress(const std::string& text, int default_port, PeerAddress* peer) {
  *peer = PeerAddress();
  size_t colon = text.find(':');
  long port = default_port;
  if (colon != std::string::npos) port = std::strtol(text.c_str() + colon + 1, nullptr, 10);
  if (port <= 0 || port > 65535) return false;
  peer->port = static_cast<int>(port);
  if (ParseNumeric(text, &peer->ipv4)) {
    peer->numeric = true;
    return true;
  }
  std::string name = text.substr(0, colon);
  if (name.empty() || name.size() > kMaxHostName) return false;
  if (name == "localhost") {
    char own[256] = {};
    if (::gethostname(own, sizeof own - 1) != 0 || own[0] == '\0') return false;
    name = own;
  }
  peer->host = name;
  return true;
}

LogicalInput::LogicalInput()
    : kit::AppThread("ReadGPIONodeState", 0, 0, false),
      wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

LogicalInput::~LogicalInput() {
  Stop();
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

bool LogicalInput::Start() {
  current_state_.store(initial_state_.load());
  if (HasThread()) return true;
  line_length_ = 0;
  stop_requested_.store(false);
  Run();
  return HasThread();
}

void LogicalInput::Configure(const std::string& host_address, const std::string& on_pattern,
                             const std::string& off_pattern, bool case_sensitive,
                             bool initial_state) {
  {
    kit::MutexLock lock(mu_);
    next_host_ = host_address;
    next_on_ = on_pattern;
    next_off_ = off_pattern;
    next_case_sensitive_ = case_sensitive;
    initial_state_.store(initial_state ? 1 : 0);
    current_state_.store(initial_state ? 1 : 0);
    reconfigure_ = true;
  }
  Wake();
}

void LogicalInput::Stop() {
  if (!HasThread()) return;
  stop_requested_.store(true);
  {
    // Closing first makes a reader that waits on the peer return at once.
    kit::MutexLock lock(mu_);
    if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
  }
  Wake();
  SetExit(0);
  stop_requested_.store(false);
}

std::string LogicalInput::StatusText() const {
  kit::MutexLock lock(mu_);
  return status_;
}

void LogicalInput::set_status_listener(std::function<void(const std::string&)> listener) {
  kit::MutexLock lock(mu_);
  status_listener_ = std::move(listener);
}

void LogicalInput::set_resolver(Resolver resolver) {
  kit::MutexLock lock(mu_);
  resolver_ = std::move(resolver);
}

void LogicalInput::set_line_listener(std::function<void(const std::string&, bool)> listener) {
  kit::MutexLock lock(mu_);
  line_listener_ = std::move(listener);
}

void LogicalInput::SetStatus(std::string text) {
  if (text.size() > kMaxStatus) text.resize(kMaxStatus);
  std::function<void(const std::string&)> listener;
  {
    kit::MutexLock lock(mu_);
    status_ = text;
    listener = status_listener_;
  }
  if (listener) listener(text);
}

void LogicalInput::Wake() {
  uint64_t one = 1;
  if (wake_fd_ >= 0) (void)!::write(wake_fd_, &one, sizeof one);
}

bool LogicalInput::WaitWake(uint32_t timeout_ms) {
  pollfd fd{wake_fd_, POLLIN, 0};
  if (::poll(&fd, 1, static_cast<int>(timeout_ms)) <= 0) return false;
  uint64_t count;
  (void)!::read(wake_fd_, &count, sizeof count);
  return true;
}

bool LogicalInput::WakePending() const {
  pollfd fd{wake_fd_, POLLIN, 0};
  return ::poll(&fd, 1, 0) > 0;
}

std::string LogicalInput::StateStatus() const {
  return std::string(state() ? "ON (" : "OFF (") + host_ + ")";
}

void LogicalInput::Body() {
  SetStatus("Inactive");
  while (Running()) {
    bool apply = false;
    std::string on_text, off_text;
    bool case_sensitive = false;
    {
      kit::MutexLock lock(mu_);
      if (reconfigure_) {
        apply = true;
        reconfigure_ = false;
        host_ = next_host_;
        on_text = next_on_;
        off_text = next_off_;
        case_sensitive = next_case_sensitive_;
      }
    }
    if (apply) {
      enabled_ = true;
      CloseSocket();
      connected_ = false;
      SetStatus("Inactive");
      current_state_.store(initial_state_.load());
      line_length_ = 0;
      int errors = 0;
      if (!on_.Compile(on_text, case_sensitive)) {
        errors |= 1;
        SetStatus("ON Error!");
      }
      if (!off_.Compile(off_text, case_sensitive)) {
        errors |= 2;
        SetStatus("OFF Error!");
      }
      pattern_errors_.store(errors);
    }
    if (!connected_) {
      if (enabled_) {
        if (Connect(host_)) {
          connected_ = true;
          SetStatus(StateStatus());
        } else {
          SetStatus("Connecting to " + host_);
        }
      }
      if (!connected_) {
        WaitWake(retry_ms_.load());
        continue;
      }
    }
    if (!Running()) break;

    int fd;
    {
      kit::MutexLock lock(mu_);
      fd = socket_;
    }
    // Read while bytes keep coming; 10 ms of silence (or a wake) returns to
    // the top, where a new configuration is applied.
    for (;;) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      int ready = ::poll(fds, 2, static_cast<int>(kReadPollMs));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      if (fds[1].revents != 0) {
        WaitWake(0);
        break;
      }
      char buffer[512];
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) {
        Disconnected();
        break;
      }
      for (ssize_t i = 0; i < n && Running(); ++i) Feed(buffer[i]);
      if (!Running()) break;
    }
  }
  CloseSocket();
  connected_ = false;
}

void LogicalInput::Disconnected() {
  CloseSocket();
  connected_ = false;
  current_state_.store(initial_state_.load());
  line_length_ = 0;
  SetStatus("Connecting to " + host_);
}

void LogicalInput::CloseSocket() {
  kit::MutexLock lock(mu_);
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

bool LogicalInput::Resolve(const std::string& name, uint32_t* ipv4) {
  std::shared_ptr<Lookup> lookup;
  Resolver resolver;
  {
    kit::MutexLock lock(mu_);
    resolver = resolver_;
  }
  try {
    lookup = std::make_shared<Lookup>();
    if (!lookup->done_fd.valid()) return false;
    std::thread([lookup, name, resolver] {
      uint64_t one = 1;
      if (resolver) {
        uint32_t ipv4 = 0;
        if (resolver(name, &ipv4)) {
          lookup->ipv4.store(ipv4);
          lookup->ok.store(true);
        }
        (void)!::write(lookup->done_fd.get(), &one, sizeof one);
        return;
      }
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* found = nullptr;
      if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
        lookup->ipv4.store(ntohl(in->sin_addr.s_addr));
        lookup->ok.store(true);
      }
      if (found != nullptr) ::freeaddrinfo(found);
      (void)!::write(lookup->done_fd.get(), &one, sizeof one);
    }).detach();
  } catch (const std::exception&) {
    return false;
  }
  pollfd fds[2] = {{lookup->done_fd.get(), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
  int ready;
  do {
    ready = ::poll(fds, 2, static_cast<int>(connect_timeout_ms_.load()));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0 || fds[0].revents == 0 || !lookup->ok.load()) return false;
  *ipv4 = lookup->ipv4.load();
  return true;
}

bool LogicalInput::Connect(const std::string& host_address) {
  PeerAddress peer;
  if (!ParsePeerAddress(host_address, 80, &peer)) return false;
  uint32_t ipv4 = peer.ipv4;
  if (!peer.numeric && !Resolve(peer.host, &ipv4)) return false;
  if (!Running() || WakePending()) return false;

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  {
    kit::MutexLock lock(mu_);
    socket_ = fd;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(peer.port));
  address.sin_addr.s_addr = htonl(ipv4);
  int result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (result != 0 && errno == EINPROGRESS) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {wake_fd_, POLLIN, 0}};
    int ready;
    do {
      ready = ::poll(fds, 2, static_cast<int>(connect_timeout_ms_.load()));
    } while (ready < 0 && errno == EINTR);
    int error = 0;
    socklen_t length = sizeof error;
    if (ready > 0 && fds[0].revents != 0 && fds[1].revents == 0 &&
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
      result = 0;
    }
  }
  if (result != 0 || !Running()) {
    CloseSocket();
    return false;
  }
  return true;
}

void LogicalInput::Feed(char byte) {
  if (byte == '\n' || byte == '\r') {
    if (line_length_ > 0) {
      line_[line_length_] = '\0';
      Evaluate();
      std::function<void(const std::string&, bool)> listener;
      {
        kit::MutexLock lock(mu_);
        listener = line_listener_;
      }
      if (listener) listener(std::string(line_, line_length_), state());
    }
    line_length_ = 0;
    return;
  }
  if (line_length_ < kLineCapacity) line_[line_length_++] = byte;
}

void LogicalInput::Evaluate() {
  if (!enabled_) return;
  std::string_view line(line_, line_length_);
  uint8_t now = current_state_.load();
  uint8_t next = now;
  if (on_.Search(line)) {
    next = 1;
  } else if (off_.Search(line)) {
    next = 0;
  }
  if (next != now) {
    current_state_.store(next);
    SetStatus(StateStatus());
  }
}

}  // namespace logrum::gpio
