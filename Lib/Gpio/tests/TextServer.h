// A text server on a loopback port chosen at run time, standing in for an
// automation system that prints status lines: it accepts any number of
// clients and sends each text to every client connected at the time.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace logrum::gpio::testing {

class TextServer {
 public:
  TextServer() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::listen(listen_fd_, 8);
    if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) stop_pipe_[0] = stop_pipe_[1] = -1;
    thread_ = std::thread([this] { Accept(); });
  }
  ~TextServer() {
    (void)!::write(stop_pipe_[1], "x", 1);
    thread_.join();
    std::lock_guard lock(mu_);
    for (int fd : clients_) ::close(fd);
    ::close(listen_fd_);
    ::close(stop_pipe_[0]);
    ::close(stop_pipe_[1]);
  }
  TextServer(const TextServer&) = delete;
  TextServer& operator=(const TextServer&) = delete;

  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Waits (at most 30 s) until `count` clients have connected since the start.
  bool WaitForClients(int count) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return accepted_ >= count; });
  }
  int accepted() {
    std::lock_guard lock(mu_);
    return accepted_;
  }
  // Sends to every connected client; false when there is none.
  bool Send(const std::string& text) {
    std::lock_guard lock(mu_);
    for (int fd : clients_) {
      size_t sent = 0;
      while (sent < text.size()) {
        ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
    }
    return !clients_.empty();
  }
  // Hangs up on every client, as a peer that goes away.
  void CloseClients() {
    std::lock_guard lock(mu_);
    for (int fd : clients_) ::close(fd);
    clients_.clear();
  }

 private:
  void Accept() {
    for (;;) {
      pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents != 0) return;
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard lock(mu_);
      clients_.push_back(fd);
      ++accepted_;
      changed_.notify_all();
    }
  }

  int listen_fd_ = -1;
  int port_ = 0;
  int stop_pipe_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<int> clients_;
  int accepted_ = 0;
};

}  // namespace logrum::gpio::testing
