#include "Lib/ArchiveManager/Protocol/Handshake.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <future>
#include <thread>

#include "Lib/ArchiveManager/Protocol/MemoryStream.h"
#include "Lib/ArchiveManager/Protocol/SocketStream.h"
#include "Lib/ArchiveManager/Protocol/WireRng.h"

namespace logrum::protocol {
namespace {

uint32_t FirstDrawAfter(uint32_t seed, int skip = 0) {
  WireRng g;
  g.Seed(seed);
  for (int i = 0; i < skip; ++i) g.Draw();
  return g.Draw();
}

std::string Record(uint32_t a, uint32_t b, const char* magic = "IRPC") {
  std::string s(magic, 4);
  for (uint32_t v : {a, b}) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  }
  return s;
}

// Two connected sockets: the server's end and the client's end.
struct SocketPair {
  SocketStream server, client;
  SocketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    server.Adopt(fds[0]);
    client.Adopt(fds[1]);
  }
};

TEST(HandshakeTest, BothSidesAgreeOnTheSeedsTheDerivationPrescribes) {
  SocketPair pair;
  constexpr uint32_t kTick = 987654321, kClientSeed = 0xC0FFEE;
  auto client = std::async(std::launch::async, [&] {
    HandshakeSeeds seeds;
    const HandshakeResult r = ClientHandshake(pair.client, pair.client, kClientSeed, 5000, &seeds);
    return std::make_pair(r, seeds);
  });
  HandshakeSeeds server_seeds;
  ASSERT_EQ(ServerHandshake(pair.server, pair.server, kTick, 5000, &server_seeds),
            HandshakeResult::kOk);
  const auto [client_result, client_seeds] = client.get();
  ASSERT_EQ(client_result, HandshakeResult::kOk);

  const uint32_t k = FirstDrawAfter(kClientSeed);
  const uint32_t r = FirstDrawAfter(kTick);
  EXPECT_EQ(server_seeds.server_to_client, FirstDrawAfter(k, 2));  // A: third draw after Seed(K)
  EXPECT_EQ(server_seeds.client_to_server, FirstDrawAfter(r, 2));  // F: third draw after Seed(R)
  EXPECT_EQ(client_seeds.server_to_client, server_seeds.server_to_client);
  EXPECT_EQ(client_seeds.client_to_server, server_seeds.client_to_server);
}

TEST(HandshakeTest, ServerRecordIsMagicCheckWordAndRandomWord) {
  MemoryReader in(Record(77, FirstDrawAfter(77)));
  MemoryWriter out;
  HandshakeSeeds seeds;
  // The client's second record never comes: the reader runs dry.
  EXPECT_EQ(ServerHandshake(in, out, 5, 100, &seeds), HandshakeResult::kIoError);
  EXPECT_EQ(out.data(), Record(FirstDrawAfter(FirstDrawAfter(77)), FirstDrawAfter(5)));
}

// Whatever is wrong with the first record, the server sends nothing at all.
TEST(HandshakeTest, BadFirstRecordIsRefusedBeforeTheServerSendsAByte) {
  struct Case {
    const char* name;
    std::string bytes;
    HandshakeResult result;
  } cases[] = {
      {"wrong check word", Record(77, FirstDrawAfter(77) + 1), HandshakeResult::kBadCheck},
      {"wrong magic", Record(77, FirstDrawAfter(77), "IRPD"), HandshakeResult::kBadMagic},
      {"short record", Record(77, FirstDrawAfter(77)).substr(0, 11), HandshakeResult::kIoError},
      {"nothing", "", HandshakeResult::kIoError},
  };
  for (const Case& c : cases) {
    MemoryReader in(c.bytes);
    MemoryWriter out;
    HandshakeSeeds seeds;
    EXPECT_EQ(ServerHandshake(in, out, 5, 100, &seeds), c.result) << c.name;
    EXPECT_TRUE(out.data().empty()) << c.name;
  }
}

TEST(HandshakeTest, WrongCheckWordOverASocketGetsOnlyTheClose) {
  SocketPair pair;
  const std::string hello = Record(1, FirstDrawAfter(1) ^ 0x100);
  ASSERT_TRUE(pair.client.Write(hello.data(), hello.size()));
  HandshakeSeeds seeds;
  EXPECT_EQ(ServerHandshake(pair.server, pair.server, 5, 5000, &seeds), HandshakeResult::kBadCheck);
  pair.server.Close();
  char byte;
  EXPECT_FALSE(pair.client.Read(&byte, 1));  // end of stream, not a byte
}

TEST(HandshakeTest, SecondRecordMustCarryTheDerivedWords) {
  const uint32_t kTick = 4242;
  uint32_t d = FirstDrawAfter(FirstDrawAfter(kTick)), e = FirstDrawAfter(FirstDrawAfter(kTick), 1);
  struct Case {
    const char* name;
    std::string reply;
    HandshakeResult result;
  } cases[] = {
      {"right words", Record(d, e), HandshakeResult::kOk},
      {"wrong first word", Record(d + 1, e), HandshakeResult::kBadCheck},
      {"wrong second word", Record(d, e + 1), HandshakeResult::kBadCheck},
      {"wrong magic", Record(d, e, "irpc"), HandshakeResult::kBadMagic},
  };
  for (const Case& c : cases) {
    MemoryReader in(Record(9, FirstDrawAfter(9)) + c.reply);
    MemoryWriter out;
    HandshakeSeeds seeds;
    EXPECT_EQ(ServerHandshake(in, out, kTick, 100, &seeds), c.result) << c.name;
  }
}

TEST(HandshakeTest, RecordThatDoesNotArriveWholeInTimeFails) {
  SocketPair pair;
  const std::string hello = Record(1, FirstDrawAfter(1)).substr(0, 6);
  ASSERT_TRUE(pair.client.Write(hello.data(), hello.size()));
  HandshakeSeeds seeds;
  EXPECT_EQ(ServerHandshake(pair.server, pair.server, 5, 150, &seeds), HandshakeResult::kTimeout);
}

TEST(HandshakeTest, ClientRefusesAServerThatCannotProveItself) {
  SocketPair pair;
  std::thread fake([&] {
    char hello[12];
    ASSERT_TRUE(pair.server.Read(hello, 12));
    const std::string answer = Record(12345, 678);  // B is not the check word
    ASSERT_TRUE(pair.server.Write(answer.data(), answer.size()));
  });
  HandshakeSeeds seeds;
  EXPECT_EQ(ClientHandshake(pair.client, pair.client, 3, 5000, &seeds), HandshakeResult::kBadCheck);
  fake.join();
}

}  // namespace
}  // namespace logrum::protocol
