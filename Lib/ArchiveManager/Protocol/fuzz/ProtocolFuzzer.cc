// libFuzzer target over everything that reads a peer's bytes: the server
// handshake, ServerDec (with a handler answering through ClientEnc) and the
// client side's ClientDec. The first input byte picks the route:
//   0  the raw bytes are the client's handshake records
//   1  a valid handshake is made for the input (client seed from bytes 1-4),
//      then the rest is client traffic, as from a client that passed it
//   2  the decoder is seeded from bytes 1-4, the rest is client traffic
//   3  the decoder is seeded from bytes 1-4, the rest is server traffic
// Tags, lengths and identifiers travel plain, so the fuzzer steers the
// structure directly; scrambled values are just arbitrary values to it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "Lib/ArchiveManager/Protocol/ClientDec.h"
#include "Lib/ArchiveManager/Protocol/ClientEnc.h"
#include "Lib/ArchiveManager/Protocol/Handshake.h"
#include "Lib/ArchiveManager/Protocol/MemoryStream.h"
#include "Lib/ArchiveManager/Protocol/Messages.h"
#include "Lib/ArchiveManager/Protocol/ServerDec.h"

namespace {

using namespace logrum::protocol;

constexpr uint32_t kTick = 0x2468ACE;

// Answers every request through a real encoder, so that decoded values reach
// the encoding paths too.
class EchoHandler : public ClientHandler {
 public:
  explicit EchoHandler(ClientEnc& enc) : enc_(enc) {}
  bool OnStringTooLong(const char*, uint32_t, uint32_t) override { return false; }
  bool AttachToArchive(const char* name) override {
    return enc_.AttachToArchiveResult(name ? 0 : 1, name ? name : kTextArchiveNotFound);
  }
  bool GetServerVersion() override { return enc_.ServerVersionResult(2, 5, 9, 250); }
  bool LoginUser(const char* user, const char* password) override {
    return enc_.ConnectResult(user && password ? 0 : 1, user ? user : kTextLoginFailed);
  }
  bool Ping() override { return enc_.Pong(); }
  bool Pong() override { return true; }
  bool RequestArchiveAudio(int64_t time, uint32_t offset_ms, uint32_t duration_ms) override {
    uint8_t block[64] = {};
    std::memcpy(block, &time, sizeof time);
    return enc_.AudioBegin(time, 128, 44100, 2, offset_ms, static_cast<int32_t>(duration_ms),
                           false, false) &&
           enc_.AudioData(block, duration_ms % sizeof block) && enc_.AudioEnd();
  }
  bool RequestArchiveIndex(int64_t from, int64_t to) override {
    return enc_.ArchiveIndexBegin(0, kTextOk) &&
           enc_.ArchiveIndexItem(from, static_cast<uint32_t>(to), from < to) &&
           enc_.ArchiveIndexEnd();
  }
  bool RequestArchiveList(int32_t kind) override {
    return enc_.ArchiveListBegin(0, kTextOk) && enc_.ArchiveListItem(kind == 1 ? "A" : nullptr) &&
           enc_.ArchiveListEnd();
  }
  bool RequestLiveAudio() override { return enc_.AudioError(2, kTextNoLiveSource); }
  bool RequestStatus() override { return enc_.ArchiveStatus(1, 2, 3, -4, 5); }
  bool OnConnect() override { return true; }
  void OnDisconnect() override {}
  bool OnIdle() override { return enc_.Ping(); }

 private:
  ClientEnc& enc_;
};

uint32_t Word(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

std::string Record(uint32_t a, uint32_t b) {
  std::string s(kHandshakeMagic, 4);
  for (uint32_t v : {a, b}) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  }
  return s;
}

void ServeClientTraffic(MemoryReader& reader, uint32_t decoder_seed, uint32_t encoder_seed) {
  MemoryWriter writer;
  ClientEnc enc(&writer);
  enc.rng().Seed(encoder_seed);
  EchoHandler handler(enc);
  WireRng decoder;
  decoder.Seed(decoder_seed);
  while (reader.remaining() > 0 && ServerDec::Dispatch(reader, decoder, handler)) {
  }
  // What the server answered must decode cleanly on the client side.
  MemoryReader answers(writer.data());
  WireRng client;
  client.Seed(encoder_seed);
  ServerMessage m;
  while (answers.remaining() > 0) {
    if (ClientDec::Read(answers, client, &m) != DecodeResult::kOk) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 4;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);

  if (mode == 0) {
    MemoryReader reader(rest);
    MemoryWriter writer;
    HandshakeSeeds seeds;
    const HandshakeResult r = ServerHandshake(reader, writer, kTick, 1, &seeds);
    // Nothing may be sent unless the first record was right.
    if (r == HandshakeResult::kBadMagic || r == HandshakeResult::kBadCheck) {
      if (!writer.data().empty() && reader.consumed() <= 12) __builtin_trap();
    }
    if (r == HandshakeResult::kOk) ServeClientTraffic(reader, seeds.client_to_server,
                                                      seeds.server_to_client);
    return 0;
  }
  if (size < 5) return 0;
  const uint32_t seed = Word(data + 1);
  const std::string traffic = rest.substr(4);

  if (mode == 1) {
    const uint32_t k = HandshakeCheckWord(seed);
    uint32_t d, e, f;
    HandshakeReplyWords(HandshakeCheckWord(kTick), &d, &e, &f);
    MemoryReader reader(Record(seed, k) + Record(d, e) + traffic);
    MemoryWriter writer;
    HandshakeSeeds seeds;
    if (ServerHandshake(reader, writer, kTick, 1, &seeds) != HandshakeResult::kOk) {
      __builtin_trap();
    }
    ServeClientTraffic(reader, seeds.client_to_server, seeds.server_to_client);
  } else if (mode == 2) {
    MemoryReader reader(traffic);
    ServeClientTraffic(reader, seed, seed ^ 0x5A5A5A5A);
  } else {
    MemoryReader reader(traffic);
    WireRng rng;
    rng.Seed(seed);
    ServerMessage m;
    while (ClientDec::Read(reader, rng, &m) == DecodeResult::kOk) {
    }
  }
  return 0;
}
