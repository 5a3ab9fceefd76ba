#include "Lib/ArchiveManager/Network/ConnObj.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "Lib/ArchiveManager/Network/NetworkServer.h"
#include "Lib/ArchiveManager/Protocol/Handshake.h"
#include "Lib/ArchiveManager/Protocol/MessageLoop.h"
#include "Lib/Diagnostics/Trace.h"
#include "Lib/Platform/Clock.h"

namespace logrum::network {

ConnObj::ConnObj(NetworkServer* server, NetArchiveSource* archives,
                 const NetworkSettings* settings)
    : server_(server), settings_(settings), handler_(archives, settings) {
  stream_.set_send_timeout(settings->send_timeout_ms);
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
  // A host that vanishes without a word (power cut, cable) is found by the
  // keep-alive probes even while its connection only waits, e.g. on a silent
  // live stream; the socket then reports an error and the connection ends.
  const int on = 1, idle_s = 30, interval_s = 5, probes = 3;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
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
  const protocol::RoundTimeouts timeouts{settings_->idle_timeout_ms, settings_->message_timeout_ms};
  const protocol::TickSource clock = [] { return platform::DefaultClock().TickMs(); };
  while (running_.load()) {
    const protocol::RoundResult round =
        protocol::ServeRound(stream_, decoder_, handler_, timeouts, clock);
    if (round == protocol::RoundResult::kServed || round == protocol::RoundResult::kIdle) continue;
    if (round == protocol::RoundResult::kMessageLate) {
      diag::DebugTrace("ConnObj=0x%lX: message not complete within %u ms, closing\n",
                       static_cast<unsigned long>(reinterpret_cast<uintptr_t>(this)),
                       settings_->message_timeout_ms);
    }
    break;
  }
  if (stream_.send_timed_out()) {
    diag::DebugTrace("ConnObj=0x%lX: client took nothing for %u ms, closing\n",
                     static_cast<unsigned long>(reinterpret_cast<uintptr_t>(this)),
                     settings_->send_timeout_ms);
  }
  // Also after a cancel, so that the archive gets its client count back.
  handler_.OnDisconnect();
}

void ConnObj::Run(uint32_t /*argument*/) {
  NetworkServer* const server = server_;
  const uint32_t address = address_;
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
  server->ConnectionGone(address);
}

}  // namespace logrum::network
