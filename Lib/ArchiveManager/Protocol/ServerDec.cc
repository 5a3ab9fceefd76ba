#include "Lib/ArchiveManager/Protocol/ServerDec.h"

#include "Lib/ArchiveManager/Protocol/Messages.h"
#include "Lib/ArchiveManager/Protocol/WireFormat.h"
#include "Lib/Diagnostics/Trace.h"

namespace logrum::protocol {

namespace {

using diag::DebugTrace;

// One message's decoding context: the reader of its fields and the names for
// its trace lines.
struct Handler {
  FieldReader& in;
  ClientHandler& client;
  const char* message;  // "Ping", ...
};

bool Finish(const Handler& h, bool ok) {
  DebugTrace("ServerDec::Handle%s(): Return %s\n", h.message, ok ? "OK" : "Error!");
  return ok;
}

void TraceCall(const Handler& h) {
  DebugTrace("ServerDec::Handle%s(): Call %s()\n", h.message, h.message);
}

// Reads a text field of at most 31 bytes; null for an empty one.
bool ReadName(const Handler& h, const char* field, uint32_t max, char (&buffer)[32],
              const char** value) {
  uint32_t length = 0;
  switch (h.in.Text(buffer, max, &length, TextDirection::kClientToServer)) {
    case FieldResult::kOk:
      *value = length == 0 ? nullptr : buffer;
      return true;
    case FieldResult::kTooLong:
      // The handler refuses; whatever it answers, the unread bytes leave the
      // stream out of step, so the connection cannot go on.
      h.client.OnStringTooLong(field, length, max);
      return false;
    case FieldResult::kFailed:
      break;
  }
  return false;
}

bool HandleAttachToArchive(const Handler& h) {
  char name[32];
  const char* value = nullptr;
  if (!ReadName(h, "szArchiveName", kMaxArchiveName, name, &value)) return Finish(h, false);
  TraceCall(h);
  return Finish(h, h.client.AttachToArchive(value));
}

bool HandleGetServerVersion(const Handler& h) {
  TraceCall(h);
  return Finish(h, h.client.GetServerVersion());
}

bool HandleLoginUser(const Handler& h) {
  char user[32], pass[32];
  const char* user_value = nullptr;
  const char* pass_value = nullptr;
  if (!ReadName(h, "szUser", kMaxUserName, user, &user_value) ||
      !ReadName(h, "szPass", kMaxPassword, pass, &pass_value)) {
    return Finish(h, false);
  }
  TraceCall(h);
  return Finish(h, h.client.LoginUser(user_value, pass_value));
}

bool HandlePing(const Handler& h) {
  TraceCall(h);
  return Finish(h, h.client.Ping());
}

bool HandlePong(const Handler& h) {
  TraceCall(h);
  return Finish(h, h.client.Pong());
}

bool HandleRequestArchiveAudio(const Handler& h) {
  int64_t time;
  uint32_t offset_ms, duration_ms;
  if (!h.in.Int64(&time) || !h.in.UInt32(&offset_ms) || !h.in.UInt32(&duration_ms)) {
    return Finish(h, false);
  }
  TraceCall(h);
  return Finish(h, h.client.RequestArchiveAudio(time, offset_ms, duration_ms));
}

bool HandleRequestArchiveIndex(const Handler& h) {
  int64_t from, to;
  if (!h.in.Int64(&from) || !h.in.Int64(&to)) return Finish(h, false);
  TraceCall(h);
  return Finish(h, h.client.RequestArchiveIndex(from, to));
}

bool HandleRequestArchiveList(const Handler& h) {
  int32_t kind;
  if (!h.in.Int32(&kind)) return Finish(h, false);
  TraceCall(h);
  return Finish(h, h.client.RequestArchiveList(kind));
}

bool HandleRequestLiveAudio(const Handler& h) {
  TraceCall(h);
  return Finish(h, h.client.RequestLiveAudio());
}

bool HandleRequestStatus(const Handler& h) {
  TraceCall(h);
  return Finish(h, h.client.RequestStatus());
}

using HandlerFn = bool (*)(const Handler&);

// Indexed by identifier.
constexpr HandlerFn kDispatch[kClientMsgCount] = {
    HandleAttachToArchive,     HandleGetServerVersion,    HandleLoginUser,
    HandlePing,                HandlePong,                HandleRequestArchiveAudio,
    HandleRequestArchiveIndex, HandleRequestArchiveList,  HandleRequestLiveAudio,
    HandleRequestStatus,
};

}  // namespace

bool ServerDec::Dispatch(StreamReader& reader, WireRng& rng, ClientHandler& handler) {
  uint8_t id;
  if (!reader.Read(&id, 1)) return false;
  if (id >= kClientMsgCount) {
    DebugTrace("ServerDec: unknown message identifier %u\n", id);
    return false;
  }
  FieldReader in(reader, rng);
  const char* name = ClientMsgName(static_cast<ClientMsg>(id));
  DebugTrace("ServerDec::Handle%s(): Enter\n", name);
  return kDispatch[id](Handler{in, handler, name});
}

}  // namespace logrum::protocol
