// libFuzzer target over everything that reads a peer's bytes: the server
// handshake, ServerDec (with a handler answering through ClientEnc) and the
// client side's ClientDec. The first input byte picks the route:
//   0  the raw bytes are the client's handshake records
//   1  a valid handshake is made for the input (client seed from bytes 1-4),
//      then the rest is client traffic, as from a client that passed it
//   2  the decoder is seeded from bytes 1-4, the rest is client traffic
//   3  the decoder is seeded from bytes 1-4, the rest is server traffic
//   4  a client on a simulated clock, served by the connection loop
//      (ServeRound): the decoder is seeded from bytes 1-4; byte 5 bit 0 says
//      whether the client stalls (stays connected, sends nothing more) or
//      vanishes (closes) after its last byte; bytes 6-7 are how many bytes
//      (times 16) it reads before it stops reading; the rest are chunks of
//      [delay in 100 ms units][length][bytes], so it may trickle a message.
//      No round may wait past the idle time-out plus one message's deadline,
//      and the loop must end once the client is gone or stops reading.
// Tags, lengths and identifiers travel plain, so the fuzzer steers the
// structure directly; scrambled values are just arbitrary values to it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Lib/ArchiveManager/Protocol/ClientDec.h"
#include "Lib/ArchiveManager/Protocol/ClientEnc.h"
#include "Lib/ArchiveManager/Protocol/Handshake.h"
#include "Lib/ArchiveManager/Protocol/MemoryStream.h"
#include "Lib/ArchiveManager/Protocol/MessageLoop.h"
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

// A client whose bytes arrive over simulated time. A read that would wait
// for ever (no deadline, the client stalled) is a hang in a real server, so
// it traps.
class PacedClient : public StreamReader, public StreamWriter {
 public:
  struct Chunk {
    uint64_t at_ms;
    std::string bytes;
  };
  PacedClient(std::vector<Chunk> chunks, bool stalls, size_t reads_up_to)
      : chunks_(std::move(chunks)), stalls_(stalls), room_(reads_up_to) {}

  uint64_t now() const { return now_; }
  bool gone() const { return next_ == chunks_.size() && !stalls_; }
  bool stopped_reading() const { return write_failed_; }

  bool Read(void* buffer, size_t n) override {
    return TimedRead(buffer, n, kWaitForever) == WaitResult::kReady;
  }
  WaitResult TimedRead(void* buffer, size_t n, uint32_t ms) override {
    auto* out = static_cast<char*>(buffer);
    const bool forever = ms == kWaitForever;
    const uint64_t end = forever ? UINT64_MAX : now_ + ms;
    while (n > 0) {
      if (next_ == chunks_.size()) {
        if (!stalls_) return WaitResult::kError;
        if (forever) __builtin_trap();  // would hang for ever
        now_ = end;
        return WaitResult::kTimeout;
      }
      Chunk& chunk = chunks_[next_];
      if (chunk.at_ms > end) {
        now_ = end;
        return WaitResult::kTimeout;
      }
      if (chunk.at_ms > now_) now_ = chunk.at_ms;
      const size_t take = std::min(n, chunk.bytes.size() - offset_);
      std::memcpy(out, chunk.bytes.data() + offset_, take);
      out += take;
      n -= take;
      offset_ += take;
      if (offset_ == chunk.bytes.size()) {
        ++next_;
        offset_ = 0;
      }
    }
    return WaitResult::kReady;
  }
  WaitResult Wait(uint32_t ms) override {
    if (next_ == chunks_.size()) {
      if (!stalls_) return WaitResult::kReady;  // the close reads as readable
      if (ms == kWaitForever) __builtin_trap();
      now_ += ms;
      return WaitResult::kTimeout;
    }
    const uint64_t at = chunks_[next_].at_ms;
    if (at <= now_) return WaitResult::kReady;
    if (ms != kWaitForever && at > now_ + ms) {
      now_ += ms;
      return WaitResult::kTimeout;
    }
    now_ = at;
    return WaitResult::kReady;
  }

  void Lock() override {}
  void Unlock() override {}
  // A client that stops reading: the write fails as after its deadline.
  bool Write(const void*, size_t n) override {
    if (write_failed_ || n > room_) {
      write_failed_ = true;
      return false;
    }
    room_ -= n;
    return true;
  }

 private:
  std::vector<Chunk> chunks_;
  const bool stalls_;
  size_t room_;
  size_t next_ = 0;
  size_t offset_ = 0;
  uint64_t now_ = 0;
  bool write_failed_ = false;
};

void ServePacedClient(const uint8_t* data, size_t size) {
  if (size < 7) return;
  const uint32_t seed = Word(data);
  const bool stalls = (data[4] & 1) != 0;
  const size_t room = (size_t{data[5]} | size_t{data[6]} << 8) * 16;
  std::vector<PacedClient::Chunk> chunks;
  uint64_t at = 0;
  for (size_t i = 7; i + 2 <= size;) {
    at += uint64_t{data[i]} * 100;
    const size_t length = std::min<size_t>(data[i + 1], size - i - 2);
    chunks.push_back({at, std::string(reinterpret_cast<const char*>(data) + i + 2, length)});
    i += 2 + length;
  }
  PacedClient client(std::move(chunks), stalls, room);
  ClientEnc enc(&client);
  enc.rng().Seed(seed ^ 0x5A5A5A5A);
  EchoHandler handler(enc);
  WireRng decoder;
  decoder.Seed(seed);
  const RoundTimeouts timeouts{5000, 10000};
  const TickSource tick = [&client] { return client.now(); };
  for (int round = 0;; ++round) {
    const uint64_t before = client.now();
    const RoundResult result = ServeRound(client, decoder, handler, timeouts, tick);
    if (client.now() - before > uint64_t{timeouts.idle_ms} + timeouts.message_ms) {
      __builtin_trap();  // a round held the connection past its deadlines
    }
    if (result == RoundResult::kEnd || result == RoundResult::kMessageLate) break;
    // A client that has closed, or stopped reading, must not keep its place.
    if (result == RoundResult::kIdle && (client.gone() || client.stopped_reading())) {
      __builtin_trap();
    }
    // An idle client that takes its Pings stays; a real one would for ever.
    if (round > 4096) break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 5;
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
  if (mode == 4) {
    ServePacedClient(data + 1, size - 1);
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
