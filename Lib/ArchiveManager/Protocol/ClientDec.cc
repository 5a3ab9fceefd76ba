#include "Lib/ArchiveManager/Protocol/ClientDec.h"

#include "Lib/ArchiveManager/Protocol/WireFormat.h"

namespace logrum::protocol {

namespace {

bool ReadText(FieldReader& in, uint32_t max, std::string* text) {
  char buffer[kMaxMessageText + 1];
  uint32_t length = 0;
  if (in.Text(buffer, max, &length, TextDirection::kServerToClient) != FieldResult::kOk) {
    return false;
  }
  text->assign(buffer, length);
  return true;
}

bool ReadResult(FieldReader& in, ServerMessage* m) {
  return in.Int32(&m->result) && ReadText(in, kMaxMessageText, &m->text);
}

bool ReadItem(FieldReader& in, IndexItem* item) {
  return in.Int64(&item->start_time) && in.UInt32(&item->duration_ms) && in.Flag(&item->skim);
}

bool ReadFields(FieldReader& in, ServerMessage* m) {
  switch (m->id) {
    case ServerMsg::kArchiveIndexBegin:
    case ServerMsg::kArchiveListBegin:
    case ServerMsg::kArchiveStatusError:
    case ServerMsg::kAttachToArchiveResult:
    case ServerMsg::kAudioError:
    case ServerMsg::kConnectResult:
      return ReadResult(in, m);
    case ServerMsg::kArchiveIndexEnd:
    case ServerMsg::kArchiveListEnd:
    case ServerMsg::kAudioEnd:
    case ServerMsg::kPing:
    case ServerMsg::kPong:
      return true;
    case ServerMsg::kArchiveIndexItem:
    case ServerMsg::kArchiveIndexNewItem:
      return ReadItem(in, &m->item);
    case ServerMsg::kArchiveListItem:
      return ReadText(in, kMaxArchiveName, &m->text);
    case ServerMsg::kArchiveStatus: {
      ArchiveStatusInfo& s = m->status;
      return in.UInt64(&s.used_kb) && in.UInt64(&s.total_kb) && in.UInt32(&s.clients) &&
             in.Int16(&s.peak_min) && in.Int16(&s.peak_max);
    }
    case ServerMsg::kAudioBegin: {
      AudioFormatInfo& a = m->audio;
      return in.Int64(&a.start_time) && in.Int32(&a.bitrate_kbps) && in.Int32(&a.sample_rate) &&
             in.UInt8(&a.channels) && in.UInt32(&a.samples_per_block) &&
             in.Int32(&a.block_size) && in.Flag(&a.skim) && in.Flag(&a.live);
    }
    case ServerMsg::kAudioData: {
      uint8_t buffer[kMaxAudioData];
      uint32_t length = 0;
      if (in.Bytes(buffer, kMaxAudioData, &length) != FieldResult::kOk) return false;
      m->data.assign(buffer, buffer + length);
      return true;
    }
    case ServerMsg::kServerVersionResult: {
      ServerVersion& v = m->version;
      return in.Int32(&v.major) && in.Int32(&v.minor) && in.Int32(&v.revision) &&
             in.Int32(&v.build);
    }
  }
  return false;
}

}  // namespace

DecodeResult ClientDec::Read(StreamReader& reader, WireRng& rng, ServerMessage* message) {
  uint8_t id;
  if (!reader.Read(&id, 1)) return DecodeResult::kClosed;
  if (id >= kServerMsgCount) return DecodeResult::kMalformed;
  message->id = static_cast<ServerMsg>(id);
  message->result = 0;
  message->text.clear();
  message->item = {};
  message->status = {};
  message->audio = {};
  message->data.clear();
  message->version = {};
  FieldReader in(reader, rng);
  return ReadFields(in, message) ? DecodeResult::kOk : DecodeResult::kMalformed;
}

bool SendServerMessage(ClientEnc& enc, const ServerMessage& m) {
  const char* text = m.text.c_str();
  switch (m.id) {
    case ServerMsg::kArchiveIndexBegin: return enc.ArchiveIndexBegin(m.result, text);
    case ServerMsg::kArchiveIndexEnd: return enc.ArchiveIndexEnd();
    case ServerMsg::kArchiveIndexItem:
      return enc.ArchiveIndexItem(m.item.start_time, m.item.duration_ms, m.item.skim);
    case ServerMsg::kArchiveIndexNewItem:
      return enc.ArchiveIndexNewItem(m.item.start_time, m.item.duration_ms, m.item.skim);
    case ServerMsg::kArchiveListBegin: return enc.ArchiveListBegin(m.result, text);
    case ServerMsg::kArchiveListEnd: return enc.ArchiveListEnd();
    case ServerMsg::kArchiveListItem: return enc.ArchiveListItem(text);
    case ServerMsg::kArchiveStatusError: return enc.ArchiveStatusError(m.result, text);
    case ServerMsg::kArchiveStatus:
      return enc.ArchiveStatus(m.status.used_kb, m.status.total_kb, m.status.clients,
                               m.status.peak_min, m.status.peak_max);
    case ServerMsg::kAttachToArchiveResult: return enc.AttachToArchiveResult(m.result, text);
    case ServerMsg::kAudioBegin:
      return enc.AudioBegin(m.audio.start_time, m.audio.bitrate_kbps, m.audio.sample_rate,
                            m.audio.channels, m.audio.samples_per_block, m.audio.block_size,
                            m.audio.skim, m.audio.live);
    case ServerMsg::kAudioData:
      return enc.AudioData(m.data.data(), static_cast<uint32_t>(m.data.size()));
    case ServerMsg::kAudioEnd: return enc.AudioEnd();
    case ServerMsg::kAudioError: return enc.AudioError(m.result, text);
    case ServerMsg::kConnectResult: return enc.ConnectResult(m.result, text);
    case ServerMsg::kPing: return enc.Ping();
    case ServerMsg::kPong: return enc.Pong();
    case ServerMsg::kServerVersionResult:
      return enc.ServerVersionResult(m.version.major, m.version.minor, m.version.revision,
                                     m.version.build);
  }
  return false;
}

}  // namespace logrum::protocol
