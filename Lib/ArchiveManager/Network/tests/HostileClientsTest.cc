// Clients that do not play by the rules: one that stops reading, one that
// sends half a message or trickles it, one that vanishes during a silent live
// stream, and one host that opens connection after connection. None of them
// may hold memory or places for good, and the others stay served.
#include <poll.h>
#include <sys/socket.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "Lib/ArchiveManager/Network/ClientHandler.h"
#include "Lib/ArchiveManager/Network/tests/NetworkFixture.h"
#include "Lib/ArchiveManager/Protocol/Handshake.h"
#include "Lib/ArchiveManager/Protocol/MemoryStream.h"
#include "Lib/ArchiveManager/Protocol/ServerEnc.h"
#include "Lib/ArchiveManager/Protocol/SocketStream.h"
#include "Lib/Kit/Options/OptionsReg.h"

namespace logrum::network::testing {
namespace {

using protocol::ClientStatus;

// The stream of the live tests: 128 kbit/s in blocks of 836 bytes (2304
// samples at 44.1 kHz); its byte limit is 160000 bytes, 191 blocks.
constexpr uint32_t kBlock = 836;
constexpr uint32_t kBlocksPerTenMinutes = 600 * 44100 / 2304;
constexpr uint32_t kLimitBlocks = 160000 / kBlock;

class Gate {
 public:
  void Open() {
    std::lock_guard lock(mu_);
    open_ = true;
    changed_.notify_all();
  }
  bool Wait(int ms = 10000) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  bool open_ = false;
};

// Stops reading once the stream has begun (its thread waits in OnAudioBegin)
// until `resume` opens.
class StallingReceiver : public protocol::AudioReceiver {
 public:
  bool OnAudioBegin(const protocol::AudioFormatInfo&) override {
    began.Open();
    resume.Wait(60000);
    return true;
  }
  bool OnAudioData(const uint8_t*, size_t) override {
    ++blocks;
    return true;
  }
  Gate began, resume;
  std::atomic<size_t> blocks{0};
};

class HostileClientsTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    news_ = source_.Add("News");
    AddUser("live", "pw", {{"News", 2}});
  }

  std::unique_ptr<protocol::ProtocolClient> ConnectFrom(const std::string& address,
                                                        ClientStatus* status,
                                                        uint32_t receive_buffer = 0) {
    auto client = std::make_unique<protocol::ProtocolClient>();
    protocol::ClientOptions options;
    options.local_address = address;
    options.receive_buffer = receive_buffer;
    *status = client->Connect("127.0.0.1", server_->port(), options);
    return client;
  }

  FakeArchive* news_ = nullptr;
};

TEST_F(HostileClientsTest, ZeroWindowLiveClientHoldsAtMostTheByteLimitAndIsTold) {
  StartServer();
  ClientStatus status = ClientStatus::Ok();
  auto client = ConnectFrom("127.0.0.1", &status, 4096);
  ASSERT_TRUE(status.ok()) << status.ToString();
  ASSERT_TRUE(client->Login("live", "pw").ok());
  ASSERT_TRUE(client->Attach("News").ok());
  StallingReceiver receiver;
  std::thread listener([&] { status = client->PlayLive(receiver); });
  ASSERT_TRUE(news_->WaitForLiveReaders(1));
  ASSERT_TRUE(receiver.began.Wait());

  // Block by block until the server no longer gets rid of them: the
  // client's window is shut and the kernel's send buffer (which grows to
  // megabytes on loopback) is full, so the server's send waits.
  for (uint32_t sent = 0;; ++sent) {
    ASSERT_LT(sent, 4 * kBlocksPerTenMinutes) << "the server's send never blocked";
    news_->SendLive(kBlock, static_cast<uint8_t>(sent));
    bool taken = false;
    for (int wait = 0; wait < 2000 && !taken; ++wait) {
      taken = news_->LiveBlocksHeld() <= 1;  // one block may be the one being sent
      if (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!taken) break;
  }
  // Ten minutes of stream meanwhile: the queue stops at the limit.
  for (uint32_t i = 0; i < kBlocksPerTenMinutes; ++i) {
    news_->SendLive(kBlock, static_cast<uint8_t>(i));
  }
  EXPECT_LE(news_->LiveBlocksHeld(), kLimitBlocks + 1);

  receiver.resume.Open();
  listener.join();
  EXPECT_EQ(status.result(), protocol::kAudioTooSlow) << status.ToString();
  EXPECT_EQ(status.message(), protocol::kTextTooSlow);
  EXPECT_GT(receiver.blocks.load(), 0u);
  // The connection goes on, and the queue is gone with the stream.
  EXPECT_TRUE(client->Ping().ok());
  EXPECT_EQ(news_->LiveBlocksHeld(), 0u);
}

TEST_F(HostileClientsTest, ClientThatNeverReadsAgainLosesItsConnection) {
  NetworkSettings settings = ShortSettings();
  settings.send_timeout_ms = 300;
  StartServer(settings);
  ClientStatus status = ClientStatus::Ok();
  auto client = ConnectFrom("127.0.0.1", &status, 4096);
  ASSERT_TRUE(status.ok()) << status.ToString();
  ASSERT_TRUE(client->Login("live", "pw").ok());
  ASSERT_TRUE(client->Attach("News").ok());
  StallingReceiver receiver;
  std::thread listener([&] { client->PlayLive(receiver); });
  ASSERT_TRUE(receiver.began.Wait());
  bool dropped = false;
  for (uint32_t i = 0; i < kBlocksPerTenMinutes && !dropped; ++i) {
    news_->SendLive(kBlock, static_cast<uint8_t>(i));
    if (i % 64 == 63) dropped = server_->WaitForActive(0, 2);
  }
  EXPECT_TRUE(dropped || server_->WaitForActive(0, 5000));
  EXPECT_EQ(news_->clients.load(), 0);
  EXPECT_EQ(news_->LiveBlocksHeld(), 0u);
  receiver.resume.Open();
  listener.join();
}

TEST_F(HostileClientsTest, SilentLiveStreamEndsWhenItsClientGoes) {
  StartServer();
  auto client = std::make_unique<protocol::ProtocolClient>();
  protocol::ClientOptions options;
  options.answer_timeout_ms = 500;  // gives up on the silence and closes
  ASSERT_TRUE(client->Connect("127.0.0.1", server_->port(), options).ok());
  ASSERT_TRUE(client->Login("live", "pw").ok());
  ASSERT_TRUE(client->Attach("News").ok());
  StallingReceiver receiver;
  receiver.resume.Open();
  EXPECT_TRUE(client->PlayLive(receiver).failed());
  EXPECT_TRUE(server_->WaitForActive(0, 10000));
  EXPECT_TRUE(news_->WaitForLiveReaders(0));
}

// A client that begins a message and does not finish it in time: half of a
// LoginUser and then silence, or all of it a byte every 60 ms.
TEST_F(HostileClientsTest, MessageNotCompleteInTimeEndsTheConnection) {
  NetworkSettings settings = ShortSettings();
  settings.message_timeout_ms = 400;
  StartServer(settings);
  for (const bool trickle : {false, true}) {
    SCOPED_TRACE(trickle ? "trickle" : "half a message");
    protocol::SocketStream stream;
    const platform::Status connected = stream.Connect("127.0.0.1", server_->port(), 5000);
    ASSERT_TRUE(connected.ok()) << connected.message();
    protocol::HandshakeSeeds seeds;
    ASSERT_EQ(protocol::ClientHandshake(stream, stream, 77, 5000, &seeds),
              protocol::HandshakeResult::kOk);
    protocol::MemoryWriter bytes;
    protocol::ServerEnc enc(&bytes);
    enc.rng().Seed(seeds.client_to_server);
    ASSERT_TRUE(enc.LoginUser("live", "pw"));
    const std::string message = bytes.data();
    const size_t sent = trickle ? message.size() : message.size() / 2;
    bool closed = false;
    for (size_t i = 0; i < sent && !closed; ++i) {
      closed = !stream.Write(&message[i], 1);
      if (trickle) std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    // The server closes without an answer.
    pollfd p{stream.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    char byte;
    EXPECT_LE(::recv(stream.fd(), &byte, 1, 0), 0);
    EXPECT_TRUE(server_->WaitForActive(0, 5000));
  }
}

TEST_F(HostileClientsTest, OneHostOverItsLimitLeavesPlacesForAnother) {
  NetworkSettings settings = ShortSettings();
  settings.max_connections = 8;
  settings.max_per_address = 2;
  settings.refusal_log_interval_ms = 3600 * 1000;
  auto lines = std::make_shared<std::vector<std::string>>();
  auto lines_mu = std::make_shared<std::mutex>();
  settings.log = [lines, lines_mu](const std::string& line) {
    std::lock_guard lock(*lines_mu);
    lines->push_back(line);
  };
  StartServer(settings);

  ClientStatus status = ClientStatus::Ok();
  std::vector<std::unique_ptr<protocol::ProtocolClient>> greedy;
  for (int i = 0; i < 2; ++i) {
    greedy.push_back(ConnectFrom("127.0.0.2", &status));
    ASSERT_TRUE(status.ok()) << status.ToString();
  }
  for (int i = 0; i < 3; ++i) {
    ConnectFrom("127.0.0.2", &status);
    EXPECT_TRUE(status.failed());
  }
  EXPECT_EQ(server_->RefusedConnections(), 3u);
  {
    std::lock_guard lock(*lines_mu);
    ASSERT_EQ(lines->size(), 1u);  // one line for the burst
    EXPECT_NE(lines->front().find("127.0.0.2"), std::string::npos) << lines->front();
    EXPECT_NE(lines->front().find("the limit per address"), std::string::npos) << lines->front();
  }

  // Another host still connects and plays.
  auto other = ConnectFrom("127.0.0.3", &status);
  ASSERT_TRUE(status.ok()) << status.ToString();
  ASSERT_TRUE(other->Login("live", "pw").ok());
  ASSERT_TRUE(other->Attach("News").ok());
  std::atomic<bool> done{false};
  std::thread encoder([&] {
    while (!done.load()) {
      news_->SendLive(kBlock, 7);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  class ThreeBlocks : public protocol::AudioReceiver {
   public:
    bool OnAudioBegin(const protocol::AudioFormatInfo&) override { return true; }
    bool OnAudioData(const uint8_t*, size_t) override { return ++blocks < 3; }
    int blocks = 0;
  } receiver;
  status = other->PlayLive(receiver);
  done = true;
  encoder.join();
  EXPECT_TRUE(status.ok()) << status.ToString();
  EXPECT_EQ(receiver.blocks, 3);

  // A place given back is a place again.
  greedy.pop_back();
  ASSERT_TRUE(server_->WaitForActive(2, 10000));
  greedy.push_back(ConnectFrom("127.0.0.2", &status));
  EXPECT_TRUE(status.ok()) << status.ToString();
}

TEST_F(HostileClientsTest, CapsAreReadFromTheServerKey) {
  EXPECT_EQ(ReadNetworkSettings(store_.get()).max_per_address, kDefaultMaxPerAddress);
  kit::OptionsReg server(false, store_.get());
  server.SetInteger(kMaxPerAddressValue, 3);
  server.SetInteger(kMaxClientsValue, 20);
  ASSERT_TRUE(server.Save(kServerKey).ok());
  const NetworkSettings settings = ReadNetworkSettings(store_.get());
  EXPECT_EQ(settings.max_per_address, 3u);
  EXPECT_EQ(settings.max_connections, 20u);
}

}  // namespace
}  // namespace logrum::network::testing
