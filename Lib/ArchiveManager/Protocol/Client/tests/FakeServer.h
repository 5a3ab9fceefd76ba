// A small protocol server for tests of clients: real sockets on a loopback
// port chosen at run time, the real server handshake, ServerDec and ClientEnc,
// and request operations answered from a fixed, in-memory set of archives.
// It follows the server's answer rules (codes, texts, stream ends) closely
// enough to test clients; it is not the archive service.
//
// Thread safety: configure before Start; Start and Stop from one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Lib/ArchiveManager/Protocol/ClientDec.h"
#include "Lib/ArchiveManager/Protocol/SocketStream.h"

namespace logrum::protocol::testing {

struct FakeArchive {
  std::string name;
  bool active = true;
  int rights = 3;  // bit 0 recordings, bit 1 live, for every user
  bool has_database = true;
  bool has_live = true;
  std::vector<IndexItem> index;
};

struct FakeServerConfig {
  std::map<std::string, std::string> users;  // user name (any case) -> password digest text
  std::vector<FakeArchive> archives;
  AudioFormatInfo format{0, 128, 44100, 2, 1152 * 2, 836, false, false};
  std::vector<std::vector<uint8_t>> blocks;  // archived audio of every segment; live repeats them
  int live_error_after = -1;  // send AudioError 4 after this many live blocks (-1: never)
  bool ping_before_answers = false;  // an idle Ping ahead of every answer
  uint32_t idle_timeout_ms = kIdleTimeoutMs;
};

class FakeServer {
 public:
  explicit FakeServer(FakeServerConfig config);
  ~FakeServer();

  // Listens on 127.0.0.1 at a free port; returns the port, 0 on failure.
  uint16_t Start();
  void Stop();
  uint16_t port() const { return port_; }
  // Requests served so far, as ClientMsg names, over all connections.
  std::vector<std::string> requests() const;

 private:
  struct Connection;
  void AcceptLoop();
  void Serve(Connection* connection);

  FakeServerConfig config_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::vector<std::string> requests_;
  friend class FakeHandler;
};

}  // namespace logrum::protocol::testing
