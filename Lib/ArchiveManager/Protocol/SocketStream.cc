#include "Lib/ArchiveManager/Protocol/SocketStream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Lib/Platform/Clock.h"

namespace logrum::protocol {

namespace {

using platform::ErrnoStatus;
using platform::Status;

WaitResult PollReadable(int fd, uint32_t ms) {
  pollfd p{fd, POLLIN, 0};
  const int timeout = ms == kWaitForever ? -1 : static_cast<int>(ms > INT32_MAX ? INT32_MAX : ms);
  for (;;) {
    const int rc = ::poll(&p, 1, timeout);
    if (rc > 0) {
      // A hang-up with nothing left to read still reads as readable: the
      // following read then reports the close.
      return (p.revents & (POLLIN | POLLHUP | POLLERR)) ? WaitResult::kReady : WaitResult::kError;
    }
    if (rc == 0) return WaitResult::kTimeout;
    if (errno != EINTR) return WaitResult::kError;
  }
}

}  // namespace

SocketStream::~SocketStream() { Close(); }

void SocketStream::Adopt(int fd) {
  Close();
  send_timed_out_.store(false);
  fd_.store(fd);
}

void SocketStream::Shutdown() {
  const int fd = fd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void SocketStream::Close() {
  const int fd = fd_.exchange(-1);
  if (fd < 0) return;
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

Status SocketStream::Connect(const std::string& host, uint16_t port, uint32_t timeout_ms) {
  ConnectOptions options;
  options.timeout_ms = timeout_ms;
  return Connect(host, port, options);
}

Status SocketStream::Connect(const std::string& host, uint16_t port,
                             const ConnectOptions& options) {
  Close();
  send_timed_out_.store(false);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    return Status::Error(Status::kNotFound, "cannot resolve " + host + ": " + ::gai_strerror(rc));
  }
  Status last = Status::Error(Status::kNotFound, "no address for " + host);
  for (addrinfo* a = found; a; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      last = ErrnoStatus(errno, "socket");
      continue;
    }
    if (options.receive_buffer > 0) {
      const int size = static_cast<int>(options.receive_buffer);
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    if (!options.local_address.empty()) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      if (::inet_pton(AF_INET, options.local_address.c_str(), &local.sin_addr) != 1 ||
          ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        last = ErrnoStatus(errno, "cannot bind to " + options.local_address);
        ::close(fd);
        continue;
      }
    }
    int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      rc = ::poll(&p, 1, static_cast<int>(options.timeout_ms));
      int so_error = 0;
      socklen_t len = sizeof so_error;
      if (rc == 0) {
        errno = ETIMEDOUT;
        rc = -1;
      } else if (rc > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) == 0) {
        errno = so_error;
        rc = so_error == 0 ? 0 : -1;
      } else {
        rc = -1;
      }
    }
    if (rc == 0) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ::freeaddrinfo(found);
      fd_.store(fd);
      return Status::Ok();
    }
    last = ErrnoStatus(errno, "cannot connect to " + host + ":" + service);
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return last;
}

bool SocketStream::Write(const void* buffer, size_t n) {
  const auto* p = static_cast<const char*>(buffer);
  if (send_timeout_ms_ == kWaitForever) {
    while (n > 0) {
      const ssize_t sent = ::send(fd_.load(), p, n, MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return false;
      p += sent;
      n -= static_cast<size_t>(sent);
    }
    return true;
  }
  if (send_timed_out_.load()) return false;
  // The whole write shares one time-out, so a peer that takes a byte now and
  // then cannot stretch it.
  const uint64_t start = platform::DefaultClock().TickMs();
  while (n > 0) {
    const int fd = fd_.load();
    const ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      p += sent;
      n -= static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    const uint64_t spent = platform::DefaultClock().TickMs() - start;
    if (spent < send_timeout_ms_) {
      pollfd w{fd, POLLOUT, 0};
      const int rc = ::poll(&w, 1, static_cast<int>(send_timeout_ms_ - spent));
      if (rc > 0 || (rc < 0 && errno == EINTR)) continue;
      if (rc < 0) return false;
    }
    send_timed_out_.store(true);
    ::shutdown(fd, SHUT_RDWR);
    return false;
  }
  return true;
}

bool SocketStream::Read(void* buffer, size_t n) {
  auto* p = static_cast<char*>(buffer);
  while (n > 0) {
    const ssize_t got = ::recv(fd_.load(), p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

WaitResult SocketStream::TimedRead(void* buffer, size_t n, uint32_t ms) {
  auto* p = static_cast<char*>(buffer);
  const uint64_t start = platform::DefaultClock().TickMs();
  while (n > 0) {
    const uint64_t spent = platform::DefaultClock().TickMs() - start;
    if (ms != kWaitForever && spent >= ms) return WaitResult::kTimeout;
    const uint32_t left = ms == kWaitForever ? kWaitForever : static_cast<uint32_t>(ms - spent);
    const WaitResult waited = PollReadable(fd_.load(), left);
    if (waited != WaitResult::kReady) return waited;
    const ssize_t got = ::recv(fd_.load(), p, n, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return WaitResult::kError;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return WaitResult::kReady;
}

WaitResult SocketStream::Wait(uint32_t ms) {
  if (fd_.load() < 0) return WaitResult::kError;
  return PollReadable(fd_.load(), ms);
}

}  // namespace logrum::protocol
