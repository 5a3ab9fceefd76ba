#include "Lib/ArchiveManager/Protocol/ServerEnc.h"

#include "Lib/ArchiveManager/Protocol/Messages.h"
#include "Lib/ArchiveManager/Protocol/WireFormat.h"

namespace logrum::protocol {

namespace {
constexpr uint8_t Id(ClientMsg id) { return static_cast<uint8_t>(id); }
}  // namespace

bool ServerEnc::Empty(uint8_t id) {
  if (!writer_) return false;
  StreamLock lock(*writer_);
  buffer_.assign(1, static_cast<char>(id));
  return writer_->Write(buffer_.data(), buffer_.size());
}

bool ServerEnc::AttachToArchive(std::string_view name) {
  if (!writer_ || name.size() > kMaxArchiveName) return false;
  StreamLock lock(*writer_);
  buffer_.clear();
  FieldWriter out(rng_, buffer_);
  out.Id(Id(ClientMsg::kAttachToArchive));
  out.Text(name, TextDirection::kClientToServer);
  return writer_->Write(buffer_.data(), buffer_.size());
}

bool ServerEnc::GetServerVersion() { return Empty(Id(ClientMsg::kGetServerVersion)); }

bool ServerEnc::LoginUser(std::string_view user, std::string_view password) {
  if (!writer_ || user.size() > kMaxUserName || password.size() > kMaxPassword) return false;
  StreamLock lock(*writer_);
  buffer_.clear();
  FieldWriter out(rng_, buffer_);
  out.Id(Id(ClientMsg::kLoginUser));
  out.Text(user, TextDirection::kClientToServer);
  out.Text(password, TextDirection::kClientToServer);
  return writer_->Write(buffer_.data(), buffer_.size());
}

bool ServerEnc::Ping() { return Empty(Id(ClientMsg::kPing)); }
bool ServerEnc::Pong() { return Empty(Id(ClientMsg::kPong)); }

bool ServerEnc::RequestArchiveAudio(int64_t time, uint32_t offset_ms, uint32_t duration_ms) {
  if (!writer_) return false;
  StreamLock lock(*writer_);
  buffer_.clear();
  FieldWriter out(rng_, buffer_);
  out.Id(Id(ClientMsg::kRequestArchiveAudio));
  out.Int64(time);
  out.UInt32(offset_ms);
  out.UInt32(duration_ms);
  return writer_->Write(buffer_.data(), buffer_.size());
}

bool ServerEnc::RequestArchiveIndex(int64_t from, int64_t to) {
  if (!writer_) return false;
  StreamLock lock(*writer_);
  buffer_.clear();
  FieldWriter out(rng_, buffer_);
  out.Id(Id(ClientMsg::kRequestArchiveIndex));
  out.Int64(from);
  out.Int64(to);
  return writer_->Write(buffer_.data(), buffer_.size());
}

bool ServerEnc::RequestArchiveList(int32_t kind) {
  if (!writer_) return false;
  StreamLock lock(*writer_);
  buffer_.clear();
  FieldWriter out(rng_, buffer_);
  out.Id(Id(ClientMsg::kRequestArchiveList));
  out.Int32(kind);
  return writer_->Write(buffer_.data(), buffer_.size());
}

bool ServerEnc::RequestLiveAudio() { return Empty(Id(ClientMsg::kRequestLiveAudio)); }
bool ServerEnc::RequestStatus() { return Empty(Id(ClientMsg::kRequestStatus)); }

}  // namespace logrum::protocol
