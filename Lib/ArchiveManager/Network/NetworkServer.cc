#include "Lib/ArchiveManager/Network/NetworkServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Lib/ArchiveManager/Network/ConnObj.h"
#include "Lib/Diagnostics/Trace.h"
#include "Lib/Kit/Options/OptionsReg.h"
#include "Lib/Platform/Clock.h"

namespace logrum::network {

NetworkSettings ReadNetworkSettings(platform::Registry* store) {
  NetworkSettings settings;
  settings.store = store;
  kit::OptionsReg server(false, store);
  server.set_trace(false);
  if (server.Read(kServerKey).ok()) {
    const int32_t cap = server.GetInteger(kMaxClientsValue);
    if (cap >= 1 && cap <= 4096) settings.max_connections = static_cast<uint32_t>(cap);
    const int32_t per_address = server.GetInteger(kMaxPerAddressValue);
    if (per_address >= 1 && per_address <= 4096) {
      settings.max_per_address = static_cast<uint32_t>(per_address);
    }
  }
  return settings;
}

// ---------------------------------------------------------------- ThreadPool

ThreadPool* ThreadPool::Create(NetworkServer* server, NetArchiveSource* archives,
                               const NetworkSettings* settings) {
  return new ThreadPool(server, archives, settings);
}

static uint32_t PoolMaximum(uint32_t max_connections) {
  const uint32_t step = ThreadPool::kGrowStep;
  return (max_connections + step - 1) / step * step;
}

ThreadPool::ThreadPool(NetworkServer* server, NetArchiveSource* archives,
                       const NetworkSettings* settings)
    : kit::ObjectPoolBase(kGrowStep, kGrowStep, PoolMaximum(settings->max_connections)),
      server_(server),
      archives_(archives),
      settings_(settings) {}

kit::PoolObject* ThreadPool::CreateObject() {
  auto* connection = new ConnObj(server_, archives_, settings_);
  if (!connection->started()) {
    connection->Release();
    return nullptr;
  }
  return connection;
}

// ------------------------------------------------------------- NetworkServer

NetworkServer::NetworkServer(NetArchiveSource* archives, NetworkSettings settings)
    : archives_(archives), settings_(settings) {
  thread_.Start();
}

NetworkServer::~NetworkServer() {
  Close();
}

static void CloseFd(int fd) {
  if (fd < 0) return;
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

platform::Status NetworkServer::Open(uint32_t port) {
  using platform::Status;
  const std::string where = "port " + std::to_string(port);
  if (pool_ != nullptr) {
    return Status::Error(Status::kInvalidArgument,
                         "cannot listen on " + where + ": the network server is already open");
  }
  if (port > 65535) {
    return Status::Error(Status::kInvalidArgument,
                         "cannot listen on " + where + ": not a TCP port (0 to 65535)");
  }
  pool_ = ThreadPool::Create(this, archives_, &settings_);
  if (pool_ == nullptr) {
    return Status::Error(Status::kIoError,
                         "cannot listen on " + where + ": no connection pool (out of memory?)");
  }
  if (running_.load() || !thread_.IsStarted()) {
    return Status::Error(Status::kIoError,
                         "cannot listen on " + where + ": the listener thread is not running");
  }

  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return platform::ErrnoStatus(errno, "cannot make a socket for " + where);
  linger off{0, 1};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
  // A restart must not wait for the old connections' TIME_WAIT to pass.
  const int reuse = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 5) != 0) {
    const int error = errno;
    ::close(fd);
    Status status = platform::ErrnoStatus(error, "cannot listen on " + where);
    if (error == EADDRINUSE) {
      status =
          Status::Error(status.code(), status.message() + " (another program is listening there)");
    } else if (error == EACCES || error == EPERM) {
      status = Status::Error(status.code(),
                             status.message() + " (ports below 1024 need the right to bind them)");
    }
    diag::DebugTrace("NetworkServer: %s\n", status.message().c_str());
    return status;
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  bound_port_ = ntohs(address.sin_port);
  listen_fd_.store(fd);
  running_.store(true);
  if (!thread_.Execute(this, 0)) {
    running_.store(false);
    CloseFd(listen_fd_.exchange(-1));
    return Status::Error(Status::kIoError,
                         "cannot listen on " + where + ": the listener thread did not take it");
  }
  return Status::Ok();
}

void NetworkServer::Close() {
  if (pool_ == nullptr) return;
  thread_.Cancel(kit::kInfinite);
  CloseFd(listen_fd_.exchange(-1));
  // Connections in progress end now; the pool goes once every object is
  // back, here, never on a connection's own thread.
  kit::UniqueLock lock(mu_);
  for (ConnObj* connection : active_) connection->CancelConnection();
  changed_.wait(lock.native(), [this]() REQUIRES(mu_) { return active_count_ == 0; });
  lock.unlock();
  pool_->Release();
  pool_ = nullptr;
  bound_port_ = 0;
}

void NetworkServer::Run(uint32_t /*argument*/) {
  while (running_.load()) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int listen_fd = listen_fd_.load();
    const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) {
      if (!running_.load()) break;
      // A client that gave up before its turn, or a signal: keep listening.
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      // Out of descriptors: wait a little for connections to end.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        ::poll(nullptr, 0, 100);
        continue;
      }
      diag::DebugTrace("NetworkServer: accept failed: %s\n", strerror(errno));
      break;
    }
    OnAccept(fd, ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port));
  }
  running_.store(false);
}

void NetworkServer::Cancel() {
  running_.store(false);
  // Wakes the accept; the descriptor itself is closed by Close.
  const int fd = listen_fd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

static std::string AddressText(uint32_t address) {
  char text[INET_ADDRSTRLEN] = "?";
  const in_addr a{htonl(address)};
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

void NetworkServer::Refuse(int fd, uint32_t address, const std::string& why) {
  std::string line;
  {
    // Counted before the close, so whoever sees the close sees the count.
    kit::MutexLock lock(mu_);
    ++refused_;
    const uint64_t now = platform::DefaultClock().TickMs();
    if (logged_refusal_ && now - last_refusal_log_ms_ < settings_.refusal_log_interval_ms) {
      ++unlogged_refusals_;
      CloseFd(fd);
      return;
    }
    logged_refusal_ = true;
    last_refusal_log_ms_ = now;
    line = "WARNING: Connection from " + AddressText(address) + " refused: " + why;
    if (unlogged_refusals_ > 0) {
      line += " (" + std::to_string(unlogged_refusals_) + " more refused since the last report)";
    }
    unlogged_refusals_ = 0;
  }
  CloseFd(fd);
  diag::DebugTrace("NetworkServer: %s\n", line.c_str());
  if (settings_.log) settings_.log(line);
}

void NetworkServer::OnAccept(int fd, uint32_t address, uint16_t port) {
  {
    kit::UniqueLock lock(mu_);
    if (active_count_ >= settings_.max_connections) {
      lock.unlock();
      Refuse(fd, address,
             std::to_string(settings_.max_connections) + " clients connected (the server's limit)");
      return;
    }
    uint32_t& from_address = per_address_[address];
    if (from_address >= settings_.max_per_address) {
      lock.unlock();
      Refuse(fd, address,
             std::to_string(settings_.max_per_address) +
                 " connections from this address (the limit per address)");
      return;
    }
    ++from_address;
    ++active_count_;
    changed_.notify_all();
  }
  auto* connection = static_cast<ConnObj*>(pool_->Get());
  if (connection == nullptr) {
    CloseFd(fd);
    ConnectionGone(address);
    return;
  }
  {
    kit::MutexLock lock(mu_);
    active_.insert(connection);
    ++accepted_;
  }
  if (!connection->Start(fd, address, port)) {
    ConnectionEnded(connection);
    connection->Release();
    ConnectionGone(address);
  }
}

void NetworkServer::ConnectionEnded(ConnObj* connection) {
  kit::MutexLock lock(mu_);
  active_.erase(connection);
}

void NetworkServer::ConnectionGone(uint32_t address) {
  kit::MutexLock lock(mu_);
  --active_count_;
  auto it = per_address_.find(address);
  if (it != per_address_.end() && --it->second == 0) per_address_.erase(it);
  changed_.notify_all();
}

uint32_t NetworkServer::ActiveConnections() {
  kit::MutexLock lock(mu_);
  return active_count_;
}

uint32_t NetworkServer::PoolSize() {
  ThreadPool* pool = pool_;
  return pool != nullptr ? pool->Statistics().created : 0;
}

uint64_t NetworkServer::RefusedConnections() {
  kit::MutexLock lock(mu_);
  return refused_;
}

NetworkServer::Counts NetworkServer::GetCounts() {
  Counts counts;
  kit::MutexLock lock(mu_);
  counts.accepted = accepted_;
  counts.refused = refused_;
  // Pooled objects live until Close, so one in the set is safe to ask.
  for (ConnObj* connection : active_) {
    switch (connection->activity()) {
      case ClientHandler::Activity::kPlayback:
        ++counts.playback;
        break;
      case ClientHandler::Activity::kLive:
        ++counts.live;
        break;
      case ClientHandler::Activity::kStatus:
        ++counts.status;
        break;
      case ClientHandler::Activity::kOther:
        ++counts.other;
        break;
    }
  }
  return counts;
}

bool NetworkServer::WaitForActive(uint32_t count, uint32_t timeout_ms) {
  kit::UniqueLock lock(mu_);
  return changed_.wait_for(lock.native(), std::chrono::milliseconds(timeout_ms),
                           [&]() REQUIRES(mu_) { return active_count_ == count; });
}

}  // namespace logrum::network
