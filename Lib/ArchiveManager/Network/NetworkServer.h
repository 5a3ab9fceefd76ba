// The network service: a listener thread accepts clients on one TCP port
// (IPv4, all local addresses) and hands each socket to a pooled connection
// object (ConnObj) whose own thread serves that client.
//
// The pool (ThreadPool) makes connection objects eight at a time, each with
// its task thread, and takes them back when their client leaves. At most
// max_connections clients are served at once, and at most max_per_address
// from one client address, so one host cannot lock the others out; a socket
// over either cap is closed at once (and reported, rate-limited, through the
// settings' log), so a flood of idle or half-open connections cannot use up
// threads or memory. A connection holds its place only while its client
// keeps up: the handshake, a begun message and every send have deadlines
// (NetworkSettings.h); an idle client that answers nothing but stays
// connected keeps its place, as Ping keeps the line checked.
//
// Close stops the listener, cancels the connections in progress, waits until
// every connection object is back, and only then lets the pool go: the pool
// and its threads always end on the closing thread, never on a connection's
// own thread.
//
// Thread safety: Open and Close from one (the host's) thread; the accessors
// from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "Lib/ArchiveManager/Network/NetArchive.h"
#include "Lib/ArchiveManager/Network/NetworkSettings.h"
#include "Lib/Kit/ObjectPool.h"
#include "Lib/Kit/TaskThread.h"
#include "Lib/Platform/Status.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::network {

class ConnObj;
class NetworkServer;

// The pool of connection objects: grows in steps of eight up to a maximum.
class ThreadPool : public kit::ObjectPoolBase {
 public:
  static constexpr uint32_t kGrowStep = 8;
  static ThreadPool* Create(NetworkServer* server, NetArchiveSource* archives,
                            const NetworkSettings* settings);
  const char* ClassName() const override { return "ThreadPool"; }

 protected:
  ThreadPool(NetworkServer* server, NetArchiveSource* archives, const NetworkSettings* settings);
  ~ThreadPool() override = default;
  kit::PoolObject* CreateObject() override;

 private:
  NetworkServer* const server_;
  NetArchiveSource* const archives_;
  const NetworkSettings* const settings_;
};

class NetworkServer : private kit::TaskThreadTask {
 public:
  NetworkServer(NetArchiveSource* archives, NetworkSettings settings);
  ~NetworkServer();  // Close
  NetworkServer(const NetworkServer&) = delete;
  NetworkServer& operator=(const NetworkServer&) = delete;

  // Creates the pool and listens on the port (0: any free port, see port()).
  // An error naming the port and the reason (in use, no permission, not a
  // port) when already open or the socket cannot be made, bound or listened on.
  platform::Status Open(uint32_t port);
  void Close();

  uint16_t port() const { return bound_port_; }
  // Connections being served now.
  uint32_t ActiveConnections();
  // Connection objects made so far (0 while closed).
  uint32_t PoolSize();
  // Sockets closed at once because a cap was reached.
  uint64_t RefusedConnections();
  // The connections by what they do now, and the totals since Open.
  struct Counts {
    uint64_t accepted = 0;
    uint64_t refused = 0;
    uint32_t playback = 0;
    uint32_t live = 0;
    uint32_t status = 0;
    uint32_t other = 0;
  };
  Counts GetCounts();
  // Waits until ActiveConnections() == count, at most timeout_ms; for tests.
  bool WaitForActive(uint32_t count, uint32_t timeout_ms);

 private:
  friend class ConnObj;

  // kit::TaskThreadTask: the accept loop.
  void Run(uint32_t argument) override;
  void Cancel() override;
  void OnAccept(int fd, uint32_t address, uint16_t port);
  // Closes a socket over a cap and reports why (rate-limited).
  void Refuse(int fd, uint32_t address, const std::string& why);
  // Called by a connection's task after it gave its object back.
  void ConnectionEnded(ConnObj* connection);
  void ConnectionGone(uint32_t address);

  NetArchiveSource* const archives_;
  const NetworkSettings settings_;
  kit::TaskThread thread_;
  std::atomic<bool> running_{false};
  std::atomic<int> listen_fd_{-1};
  uint16_t bound_port_ = 0;
  ThreadPool* pool_ = nullptr;  // host thread (Open, Close) and the listener

  kit::Mutex mu_;
  std::condition_variable changed_;
  std::set<ConnObj*> active_ GUARDED_BY(mu_);
  uint32_t active_count_ GUARDED_BY(mu_) = 0;  // includes objects being returned
  std::map<uint32_t, uint32_t> per_address_ GUARDED_BY(mu_);  // connections by address
  uint64_t refused_ GUARDED_BY(mu_) = 0;
  uint64_t accepted_ GUARDED_BY(mu_) = 0;
  bool logged_refusal_ GUARDED_BY(mu_) = false;
  uint64_t last_refusal_log_ms_ GUARDED_BY(mu_) = 0;
  uint64_t unlogged_refusals_ GUARDED_BY(mu_) = 0;
};

}  // namespace logrum::network
