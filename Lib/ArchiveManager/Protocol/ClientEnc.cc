#include "Lib/ArchiveManager/Protocol/ClientEnc.h"

#include <cstring>

#include "Lib/ArchiveManager/Protocol/Messages.h"
#include "Lib/ArchiveManager/Protocol/WireFormat.h"
#include "Lib/Diagnostics/Trace.h"

namespace logrum::protocol {

// One message being built: holds the writer's lock for its lifetime, keeps
// the generator's state so that a refused message can be taken back whole.
class ClientEnc::Message {
 public:
  Message(ClientEnc& enc, uint8_t id)
      : enc_(enc), lock_(*enc.writer_), saved_(enc.rng_), out_(enc.rng_, enc.buffer_) {
    enc_.buffer_.clear();
    out_.Id(id);
  }

  FieldWriter& out() { return out_; }

  // Adds a text field unless it is too long; a refused text cancels the message.
  bool Text(const char* field, const char* text, uint32_t max) {
    const size_t length = text ? std::strlen(text) : 0;
    if (length > max) return Refuse(field, length, max);
    out_.Text(std::string_view(text ? text : "", length), TextDirection::kServerToClient);
    return true;
  }

  bool Refuse(const char* field, size_t length, uint32_t max) {
    enc_.rng_ = saved_;
    enc_.buffer_.clear();
    const auto announced = static_cast<uint32_t>(length > UINT32_MAX ? UINT32_MAX : length);
    return enc_.OnStringTooLong(field, announced, max);
  }

  bool Send() { return enc_.writer_->Write(enc_.buffer_.data(), enc_.buffer_.size()); }

 private:
  ClientEnc& enc_;
  StreamLock lock_;
  WireRng saved_;
  FieldWriter out_;
};

namespace {
void TraceMessage(const char* name) { diag::DebugTrace("ClientEnc::%s\n", name); }
}  // namespace

bool ClientEnc::OnStringTooLong(const char* field, uint32_t length, uint32_t max) {
  diag::DebugTrace("ClientEnc: %s of %u bytes exceeds %u, message not sent\n", field, length, max);
  return false;
}

bool ClientEnc::ResultMessage(const char* name, uint8_t id, int32_t result,
                              const char* pszMessage) {
  if (!writer_) return false;
  TraceMessage(name);
  Message m(*this, id);
  m.out().Int32(result);
  return m.Text("pszMessage", pszMessage, kMaxMessageText) && m.Send();
}

bool ClientEnc::EmptyMessage(const char* name, uint8_t id) {
  if (!writer_) return false;
  TraceMessage(name);
  Message m(*this, id);
  return m.Send();
}

bool ClientEnc::IndexItem(const char* name, uint8_t id, int64_t start_time, uint32_t duration_ms,
                          bool skim) {
  if (!writer_) return false;
  TraceMessage(name);
  Message m(*this, id);
  m.out().Int64(start_time);
  m.out().UInt32(duration_ms);
  m.out().Flag(skim);
  return m.Send();
}

bool ClientEnc::ArchiveIndexBegin(int32_t result, const char* pszMessage) {
  return ResultMessage("ArchiveIndexBegin", 0, result, pszMessage);
}
bool ClientEnc::ArchiveIndexEnd() { return EmptyMessage("ArchiveIndexEnd", 1); }
bool ClientEnc::ArchiveIndexItem(int64_t start_time, uint32_t duration_ms, bool skim) {
  return IndexItem("ArchiveIndexItem", 2, start_time, duration_ms, skim);
}
bool ClientEnc::ArchiveIndexNewItem(int64_t start_time, uint32_t duration_ms, bool skim) {
  return IndexItem("ArchiveIndexNewItem", 3, start_time, duration_ms, skim);
}
bool ClientEnc::ArchiveListBegin(int32_t result, const char* pszMessage) {
  return ResultMessage("ArchiveListBegin", 4, result, pszMessage);
}
bool ClientEnc::ArchiveListEnd() { return EmptyMessage("ArchiveListEnd", 5); }

bool ClientEnc::ArchiveListItem(const char* pszArchive) {
  if (!writer_) return false;
  TraceMessage("ArchiveListItem");
  Message m(*this, 6);
  return m.Text("pszArchive", pszArchive, kMaxArchiveName) && m.Send();
}

bool ClientEnc::ArchiveStatusError(int32_t result, const char* pszMessage) {
  return ResultMessage("ArchiveStatusError", 7, result, pszMessage);
}

bool ClientEnc::ArchiveStatus(uint64_t used_kb, uint64_t total_kb, uint32_t clients,
                              int16_t peak_min, int16_t peak_max) {
  if (!writer_) return false;
  TraceMessage("ArchiveStatus");
  Message m(*this, 8);
  m.out().UInt64(used_kb);
  m.out().UInt64(total_kb);
  m.out().UInt32(clients);
  m.out().Int16(peak_min);
  m.out().Int16(peak_max);
  return m.Send();
}

bool ClientEnc::AttachToArchiveResult(int32_t result, const char* pszMessage) {
  return ResultMessage("AttachToArchiveResult", 9, result, pszMessage);
}

bool ClientEnc::AudioBegin(int64_t start_time, int32_t bitrate_kbps, int32_t sample_rate,
                           uint8_t channels, uint32_t samples_per_block, int32_t block_size,
                           bool skim, bool live) {
  if (!writer_) return false;
  TraceMessage("AudioBegin");
  Message m(*this, 10);
  m.out().Int64(start_time);
  m.out().Int32(bitrate_kbps);
  m.out().Int32(sample_rate);
  m.out().UInt8(channels);
  m.out().UInt32(samples_per_block);
  m.out().Int32(block_size);
  m.out().Flag(skim);
  m.out().Flag(live);
  return m.Send();
}

bool ClientEnc::AudioData(const void* pData, uint32_t size) {
  if (!writer_) return false;
  TraceMessage("AudioData");
  Message m(*this, 11);
  if (size > kMaxAudioData) return m.Refuse("pData", size, kMaxAudioData);
  // One write per message: the block is copied once into the message buffer
  // so that the peer receives it in one piece, with no small-write stall.
  m.out().Bytes(pData, size);
  return m.Send();
}

bool ClientEnc::AudioEnd() { return EmptyMessage("AudioEnd", 12); }
bool ClientEnc::AudioError(int32_t result, const char* pszMessage) {
  return ResultMessage("AudioError", 13, result, pszMessage);
}
bool ClientEnc::ConnectResult(int32_t result, const char* pszMessage) {
  return ResultMessage("ConnectResult", 14, result, pszMessage);
}
bool ClientEnc::Ping() { return EmptyMessage("Ping", 15); }
bool ClientEnc::Pong() { return EmptyMessage("Pong", 16); }

bool ClientEnc::ServerVersionResult(int32_t major, int32_t minor, int32_t revision,
                                    int32_t build) {
  if (!writer_) return false;
  TraceMessage("ServerVersionResult");
  Message m(*this, 17);
  m.out().Int32(major);
  m.out().Int32(minor);
  m.out().Int32(revision);
  m.out().Int32(build);
  return m.Send();
}

}  // namespace logrum::protocol
