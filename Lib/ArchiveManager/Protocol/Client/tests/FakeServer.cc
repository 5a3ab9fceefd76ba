#include "Lib/ArchiveManager/Protocol/Client/tests/FakeServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Lib/ArchiveManager/Protocol/ClientEnc.h"
#include "Lib/ArchiveManager/Protocol/ClientHandler.h"
#include "Lib/ArchiveManager/Protocol/Handshake.h"
#include "Lib/ArchiveManager/Protocol/PasswordDigest.h"
#include "Lib/ArchiveManager/Protocol/ServerDec.h"

namespace logrum::protocol::testing {

struct FakeServer::Connection {
  SocketStream stream;
  std::thread thread;
};

class FakeHandler : public ClientHandler {
 public:
  FakeHandler(FakeServer& server, ClientEnc& enc, StreamReader& reader)
      : server_(server), config_(server.config_), enc_(enc), reader_(reader) {}

  bool OnStringTooLong(const char*, uint32_t, uint32_t) override { return false; }

  bool AttachToArchive(const char* name) override {
    Note("AttachToArchive");
    attached_ = nullptr;
    for (const FakeArchive& a : config_.archives) {
      if (name && a.name == name) attached_ = &a;
    }
    if (!attached_) return enc_.AttachToArchiveResult(kAttachNotFound, kTextArchiveNotFound);
    if (!attached_->active) {
      return enc_.AttachToArchiveResult(kAttachNotActive, kTextArchiveNotActive);
    }
    return enc_.AttachToArchiveResult(kResultOk, kTextOk);
  }

  bool GetServerVersion() override {
    Note("GetServerVersion");
    return enc_.ServerVersionResult(kVersionMajor, kVersionMinor, kVersionRevision,
                                    kVersionBuild);
  }

  bool LoginUser(const char* user, const char* password) override {
    Note("LoginUser");
    user_.clear();
    const std::string wanted = LowerCaseText(user ? user : "");
    for (const auto& [name, digest] : config_.users) {
      if (LowerCaseText(name) != wanted || wanted.empty()) continue;
      if (digest != (password ? password : "")) {
        return enc_.ConnectResult(kLoginWrongPassword, kTextLoginFailed);
      }
      user_ = name;
      return enc_.ConnectResult(kResultOk, kTextOk);
    }
    return enc_.ConnectResult(kLoginNoUser, kTextLoginFailed);
  }

  bool Ping() override {
    Note("Ping");
    return enc_.Pong();
  }
  bool Pong() override {
    Note("Pong");
    return true;
  }

  bool RequestArchiveAudio(int64_t time, uint32_t offset_ms, uint32_t duration_ms) override {
    Note("RequestArchiveAudio");
    if (!attached_) return enc_.AudioError(kAudioNotAttached, kTextNotAttached);
    bool found = false;
    for (const IndexItem& item : attached_->index) found |= item.start_time == time;
    if (!found) {
      const std::string text = std::string(kTextFileOpenFailed) + attached_->name + "/" +
                               std::to_string(time) + ".mp3'";
      enc_.AudioError(kAudioFileOpenFailed, text.c_str());
      return true;
    }
    AudioFormatInfo f = config_.format;
    f.start_time = time + int64_t{offset_ms / 1000} * 10000000;
    enc_.AudioBegin(f.start_time, f.bitrate_kbps, f.sample_rate, f.channels, f.samples_per_block,
                    f.block_size, f.skim, false);
    const size_t count = duration_ms == 0 ? 0 : config_.blocks.size();
    for (size_t i = 0; i < count; ++i) {
      if (!enc_.AudioData(config_.blocks[i].data(), static_cast<uint32_t>(config_.blocks[i].size())))
        break;
      if (reader_.Wait(0) == WaitResult::kReady) break;
    }
    enc_.AudioEnd();
    return true;
  }

  bool RequestArchiveIndex(int64_t from, int64_t to) override {
    Note("RequestArchiveIndex");
    if (!attached_) return enc_.ArchiveIndexBegin(kIndexNotAttached, kTextNotAttached);
    if (!attached_->has_database) return enc_.ArchiveIndexBegin(kIndexNoDatabase, kTextNoDatabase);
    if (!enc_.ArchiveIndexBegin(kResultOk, kTextOk)) return false;
    for (const IndexItem& item : attached_->index) {
      if (item.start_time < from || item.start_time >= to) continue;
      if (reader_.Wait(0) == WaitResult::kReady) break;
      if (!enc_.ArchiveIndexItem(item.start_time, item.duration_ms, item.skim)) break;
    }
    return enc_.ArchiveIndexEnd();
  }

  bool RequestArchiveList(int32_t kind) override {
    Note("RequestArchiveList");
    if (user_.empty()) return enc_.ArchiveListBegin(kListNoRights, kTextNoRights);
    if (!enc_.ArchiveListBegin(kResultOk, kTextOk)) return false;
    for (const FakeArchive& a : config_.archives) {
      const int bit = kind == kListRecordings ? 1 : 2;
      if ((a.rights & bit) && a.active) enc_.ArchiveListItem(a.name.c_str());
    }
    return enc_.ArchiveListEnd();
  }

  bool RequestLiveAudio() override {
    Note("RequestLiveAudio");
    if (!attached_) return enc_.AudioError(kAudioNotAttached, kTextNotAttached);
    if (!attached_->has_live) {
      enc_.AudioError(kAudioNoLiveSource, kTextNoLiveSource);
      return true;
    }
    const AudioFormatInfo& f = config_.format;
    if (enc_.AudioBegin(1, f.bitrate_kbps, f.sample_rate, f.channels, f.samples_per_block,
                        f.block_size, false, true)) {
      for (int sent = 0; !config_.blocks.empty(); ++sent) {
        const auto& block = config_.blocks[sent % config_.blocks.size()];
        // Paced by the client: a message from it ends the stream at once.
        if (reader_.Wait(2) != WaitResult::kTimeout) break;
        if (!enc_.AudioData(block.data(), static_cast<uint32_t>(block.size()))) break;
        if (sent + 1 == config_.live_error_after) {
          enc_.AudioError(kAudioTooSlow, kTextTooSlow);
          break;
        }
      }
    }
    enc_.AudioEnd();
    return true;
  }

  bool RequestStatus() override {
    Note("RequestStatus");
    if (!attached_) return enc_.ArchiveStatusError(kStatusNotAttached, kTextNotAttached);
    for (uint64_t n = 1;; ++n) {
      if (reader_.Wait(2) != WaitResult::kTimeout) break;
      if (!enc_.ArchiveStatus(n * 1000, 1000000, 1, static_cast<int16_t>(-n), static_cast<int16_t>(n)))
        break;
    }
    return true;
  }

  bool OnConnect() override { return true; }
  void OnDisconnect() override { attached_ = nullptr; }
  bool OnIdle() override { return enc_.Ping(); }

 private:
  void Note(const char* request) {
    {
      std::lock_guard lock(server_.mutex_);
      server_.requests_.push_back(request);
    }
    if (config_.ping_before_answers) enc_.Ping();
  }

  FakeServer& server_;
  const FakeServerConfig& config_;
  ClientEnc& enc_;
  StreamReader& reader_;
  const FakeArchive* attached_ = nullptr;
  std::string user_;
};

FakeServer::FakeServer(FakeServerConfig config) : config_(std::move(config)) {}

FakeServer::~FakeServer() { Stop(); }

uint16_t FakeServer::Start() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
    return 0;
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return port_;
}

void FakeServer::Stop() {
  if (listen_fd_ < 0) return;
  stopping_ = true;
  ::shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  ::close(listen_fd_);
  listen_fd_ = -1;
  std::vector<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& c : connections) {
    c->stream.Shutdown();  // wakes the connection's reads
    c->thread.join();
  }
}

std::vector<std::string> FakeServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void FakeServer::AcceptLoop() {
  while (!stopping_) {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    auto connection = std::make_unique<Connection>();
    connection->stream.Adopt(fd);
    Connection* c = connection.get();
    std::lock_guard lock(mutex_);
    connections_.push_back(std::move(connection));
    c->thread = std::thread([this, c] { Serve(c); });
  }
}

void FakeServer::Serve(Connection* c) {
  HandshakeSeeds seeds;
  if (ServerHandshake(c->stream, c->stream, 0x5EED, kHandshakeTimeoutMs, &seeds) !=
      HandshakeResult::kOk) {
    c->stream.Shutdown();
    return;
  }
  WireRng decoder;
  decoder.Seed(seeds.client_to_server);
  ClientEnc enc(&c->stream);
  enc.rng().Seed(seeds.server_to_client);
  FakeHandler handler(*this, enc, c->stream);
  if (!handler.OnConnect()) return;
  for (;;) {
    const WaitResult w = c->stream.Wait(config_.idle_timeout_ms);
    if (w == WaitResult::kReady) {
      if (!ServerDec::Dispatch(c->stream, decoder, handler)) break;
    } else if (w == WaitResult::kTimeout) {
      if (!handler.OnIdle()) break;
    } else {
      break;
    }
  }
  handler.OnDisconnect();
  c->stream.Shutdown();
}

}  // namespace logrum::protocol::testing
