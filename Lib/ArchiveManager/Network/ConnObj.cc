#include "Lib/ArchiveManager/Network/ConnObj.h"

#include <chrono>
#include <thread>

#include "Lib/ArchiveManager/Network/NetworkServer.h"
#include "Lib/ArchiveManager/Protocol/Handshake.h"
#include "Lib/ArchiveManager/Protocol/ServerDec.h"
#include "Lib/Diagnostics/Trace.h"
#include "Lib/Platform/Clock.h"

namespace logrum::network {

using protocol::WaitResult;

ConnObj::ConnObj(NetworkServer* server, NetArchiveSource* archives,
                 const NetworkSettings* settings)
    : server_(server), settings_(settings), handler_(archives, settings) {
  thread_.Start();
}

ConnObj::~ConnObj() {
  // The pool ends only when every object is back, so no task runs here; a
  // cancel keeps that true should one still be finishing.
  thread_.Cancel(kit::kInfinite);
  thread_.Stop(kit::kInfinite);
  std::lock_guard lock(socket_mu_);
  stream_.Close();
}

bool ConnObj::Start(int fd, uint32_t address, uint16_t port) {
  {
    std::lock_guard lock(socket_mu_);
    stream_.Adopt(fd);
  }
  address_ = address;
  port_ = port;
  running_.store(true);
  // An object is back in the pool a moment before its thread has left the
  // previous task; give it that moment.
  for (int attempt = 0; attempt < 2000; ++attempt) {
    if (thread_.Execute(this, 0)) return true;
    if (!thread_.IsStarted()) break;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  running_.store(false);
  std::lock_guard lock(socket_mu_);
  stream_.Close();
  return false;
}

void ConnObj::CancelConnection() {
  running_.store(false);
  {
    std::lock_guard lock(socket_mu_);
    stream_.Shutdown();
  }
  handler_.CancelStreams();
}

void ConnObj::Serve() {
  protocol::HandshakeSeeds seeds;
  const auto tick = static_cast<uint32_t>(platform::DefaultClock().TickMs());
  const protocol::HandshakeResult shake =
      protocol::ServerHandshake(stream_, stream_, tick, settings_->handshake_timeout_ms, &seeds);
  if (shake != protocol::HandshakeResult::kOk) {
    diag::DebugTrace("ConnObj=0x%lX: Handshake failed (%s)\n",
                     static_cast<unsigned long>(reinterpret_cast<uintptr_t>(this)),
                     protocol::HandshakeResultText(shake));
    return;
  }
  decoder_.Seed(seeds.client_to_server);
  enc_.rng().Seed(seeds.server_to_client);
  handler_.Bind(&enc_, &stream_, address_, port_);
  const bool connected = handler_.OnConnect();
  diag::DebugTrace("ConnObj=0x%lX: Running task on socket %d...\n",
                   static_cast<unsigned long>(reinterpret_cast<uintptr_t>(this)), stream_.fd());
  if (!connected) return;
  while (running_.load()) {
    const WaitResult wait = stream_.Wait(settings_->idle_timeout_ms);
    if (wait == WaitResult::kReady) {
      if (!protocol::ServerDec::Dispatch(stream_, decoder_, handler_)) break;
    } else if (wait == WaitResult::kTimeout) {
      if (!handler_.OnIdle()) break;
    } else {
      break;
    }
  }
  // Also after a cancel, so that the archive gets its client count back.
  handler_.OnDisconnect();
}

void ConnObj::Run(uint32_t /*argument*/) {
  NetworkServer* const server = server_;
  try {
    Serve();
  } catch (...) {
    diag::DebugTrace("ERROR: Task exception!!!\n");
  }
  running_.store(false);
  {
    std::lock_guard lock(socket_mu_);
    diag::DebugTrace("ConnObj=0x%lX: Exit task on socket %d...\n",
                     static_cast<unsigned long>(reinterpret_cast<uintptr_t>(this)), stream_.fd());
    stream_.Close();
  }
  server->ConnectionEnded(this);
  // Back to the pool; from here on the object may serve the next client.
  Release();
  server->ConnectionGone();
}

}  // namespace logrum::network
