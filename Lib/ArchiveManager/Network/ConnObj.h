// One pooled connection: its socket stream, the two scrambling generators,
// the encoder, the request handler and its own task thread, which runs the
// connection task for one client at a time:
//
//   handshake (time-out per record) -> seed -> OnConnect -> loop:
//     wait for the client for the idle time-out:
//       readable: decode and serve one message, which must arrive whole
//                 within the message time-out (false or late: disconnect)
//       time-out: OnIdle sends Ping (failure: disconnect)
//       error:    disconnect
//   Every send has a deadline too (NetworkSettings.h): a client that stops
//   reading fails the send and loses the connection.
//   -> close the socket, give the object back to its pool.
//
// Thread safety: Start from the listener thread (the object is free); Cancel
// from any thread; everything else on the task thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "Lib/ArchiveManager/Network/ClientHandler.h"
#include "Lib/ArchiveManager/Network/ConnectionStream.h"
#include "Lib/ArchiveManager/Protocol/ClientEnc.h"
#include "Lib/ArchiveManager/Protocol/WireRng.h"
#include "Lib/Kit/RefCount.h"
#include "Lib/Kit/TaskThread.h"

namespace logrum::network {

class NetworkServer;

class ConnObj : public kit::PoolObject, public kit::TaskThreadTask {
 public:
  ConnObj(NetworkServer* server, NetArchiveSource* archives, const NetworkSettings* settings);

  // Whether the task thread started (a pool refuses objects without one).
  bool started() const { return thread_.IsStarted(); }
  // Takes the accepted socket and hands the connection task to the thread.
  // False (socket closed) when the thread does not take it.
  bool Start(int fd, uint32_t address, uint16_t port);
  // What the connection does now (any thread).
  ClientHandler::Activity activity() const { return handler_.activity(); }
  // Ends a running connection soon: shuts the socket and wakes a live stream.
  void CancelConnection();

  // kit::TaskThreadTask
  void Run(uint32_t argument) override;
  void Cancel() override { CancelConnection(); }

  const char* ClassName() const override { return "ConnObj"; }

 protected:
  ~ConnObj() override;

 private:
  void Serve();

  NetworkServer* const server_;
  const NetworkSettings* const settings_;
  ClientHandler handler_;
  std::mutex socket_mu_;  // Shutdown from other threads against Close
  ConnectionStream stream_;
  protocol::WireRng decoder_;
  protocol::ClientEnc enc_{&stream_};
  kit::TaskThread thread_;
  uint32_t address_ = 0;
  uint16_t port_ = 0;
  std::atomic<bool> running_{false};
};

}  // namespace logrum::network
