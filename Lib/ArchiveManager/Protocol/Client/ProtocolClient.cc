#include "Lib/ArchiveManager/Protocol/Client/ProtocolClient.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <random>

#include "Lib/ArchiveManager/Protocol/Handshake.h"
#include "Lib/ArchiveManager/Protocol/PasswordDigest.h"

namespace logrum::protocol {

std::string ClientStatus::ToString() const {
  switch (kind_) {
    case Kind::kOk:
      return "OK";
    case Kind::kRefused:
      return text_ + " (code " + std::to_string(result_) + ")";
    case Kind::kFailed:
      return text_;
  }
  return text_;
}

ProtocolClient::ProtocolClient() = default;
ProtocolClient::~ProtocolClient() = default;

bool ProtocolClient::connected() const { return enc_ != nullptr && stream_.is_open(); }

void ProtocolClient::Close() {
  stream_.Close();
  enc_.reset();
}

ClientStatus ProtocolClient::Fail(std::string why) {
  Close();
  return ClientStatus::Failed(std::move(why));
}

ClientStatus ProtocolClient::Connect(const std::string& host, uint16_t port,
                                     const ClientOptions& options) {
  Close();
  options_ = options;
  ConnectOptions connect;
  connect.timeout_ms = options.connect_timeout_ms;
  connect.local_address = options.local_address;
  connect.receive_buffer = options.receive_buffer;
  if (platform::Status connected = stream_.Connect(host, port, connect); !connected.ok()) {
    return ClientStatus::Failed(connected.message());
  }
  // A server that stops answering must not hang the client for ever.
  timeval tv{};
  tv.tv_sec = options.answer_timeout_ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(options.answer_timeout_ms % 1000) * 1000;
  ::setsockopt(stream_.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  std::random_device random;
  HandshakeSeeds seeds;
  const HandshakeResult r =
      ClientHandshake(stream_, stream_, random(), options.connect_timeout_ms, &seeds);
  if (r != HandshakeResult::kOk) return Fail(HandshakeResultText(r));
  enc_ = std::make_unique<ServerEnc>(&stream_);
  enc_->rng().Seed(seeds.client_to_server);
  dec_rng_.Seed(seeds.server_to_client);
  return ClientStatus::Ok();
}

ClientStatus ProtocolClient::Send(bool sent) {
  return sent ? ClientStatus::Ok() : Fail("cannot send to the server");
}

ClientStatus ProtocolClient::Receive(ServerMessage* message) {
  for (;;) {
    if (!connected()) return ClientStatus::Failed("not connected");
    switch (ClientDec::Read(stream_, dec_rng_, message)) {
      case DecodeResult::kOk:
        break;
      case DecodeResult::kClosed:
        return Fail("connection closed by the server, or no answer in time");
      case DecodeResult::kMalformed:
        return Fail("malformed message from the server");
    }
    // An idle server pings between requests; nothing needs to answer that.
    if (message->id != ServerMsg::kPing) return ClientStatus::Ok();
  }
}

ClientStatus ProtocolClient::Unexpected(const ServerMessage& message) {
  return Fail(std::string("unexpected ") + ServerMsgName(message.id) + " from the server");
}

ClientStatus ProtocolClient::Expect(ServerMsg id, ServerMessage* message) {
  if (ClientStatus s = Receive(message); !s.ok()) return s;
  if (message->id != id) return Unexpected(*message);
  return ClientStatus::Ok();
}

ClientStatus ProtocolClient::StopStream() {
  if (ClientStatus s = Send(enc_->Ping()); !s.ok()) return s;
  for (;;) {
    if (ClientStatus s = Receive(&message_); !s.ok()) return s;
    switch (message_.id) {
      case ServerMsg::kPong:
        return ClientStatus::Ok();
      case ServerMsg::kAudioData:
      case ServerMsg::kAudioEnd:
      case ServerMsg::kAudioError:
      case ServerMsg::kArchiveStatus:
        continue;  // the tail of the stream that was in flight
      default:
        return Unexpected(message_);
    }
  }
}

ClientStatus ProtocolClient::GetServerVersion(ServerVersion* version) {
  if (!connected()) return ClientStatus::Failed("not connected");
  if (ClientStatus s = Send(enc_->GetServerVersion()); !s.ok()) return s;
  if (ClientStatus s = Expect(ServerMsg::kServerVersionResult, &message_); !s.ok()) return s;
  *version = message_.version;
  return ClientStatus::Ok();
}

ClientStatus ProtocolClient::Login(const std::string& user, const std::string& password) {
  if (!connected()) return ClientStatus::Failed("not connected");
  if (user.size() > kMaxUserName) return ClientStatus::Failed("user name longer than 31 bytes");
  if (password.size() > kMaxPassword) return ClientStatus::Failed("password longer than 31 bytes");
  if (ClientStatus s = Send(enc_->LoginUser(user, password)); !s.ok()) return s;
  if (ClientStatus s = Expect(ServerMsg::kConnectResult, &message_); !s.ok()) return s;
  if (message_.result != kResultOk) return ClientStatus::Refused(message_.result, message_.text);
  return ClientStatus::Ok();
}

ClientStatus ProtocolClient::LoginWithPassword(const std::string& user,
                                               const std::string& plain_password) {
  return Login(user, PasswordDigestText(user, plain_password));
}

ClientStatus ProtocolClient::ListArchives(int32_t kind, std::vector<std::string>* archives) {
  archives->clear();
  if (!connected()) return ClientStatus::Failed("not connected");
  if (ClientStatus s = Send(enc_->RequestArchiveList(kind)); !s.ok()) return s;
  if (ClientStatus s = Expect(ServerMsg::kArchiveListBegin, &message_); !s.ok()) return s;
  if (message_.result != kResultOk) return ClientStatus::Refused(message_.result, message_.text);
  for (;;) {
    if (ClientStatus s = Receive(&message_); !s.ok()) return s;
    if (message_.id == ServerMsg::kArchiveListEnd) return ClientStatus::Ok();
    if (message_.id != ServerMsg::kArchiveListItem) return Unexpected(message_);
    archives->push_back(message_.text);
  }
}

ClientStatus ProtocolClient::Attach(const std::string& archive) {
  if (!connected()) return ClientStatus::Failed("not connected");
  if (archive.size() > kMaxArchiveName) {
    return ClientStatus::Failed("archive name longer than 31 bytes");
  }
  if (ClientStatus s = Send(enc_->AttachToArchive(archive)); !s.ok()) return s;
  if (ClientStatus s = Expect(ServerMsg::kAttachToArchiveResult, &message_); !s.ok()) return s;
  if (message_.result != kResultOk) return ClientStatus::Refused(message_.result, message_.text);
  return ClientStatus::Ok();
}

ClientStatus ProtocolClient::GetIndex(int64_t from, int64_t to, std::vector<IndexItem>* items) {
  items->clear();
  if (!connected()) return ClientStatus::Failed("not connected");
  if (ClientStatus s = Send(enc_->RequestArchiveIndex(from, to)); !s.ok()) return s;
  if (ClientStatus s = Expect(ServerMsg::kArchiveIndexBegin, &message_); !s.ok()) return s;
  if (message_.result != kResultOk) return ClientStatus::Refused(message_.result, message_.text);
  for (;;) {
    if (ClientStatus s = Receive(&message_); !s.ok()) return s;
    switch (message_.id) {
      case ServerMsg::kArchiveIndexEnd:
        return ClientStatus::Ok();
      case ServerMsg::kArchiveIndexItem:
      case ServerMsg::kArchiveIndexNewItem:
        items->push_back(message_.item);
        break;
      default:
        return Unexpected(message_);
    }
  }
}

ClientStatus ProtocolClient::ReceiveAudio(AudioReceiver& receiver) {
  if (ClientStatus s = Receive(&message_); !s.ok()) return s;
  if (message_.id == ServerMsg::kAudioError) {
    return ClientStatus::Refused(message_.result, message_.text);
  }
  if (message_.id != ServerMsg::kAudioBegin) return Unexpected(message_);
  if (!receiver.OnAudioBegin(message_.audio)) return StopStream();
  // An error inside the stream (encoder fault, client too slow) still ends
  // with AudioEnd; it is reported once the stream is over.
  ClientStatus outcome = ClientStatus::Ok();
  for (;;) {
    if (ClientStatus s = Receive(&message_); !s.ok()) return s;
    switch (message_.id) {
      case ServerMsg::kAudioData:
        if (!receiver.OnAudioData(message_.data.data(), message_.data.size())) return StopStream();
        break;
      case ServerMsg::kAudioError:
        outcome = ClientStatus::Refused(message_.result, message_.text);
        break;
      case ServerMsg::kAudioEnd:
        return outcome;
      default:
        return Unexpected(message_);
    }
  }
}

ClientStatus ProtocolClient::PlayArchive(int64_t segment_start, uint32_t offset_ms,
                                         uint32_t duration_ms, AudioReceiver& receiver) {
  if (!connected()) return ClientStatus::Failed("not connected");
  if (ClientStatus s = Send(enc_->RequestArchiveAudio(segment_start, offset_ms, duration_ms));
      !s.ok()) {
    return s;
  }
  return ReceiveAudio(receiver);
}

ClientStatus ProtocolClient::PlayLive(AudioReceiver& receiver) {
  if (!connected()) return ClientStatus::Failed("not connected");
  if (ClientStatus s = Send(enc_->RequestLiveAudio()); !s.ok()) return s;
  return ReceiveAudio(receiver);
}

ClientStatus ProtocolClient::FollowStatus(
    const std::function<bool(const ArchiveStatusInfo&)>& on_status) {
  if (!connected()) return ClientStatus::Failed("not connected");
  if (ClientStatus s = Send(enc_->RequestStatus()); !s.ok()) return s;
  for (;;) {
    if (ClientStatus s = Receive(&message_); !s.ok()) return s;
    if (message_.id == ServerMsg::kArchiveStatusError) {
      return ClientStatus::Refused(message_.result, message_.text);
    }
    if (message_.id != ServerMsg::kArchiveStatus) return Unexpected(message_);
    if (!on_status(message_.status)) return StopStream();
  }
}

ClientStatus ProtocolClient::Ping() {
  if (!connected()) return ClientStatus::Failed("not connected");
  if (ClientStatus s = Send(enc_->Ping()); !s.ok()) return s;
  return Expect(ServerMsg::kPong, &message_);
}

}  // namespace logrum::protocol
