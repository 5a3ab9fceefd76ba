// The listener, the pool and the connection task: handshake and idle
// time-outs, growth, the connection cap, and Close with clients connected.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "Lib/ArchiveManager/Network/tests/NetworkFixture.h"
#include "Lib/ArchiveManager/Protocol/ClientDec.h"
#include "Lib/ArchiveManager/Protocol/Handshake.h"
#include "Lib/ArchiveManager/Protocol/SocketStream.h"

namespace logrum::network::testing {
namespace {

using protocol::ClientStatus;

int RawConnect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// Reads until the peer closes (or 20 s pass); returns the bytes received, -1
// when the peer did not close.
int BytesUntilClose(int fd) {
  int total = 0;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) return -1;
    char buffer[256];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return total;
    total += static_cast<int>(got);
  }
}

TEST_F(NetworkTest, OpenTwiceFailsAndReopenWorks) {
  StartServer();
  const platform::Status twice = server_->Open(0);
  EXPECT_NE(twice.message().find("already open"), std::string::npos) << twice.message();
  server_->Close();
  EXPECT_EQ(server_->PoolSize(), 0u);
  ASSERT_TRUE(server_->Open(0).ok());
  auto client = Connect();
  protocol::ServerVersion version;
  ASSERT_TRUE(client->GetServerVersion(&version).ok());
  EXPECT_EQ(version, (protocol::ServerVersion{2, 5, 9, 250}));
}

// The host shows the reason to the station engineer as it stands: it names
// the port and says what is wrong with it.
TEST_F(NetworkTest, OpenSaysWhyAPortCannotBeOpened) {
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const uint32_t taken = ntohs(address.sin_port);

  struct Case {
    uint32_t port;
    platform::Status::Code code;
    std::string says;
  };
  const Case cases[] = {
      {taken, platform::Status::kBusy,
       "cannot listen on port " + std::to_string(taken) + ": Address already in use"},
      {70000, platform::Status::kInvalidArgument,
       "cannot listen on port 70000: not a TCP port (0 to 65535)"},
  };
  for (const Case& c : cases) {
    NetworkSettings settings = ShortSettings();
    settings.store = store_.get();
    NetworkServer server(&source_, settings);
    const platform::Status status = server.Open(c.port);
    EXPECT_EQ(status.code(), c.code) << status.message();
    EXPECT_EQ(status.message().rfind(c.says, 0), 0u) << status.message();
  }
  ::close(holder);
}

TEST_F(NetworkTest, SilentClientIsDroppedWithoutAWord) {
  StartServer();
  const int fd = RawConnect(server_->port());
  EXPECT_EQ(BytesUntilClose(fd), 0);
  ::close(fd);
  EXPECT_TRUE(server_->WaitForActive(0, 10000));
}

TEST_F(NetworkTest, IdleClientReceivesPingsAndStaysConnected) {
  StartServer();
  protocol::SocketStream stream;
  const platform::Status connected = stream.Connect("127.0.0.1", server_->port(), 5000);
  ASSERT_TRUE(connected.ok()) << connected.message();
  protocol::HandshakeSeeds seeds;
  ASSERT_EQ(protocol::ClientHandshake(stream, stream, 1234, 5000, &seeds),
            protocol::HandshakeResult::kOk);
  protocol::WireRng rng;
  rng.Seed(seeds.server_to_client);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(stream.Wait(5000), protocol::WaitResult::kReady);
    protocol::ServerMessage message;
    ASSERT_EQ(protocol::ClientDec::Read(stream, rng, &message), protocol::DecodeResult::kOk);
    EXPECT_EQ(message.id, protocol::ServerMsg::kPing);
  }
  EXPECT_EQ(server_->ActiveConnections(), 1u);
}

TEST_F(NetworkTest, NinthClientGrowsThePoolAndAllAreServed) {
  StartServer();
  std::vector<std::unique_ptr<protocol::ProtocolClient>> clients;
  for (int i = 0; i < 9; ++i) clients.push_back(Connect());
  for (auto& client : clients) {
    protocol::ServerVersion version;
    EXPECT_TRUE(client->GetServerVersion(&version).ok());
  }
  EXPECT_EQ(server_->ActiveConnections(), 9u);
  EXPECT_EQ(server_->PoolSize(), 16u);
  clients.clear();
  EXPECT_TRUE(server_->WaitForActive(0, 10000));
  // The objects are reused, not made again.
  for (int i = 0; i < 9; ++i) clients.push_back(Connect());
  EXPECT_EQ(server_->PoolSize(), 16u);
}

TEST_F(NetworkTest, SocketsOverTheCapAreClosedAtOnce) {
  NetworkSettings settings = ShortSettings();
  settings.max_connections = 2;
  settings.handshake_timeout_ms = 10000;
  StartServer(settings);
  // Two half-open connections hold the two places.
  const int a = RawConnect(server_->port());
  const int b = RawConnect(server_->port());
  ASSERT_TRUE(server_->WaitForActive(2, 10000));
  const int c = RawConnect(server_->port());
  EXPECT_EQ(BytesUntilClose(c), 0);  // closed long before the handshake time-out
  EXPECT_EQ(server_->RefusedConnections(), 1u);
  EXPECT_LE(server_->PoolSize(), 8u);
  ::close(a);
  ::close(c);
  ASSERT_TRUE(server_->WaitForActive(1, 15000));
  auto client = Connect();
  protocol::ServerVersion version;
  EXPECT_TRUE(client->GetServerVersion(&version).ok());
  ::close(b);
}

TEST_F(NetworkTest, CloseEndsConnectionsInProgressAndGivesCountsBack) {
  FakeArchive* news = source_.Add("News");
  AddUser("anna", "pw", {{"News", 3}});
  StartServer();
  auto first = LoginAttach("anna", "pw", "News");
  auto second = LoginAttach("anna", "pw", "News");
  EXPECT_EQ(news->clients.load(), 2);
  server_->Close();
  EXPECT_EQ(server_->ActiveConnections(), 0u);
  EXPECT_EQ(news->clients.load(), 0);
  protocol::ServerVersion version;
  EXPECT_TRUE(first->GetServerVersion(&version).failed());
}

TEST_F(NetworkTest, ClientCloseEndsItsConnection) {
  FakeArchive* news = source_.Add("News");
  StartServer();
  auto client = Connect();
  ASSERT_TRUE(client->Attach("News").ok());
  EXPECT_EQ(news->clients.load(), 1);
  client->Close();
  ASSERT_TRUE(server_->WaitForActive(0, 10000));
  EXPECT_EQ(news->clients.load(), 0);
}

}  // namespace
}  // namespace logrum::network::testing
