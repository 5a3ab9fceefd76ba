#include "Lib/ArchiveManager/Protocol/Handshake.h"

#include <cstring>

#include "Lib/ArchiveManager/Protocol/Messages.h"
#include "Lib/ArchiveManager/Protocol/WireRng.h"

namespace logrum::protocol {

namespace {

struct Record {
  uint8_t magic[4];
  uint32_t first;
  uint32_t second;
};

uint32_t Load(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void Store(uint32_t v, uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

HandshakeResult Receive(StreamReader& reader, uint32_t timeout_ms, Record* record) {
  uint8_t bytes[12];
  switch (reader.TimedRead(bytes, sizeof bytes, timeout_ms)) {
    case WaitResult::kReady:
      break;
    case WaitResult::kTimeout:
      return HandshakeResult::kTimeout;
    case WaitResult::kError:
      return HandshakeResult::kIoError;
  }
  std::memcpy(record->magic, bytes, 4);
  record->first = Load(bytes + 4);
  record->second = Load(bytes + 8);
  return HandshakeResult::kOk;
}

bool Send(StreamWriter& writer, uint32_t first, uint32_t second) {
  uint8_t bytes[12];
  std::memcpy(bytes, kHandshakeMagic, 4);
  Store(first, bytes + 4);
  Store(second, bytes + 8);
  StreamLock lock(writer);
  return writer.Write(bytes, sizeof bytes);
}

bool MagicOk(const Record& r) { return std::memcmp(r.magic, kHandshakeMagic, 4) == 0; }

uint32_t FirstDraw(uint32_t seed) {
  WireRng g;
  g.Seed(seed);
  return g.Draw();
}

}  // namespace

uint32_t HandshakeCheckWord(uint32_t s) { return FirstDraw(s); }
uint32_t HandshakeServerWord(uint32_t k) { return FirstDraw(k); }

uint32_t HandshakeEncoderSeed(uint32_t k) {
  WireRng g;
  g.Seed(k);
  g.Draw();
  g.Draw();
  return g.Draw();
}

void HandshakeReplyWords(uint32_t r, uint32_t* d, uint32_t* e, uint32_t* f) {
  WireRng g;
  g.Seed(r);
  *d = g.Draw();
  *e = g.Draw();
  *f = g.Draw();
}

const char* HandshakeResultText(HandshakeResult result) {
  switch (result) {
    case HandshakeResult::kOk: return "handshake complete";
    case HandshakeResult::kTimeout: return "handshake timed out";
    case HandshakeResult::kIoError: return "connection closed during the handshake";
    case HandshakeResult::kBadMagic: return "peer does not speak this protocol";
    case HandshakeResult::kBadCheck: return "handshake check word is wrong";
  }
  return "handshake failed";
}

HandshakeResult ServerHandshake(StreamReader& reader, StreamWriter& writer, uint32_t tick_ms,
                                uint32_t timeout_ms, HandshakeSeeds* seeds) {
  Record hello;
  if (HandshakeResult r = Receive(reader, timeout_ms, &hello); r != HandshakeResult::kOk) {
    return r;
  }
  if (!MagicOk(hello)) return HandshakeResult::kBadMagic;
  const uint32_t k = hello.second;
  if (k != HandshakeCheckWord(hello.first)) return HandshakeResult::kBadCheck;

  const uint32_t a = HandshakeEncoderSeed(k);
  const uint32_t b = HandshakeServerWord(k);
  const uint32_t r = FirstDraw(tick_ms);
  uint32_t d, e, f;
  HandshakeReplyWords(r, &d, &e, &f);
  if (!Send(writer, b, r)) return HandshakeResult::kIoError;

  Record reply;
  if (HandshakeResult res = Receive(reader, timeout_ms, &reply); res != HandshakeResult::kOk) {
    return res;
  }
  if (!MagicOk(reply)) return HandshakeResult::kBadMagic;
  if (reply.first != d || reply.second != e) return HandshakeResult::kBadCheck;
  seeds->client_to_server = f;
  seeds->server_to_client = a;
  return HandshakeResult::kOk;
}

HandshakeResult ClientHandshake(StreamReader& reader, StreamWriter& writer, uint32_t client_seed,
                                uint32_t timeout_ms, HandshakeSeeds* seeds) {
  const uint32_t k = HandshakeCheckWord(client_seed);
  if (!Send(writer, client_seed, k)) return HandshakeResult::kIoError;
  Record answer;
  if (HandshakeResult r = Receive(reader, timeout_ms, &answer); r != HandshakeResult::kOk) {
    return r;
  }
  if (!MagicOk(answer)) return HandshakeResult::kBadMagic;
  if (answer.first != HandshakeServerWord(k)) return HandshakeResult::kBadCheck;
  uint32_t d, e, f;
  HandshakeReplyWords(answer.second, &d, &e, &f);
  if (!Send(writer, d, e)) return HandshakeResult::kIoError;
  seeds->client_to_server = f;
  seeds->server_to_client = HandshakeEncoderSeed(k);
  return HandshakeResult::kOk;
}

}  // namespace logrum::protocol
