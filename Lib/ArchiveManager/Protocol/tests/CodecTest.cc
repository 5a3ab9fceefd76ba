#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "Lib/ArchiveManager/Protocol/ClientDec.h"
#include "Lib/ArchiveManager/Protocol/ClientEnc.h"
#include "Lib/ArchiveManager/Protocol/MemoryStream.h"
#include "Lib/ArchiveManager/Protocol/ServerDec.h"
#include "Lib/ArchiveManager/Protocol/ServerEnc.h"
#include "Lib/ArchiveManager/Protocol/WireFormat.h"
#include "Lib/ArchiveManager/Protocol/tests/ProtocolTestUtil.h"

namespace logrum::protocol {
namespace {

using testing::EveryServerMessage;
using testing::RecordingHandler;

constexpr uint32_t kSeed = 0x1234567;

WireRng Seeded(uint32_t seed = kSeed) {
  WireRng g;
  g.Seed(seed);
  return g;
}

WireRng AfterDraws(int draws, uint32_t seed = kSeed) {
  WireRng g = Seeded(seed);
  for (int i = 0; i < draws; ++i) g.Draw();
  return g;
}

TEST(FieldCodecTest, EachFieldConsumesItsDocumentedNumberOfDraws) {
  struct Case {
    const char* name;
    std::function<void(FieldWriter&)> write;
    int draws;
  } cases[] = {
      {"flag", [](FieldWriter& w) { w.Flag(true); }, 1},
      {"uint8", [](FieldWriter& w) { w.UInt8(7); }, 1},
      {"int16", [](FieldWriter& w) { w.Int16(-2); }, 1},
      {"int32", [](FieldWriter& w) { w.Int32(-3); }, 2},
      {"uint32", [](FieldWriter& w) { w.UInt32(3); }, 2},
      {"int64", [](FieldWriter& w) { w.Int64(-4); }, 3},
      {"uint64", [](FieldWriter& w) { w.UInt64(4); }, 3},
      {"empty text to server", [](FieldWriter& w) { w.Text("", TextDirection::kClientToServer); }, 1},
      {"empty text to client", [](FieldWriter& w) { w.Text("", TextDirection::kServerToClient); }, 0},
      {"3-byte text", [](FieldWriter& w) { w.Text("abc", TextDirection::kServerToClient); }, 1},
      {"4-byte text", [](FieldWriter& w) { w.Text("abcd", TextDirection::kClientToServer); }, 2},
      {"9-byte text", [](FieldWriter& w) { w.Text("abcdefghi", TextDirection::kServerToClient); }, 3},
      {"byte array", [](FieldWriter& w) { w.Bytes("abcdefgh", 8); }, 0},
  };
  for (const Case& c : cases) {
    WireRng g = Seeded();
    std::string out;
    FieldWriter w(g, out);
    c.write(w);
    EXPECT_EQ(g, AfterDraws(c.draws)) << c.name;
  }
}

TEST(FieldCodecTest, TagsAndLengthsArePlainAndValuesLittleEndianScrambled) {
  WireRng g = Seeded();
  std::string out;
  FieldWriter w(g, out);
  w.Id(17);
  w.Int32(250);
  w.Text("hi", TextDirection::kServerToClient);
  w.Bytes("\x01\x02", 2);
  ASSERT_EQ(out.size(), 1u + 5 + 7 + 7);
  EXPECT_EQ(out[0], 17);
  EXPECT_EQ(static_cast<uint8_t>(out[1]), 'G');
  WireRng key = Seeded();
  uint8_t value[4];
  key.Apply(value, out.data() + 2, 4);
  EXPECT_EQ(std::memcmp(value, "\xFA\x00\x00\x00", 4), 0);
  EXPECT_EQ(static_cast<uint8_t>(out[6]), 0xFF);
  EXPECT_EQ(out.substr(7, 4), std::string("\x02\x00\x00\x00", 4));
  char text[2];
  key.Apply(text, out.data() + 11, 2);
  EXPECT_EQ(std::string(text, 2), "hi");
  EXPECT_EQ(static_cast<uint8_t>(out[13]), 0x83);
  EXPECT_EQ(out.substr(14), std::string("\x02\x00\x00\x00\x01\x02", 6));
}

TEST(ServerMessageCodecTest, EveryMessageRoundTripsInOneStream) {
  MemoryWriter wire;
  ClientEnc enc(&wire);
  enc.rng().Seed(kSeed);
  const auto messages = EveryServerMessage();
  for (const auto& m : messages) ASSERT_TRUE(SendServerMessage(enc, m)) << ServerMsgName(m.id);
  EXPECT_EQ(wire.unlocked_writes(), 0);

  MemoryReader reader(wire.data());
  WireRng dec = Seeded();
  for (const auto& expected : messages) {
    ServerMessage got;
    ASSERT_EQ(ClientDec::Read(reader, dec, &got), DecodeResult::kOk) << ServerMsgName(expected.id);
    EXPECT_EQ(got, expected) << ServerMsgName(expected.id);
  }
  EXPECT_EQ(reader.remaining(), 0u);
  EXPECT_EQ(dec, enc.rng());
  ServerMessage end;
  EXPECT_EQ(ClientDec::Read(reader, dec, &end), DecodeResult::kClosed);
}

TEST(ServerMessageCodecTest, VersionResultCarriesTheFixedVersion) {
  MemoryWriter wire;
  ClientEnc enc(&wire);
  ASSERT_TRUE(enc.ServerVersionResult(kVersionMajor, kVersionMinor, kVersionRevision,
                                      kVersionBuild));
  MemoryReader reader(wire.data());
  WireRng dec;
  ServerMessage got;
  ASSERT_EQ(ClientDec::Read(reader, dec, &got), DecodeResult::kOk);
  EXPECT_EQ(got.id, ServerMsg::kServerVersionResult);
  EXPECT_EQ(got.version, (ServerVersion{2, 5, 9, 250}));
  EXPECT_EQ(wire.data().size(), 1u + 4 * 5);
}

class RefusingEnc : public ClientEnc {
 public:
  using ClientEnc::ClientEnc;
  std::vector<std::string> refused;
  bool OnStringTooLong(const char* field, uint32_t length, uint32_t max) override {
    refused.push_back(std::string(field) + " " + std::to_string(length) + "/" +
                      std::to_string(max));
    return ClientEnc::OnStringTooLong(field, length, max);
  }
};

TEST(ServerMessageCodecTest, RefusedMessageLeavesNothingOnTheWireAndTheStreamInStep) {
  MemoryWriter wire;
  RefusingEnc enc(&wire);
  enc.rng().Seed(kSeed);
  ASSERT_TRUE(enc.ArchiveListBegin(0, "OK"));
  const size_t before = wire.data().size();
  const WireRng rng_before = enc.rng();

  EXPECT_FALSE(enc.ArchiveListItem(std::string(32, 'a').c_str()));
  EXPECT_FALSE(enc.ArchiveIndexBegin(0, std::string(257, 'm').c_str()));
  const std::vector<uint8_t> big(1101, 0);
  EXPECT_FALSE(enc.AudioData(big.data(), 1101));
  EXPECT_EQ(enc.refused,
            (std::vector<std::string>{"pszArchive 32/31", "pszMessage 257/256", "pData 1101/1100"}));
  EXPECT_EQ(wire.data().size(), before);
  EXPECT_EQ(enc.rng(), rng_before);

  ASSERT_TRUE(enc.ArchiveListItem(std::string(31, 'b').c_str()));
  ASSERT_TRUE(enc.ArchiveListEnd());
  MemoryReader reader(wire.data());
  WireRng dec = Seeded();
  ServerMessage m;
  ASSERT_EQ(ClientDec::Read(reader, dec, &m), DecodeResult::kOk);
  EXPECT_EQ(m.id, ServerMsg::kArchiveListBegin);
  ASSERT_EQ(ClientDec::Read(reader, dec, &m), DecodeResult::kOk);
  EXPECT_EQ(m.text, std::string(31, 'b'));
  ASSERT_EQ(ClientDec::Read(reader, dec, &m), DecodeResult::kOk);
  EXPECT_EQ(m.id, ServerMsg::kArchiveListEnd);
}

TEST(ServerMessageCodecTest, NoWriterOrFailedWriteReturnsFalse) {
  ClientEnc none(nullptr);
  EXPECT_FALSE(none.Ping());
  EXPECT_FALSE(none.ArchiveStatus(1, 2, 3, 4, 5));

  MemoryWriter wire;
  wire.FailAfter(3);
  ClientEnc enc(&wire);
  EXPECT_TRUE(enc.Ping());
  EXPECT_FALSE(enc.ConnectResult(0, "OK"));
}

TEST(ClientMessageCodecTest, EveryRequestRoundTripsToTheHandler) {
  MemoryWriter wire;
  ServerEnc enc(&wire);
  enc.rng().Seed(kSeed);
  ASSERT_TRUE(enc.AttachToArchive("Studio A"));
  ASSERT_TRUE(enc.AttachToArchive(""));
  ASSERT_TRUE(enc.GetServerVersion());
  ASSERT_TRUE(enc.LoginUser("admin", std::string(31, 'p')));
  ASSERT_TRUE(enc.LoginUser("", ""));
  ASSERT_TRUE(enc.Ping());
  ASSERT_TRUE(enc.Pong());
  ASSERT_TRUE(enc.RequestArchiveAudio(-129123456780000000, 1500, 0xFFFFFFFFu));
  ASSERT_TRUE(enc.RequestArchiveIndex(INT64_MIN, INT64_MAX));
  ASSERT_TRUE(enc.RequestArchiveList(kListRecordings));
  ASSERT_TRUE(enc.RequestArchiveList(-5));
  ASSERT_TRUE(enc.RequestLiveAudio());
  ASSERT_TRUE(enc.RequestStatus());
  EXPECT_EQ(wire.unlocked_writes(), 0);

  MemoryReader reader(wire.data());
  WireRng dec = Seeded();
  RecordingHandler handler;
  while (reader.remaining() > 0) ASSERT_TRUE(ServerDec::Dispatch(reader, dec, handler));
  EXPECT_EQ(dec, enc.rng());
  EXPECT_EQ(handler.calls, (std::vector<std::string>{
                               "AttachToArchive(\"Studio A\")",
                               "AttachToArchive(null)",
                               "GetServerVersion()",
                               "LoginUser(\"admin\",\"" + std::string(31, 'p') + "\")",
                               "LoginUser(null,null)",
                               "Ping()",
                               "Pong()",
                               "RequestArchiveAudio(-129123456780000000,1500,4294967295)",
                               "RequestArchiveIndex(-9223372036854775808,9223372036854775807)",
                               "RequestArchiveList(1)",
                               "RequestArchiveList(-5)",
                               "RequestLiveAudio()",
                               "RequestStatus()",
                           }));
}

TEST(ClientMessageCodecTest, RequestEncoderRefusesOverlongTextsWithoutWriting) {
  MemoryWriter wire;
  ServerEnc enc(&wire);
  const WireRng before = enc.rng();
  EXPECT_FALSE(enc.AttachToArchive(std::string(32, 'a')));
  EXPECT_FALSE(enc.LoginUser("u", std::string(32, 'p')));
  EXPECT_FALSE(enc.LoginUser(std::string(32, 'u'), "p"));
  EXPECT_TRUE(wire.data().empty());
  EXPECT_EQ(enc.rng(), before);
}

TEST(ClientMessageCodecTest, RequestReturningFalseClosesTheConnection) {
  MemoryWriter wire;
  ServerEnc enc(&wire);
  ASSERT_TRUE(enc.Ping());
  MemoryReader reader(wire.data());
  WireRng dec;
  RecordingHandler handler;
  handler.result = false;
  EXPECT_FALSE(ServerDec::Dispatch(reader, dec, handler));
  EXPECT_EQ(handler.calls, std::vector<std::string>{"Ping()"});
}

std::string Le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

// Hostile client bytes. The decoder must refuse each without calling a request
// and without reading past the point where the fault shows.
TEST(ServerDecTest, RefusesMalformedInput) {
  const std::string text32 = std::string("\xFF", 1) + Le32(32) + std::string(32, 'a');
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> calls;  // the handler calls expected
    size_t consumed;                 // bytes the decoder may read
  } cases[] = {
      {"nothing at all", "", {}, 0},
      {"identifier 10", std::string("\x0A", 1) + "more", {}, 1},
      {"identifier 255", "\xFF", {}, 1},
      {"archive name of 32 bytes", std::string("\x00", 1) + text32,
       {"OnStringTooLong(szArchiveName,32,31)"}, 6},
      {"user name of 2^32-1 bytes", std::string("\x02\xFF", 2) + Le32(0xFFFFFFFFu),
       {"OnStringTooLong(szUser,4294967295,31)"}, 6},
      {"password of 32 bytes",
       std::string("\x02\xFF", 2) + Le32(1) + "u" + text32,
       {"OnStringTooLong(szPass,32,31)"}, 12},
      {"text with the wrong tag", std::string("\x00\x83", 2) + Le32(1) + "a", {}, 2},
      {"scalar with the wrong tag", std::string("\x06", 1) + "K" + std::string(8, '\0'), {}, 2},
      {"kind sent as 16-bit", std::string("\x07", 1) + "D" + std::string(2, '\0'), {}, 2},
      {"truncated scalar", std::string("\x05", 1) + "J" + std::string(5, '\0'), {}, 7},
      {"truncated text", std::string("\x00\xFF", 2) + Le32(10) + "abc", {}, 9},
      {"missing second time", std::string("\x06", 1) + "J" + std::string(8, '\0'), {}, 10},
  };
  for (const Case& c : cases) {
    MemoryReader reader(c.bytes);
    WireRng dec;
    RecordingHandler handler;
    EXPECT_FALSE(ServerDec::Dispatch(reader, dec, handler)) << c.name;
    EXPECT_EQ(handler.calls, c.calls) << c.name;
    EXPECT_LE(reader.consumed(), c.consumed) << c.name;
  }
}

TEST(ClientDecTest, RefusesMalformedServerInput) {
  struct Case {
    const char* name;
    std::string bytes;
    DecodeResult result;
  } cases[] = {
      {"nothing", "", DecodeResult::kClosed},
      {"identifier 18", "\x12", DecodeResult::kMalformed},
      {"identifier 255", "\xFF", DecodeResult::kMalformed},
      {"message text of 257 bytes", std::string("\x0EG\0\0\0\0\xFF", 7) + Le32(257),
       DecodeResult::kMalformed},
      {"archive name of 32 bytes", std::string("\x06\xFF", 2) + Le32(32) + std::string(32, 'a'),
       DecodeResult::kMalformed},
      {"audio block of 1101 bytes", std::string("\x0B\x83", 2) + Le32(1101),
       DecodeResult::kMalformed},
      {"audio block of 2^32-1 bytes", std::string("\x0B\x83", 2) + Le32(0xFFFFFFFFu),
       DecodeResult::kMalformed},
      {"scrambled audio tag", std::string("\x0B\xFF", 2) + Le32(1) + "a", DecodeResult::kMalformed},
      {"truncated status", std::string("\x08K", 2) + std::string(8, '\0'),
       DecodeResult::kMalformed},
  };
  for (const Case& c : cases) {
    MemoryReader reader(c.bytes);
    WireRng dec;
    ServerMessage m;
    EXPECT_EQ(ClientDec::Read(reader, dec, &m), c.result) << c.name;
  }
}

}  // namespace
}  // namespace logrum::protocol
