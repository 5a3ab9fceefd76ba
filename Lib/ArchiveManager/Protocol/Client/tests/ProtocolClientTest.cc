#include "Lib/ArchiveManager/Protocol/Client/ProtocolClient.h"

#include <gtest/gtest.h>

#include "Lib/ArchiveManager/Protocol/Client/tests/FakeServer.h"
#include "Lib/ArchiveManager/Protocol/Handshake.h"
#include "Lib/ArchiveManager/Protocol/PasswordDigest.h"

namespace logrum::protocol {
namespace {

using testing::FakeArchive;
using testing::FakeServer;
using testing::FakeServerConfig;

constexpr int64_t kSegment1 = 129123456780000000;
constexpr int64_t kSegment2 = kSegment1 + 9000000000;  // 15 minutes later

FakeServerConfig StationConfig() {
  FakeServerConfig c;
  c.users["Admin"] = PasswordDigestText("Admin", "secret");
  c.archives.push_back({"Studio A", true, 3, true, true,
                        {{kSegment1, 900000, false}, {kSegment2, 450000, true}}});
  c.archives.push_back({"Studio B", true, 1, true, false, {}});
  c.archives.push_back({"Night", false, 3, false, false, {}});
  c.archives.push_back({"Web", true, 2, false, true, {}});
  for (int b = 0; b < 5; ++b) c.blocks.push_back(std::vector<uint8_t>(836, static_cast<uint8_t>(b)));
  return c;
}

class CollectAudio : public AudioReceiver {
 public:
  explicit CollectAudio(size_t stop_after = SIZE_MAX) : stop_after_(stop_after) {}
  bool OnAudioBegin(const AudioFormatInfo& f) override {
    format = f;
    began = true;
    return stop_after_ != 0;
  }
  bool OnAudioData(const uint8_t* data, size_t size) override {
    blocks.emplace_back(data, data + size);
    return blocks.size() < stop_after_;
  }
  bool began = false;
  AudioFormatInfo format;
  std::vector<std::vector<uint8_t>> blocks;

 private:
  size_t stop_after_;
};

class ProtocolClientTest : public ::testing::Test {
 protected:
  void StartServer(FakeServerConfig config = StationConfig()) {
    server_ = std::make_unique<FakeServer>(std::move(config));
    ASSERT_NE(server_->Start(), 0);
    const ClientStatus s = client_.Connect("127.0.0.1", server_->port());
    ASSERT_TRUE(s.ok()) << s.ToString();
  }
  void SetUp() override { StartServer(); }
  void TearDown() override {
    client_.Close();
    server_->Stop();
  }

  std::unique_ptr<FakeServer> server_;
  ProtocolClient client_;
};

TEST_F(ProtocolClientTest, VersionIsTwoFiveNineTwoFifty) {
  ServerVersion v;
  ASSERT_TRUE(client_.GetServerVersion(&v).ok());
  EXPECT_EQ(v, (ServerVersion{2, 5, 9, 250}));
}

TEST_F(ProtocolClientTest, LoginSendsTheDigestAndReportsRefusalWithTheServerText) {
  ClientStatus s = client_.LoginWithPassword("admin", "SECRET");
  EXPECT_TRUE(s.ok()) << s.ToString();
  s = client_.LoginWithPassword("admin", "wrong");
  EXPECT_TRUE(s.refused());
  EXPECT_EQ(s.result(), 2);
  EXPECT_EQ(s.message(), "Login failed!");
  s = client_.LoginWithPassword("nobody", "secret");
  EXPECT_EQ(s.result(), 1);
  // A refusal leaves the connection usable.
  EXPECT_TRUE(client_.Ping().ok());
}

TEST_F(ProtocolClientTest, ListsArchivesByKind) {
  std::vector<std::string> names;
  ClientStatus s = client_.ListArchives(kListRecordings, &names);
  EXPECT_EQ(s.result(), 1);
  EXPECT_EQ(s.message(), "Unable to retrive user's archive rights!");
  ASSERT_TRUE(client_.LoginWithPassword("Admin", "secret").ok());
  ASSERT_TRUE(client_.ListArchives(kListRecordings, &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"Studio A", "Studio B"}));
  ASSERT_TRUE(client_.ListArchives(kListLive, &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"Studio A", "Web"}));
}

TEST_F(ProtocolClientTest, AttachAndIndex) {
  std::vector<IndexItem> items;
  ClientStatus s = client_.GetIndex(0, INT64_MAX, &items);
  EXPECT_EQ(s.result(), 1);
  EXPECT_EQ(s.message(), "Not attached to an archive!");
  s = client_.Attach("Nowhere");
  EXPECT_EQ(s.result(), 1);
  EXPECT_EQ(s.message(), "Archive not found!");
  s = client_.Attach("Night");
  EXPECT_EQ(s.result(), 2);
  EXPECT_EQ(client_.GetIndex(0, INT64_MAX, &items).message(), "Unable to access database!");

  ASSERT_TRUE(client_.Attach("Studio A").ok());
  ASSERT_TRUE(client_.GetIndex(0, INT64_MAX, &items).ok());
  EXPECT_EQ(items, (std::vector<IndexItem>{{kSegment1, 900000, false}, {kSegment2, 450000, true}}));
  ASSERT_TRUE(client_.GetIndex(kSegment1 + 1, kSegment2, &items).ok());
  EXPECT_TRUE(items.empty());
}

TEST_F(ProtocolClientTest, PlaysAStretchAndCanStopItEarly) {
  ASSERT_TRUE(client_.Attach("Studio A").ok());
  CollectAudio all;
  ClientStatus s = client_.PlayArchive(kSegment1, 2500, 60000, all);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(all.format.start_time, kSegment1 + 2 * 10000000);
  EXPECT_FALSE(all.format.live);
  EXPECT_EQ(all.blocks.size(), 5u);
  EXPECT_EQ(all.blocks[3], std::vector<uint8_t>(836, 3));

  CollectAudio two(2);
  ASSERT_TRUE(client_.PlayArchive(kSegment1, 0, 60000, two).ok());
  EXPECT_EQ(two.blocks.size(), 2u);
  EXPECT_TRUE(client_.Ping().ok()) << "the stream's tail must be drained";

  CollectAudio missing;
  s = client_.PlayArchive(kSegment1 + 1, 0, 1000, missing);
  EXPECT_EQ(s.result(), 2);
  EXPECT_EQ(s.message().rfind("File open failed! '", 0), 0u) << s.message();
  EXPECT_FALSE(missing.began);
}

TEST_F(ProtocolClientTest, FollowsLiveUntilToldToStop) {
  ASSERT_TRUE(client_.Attach("Studio A").ok());
  CollectAudio twelve(12);
  ClientStatus s = client_.PlayLive(twelve);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_TRUE(twelve.format.live);
  EXPECT_EQ(twelve.blocks.size(), 12u);
  EXPECT_EQ(twelve.blocks[11], std::vector<uint8_t>(836, 1));
  ServerVersion v;
  EXPECT_TRUE(client_.GetServerVersion(&v).ok());

  ASSERT_TRUE(client_.Attach("Studio B").ok());
  CollectAudio none;
  s = client_.PlayLive(none);
  EXPECT_EQ(s.result(), 2);
  EXPECT_EQ(s.message(), "Live source is not available for this archive!");
}

TEST_F(ProtocolClientTest, LiveErrorInsideTheStreamIsReportedAfterItsEnd) {
  TearDown();
  FakeServerConfig c = StationConfig();
  c.live_error_after = 3;
  StartServer(c);
  ASSERT_TRUE(client_.Attach("Studio A").ok());
  CollectAudio all;
  const ClientStatus s = client_.PlayLive(all);
  EXPECT_EQ(s.result(), 4);
  EXPECT_EQ(all.blocks.size(), 3u);
  EXPECT_TRUE(client_.Ping().ok());
}

TEST_F(ProtocolClientTest, StatusStreamStopsAfterTheWantedCount) {
  std::vector<ArchiveStatusInfo> seen;
  auto three = [&seen](const ArchiveStatusInfo& s) {
    seen.push_back(s);
    return seen.size() < 3;
  };
  ClientStatus s = client_.FollowStatus(three);
  EXPECT_EQ(s.result(), 1);
  ASSERT_TRUE(client_.Attach("Studio A").ok());
  s = client_.FollowStatus(three);
  ASSERT_TRUE(s.ok()) << s.ToString();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].used_kb, 3000u);
  EXPECT_EQ(seen[2].peak_min, -3);
  EXPECT_TRUE(client_.Ping().ok());
}

TEST_F(ProtocolClientTest, UnrequestedPingsAreSkipped) {
  TearDown();
  FakeServerConfig c = StationConfig();
  c.ping_before_answers = true;
  StartServer(c);
  ServerVersion v;
  ASSERT_TRUE(client_.GetServerVersion(&v).ok());
  ASSERT_TRUE(client_.Attach("Studio A").ok());
  std::vector<IndexItem> items;
  ASSERT_TRUE(client_.GetIndex(0, INT64_MAX, &items).ok());
  EXPECT_EQ(items.size(), 2u);
}

TEST_F(ProtocolClientTest, ServerGoneIsAFailureNotAHang) {
  server_->Stop();
  ServerVersion v;
  const ClientStatus s = client_.GetServerVersion(&v);
  EXPECT_TRUE(s.failed()) << s.ToString();
  EXPECT_FALSE(client_.connected());
  EXPECT_TRUE(client_.Ping().failed());
}

TEST_F(ProtocolClientTest, IdentifierTenClosesTheConnection) {
  SocketStream raw;
  const platform::Status connected = raw.Connect("127.0.0.1", server_->port(), 5000);
  ASSERT_TRUE(connected.ok()) << connected.message();
  HandshakeSeeds seeds;
  ASSERT_EQ(ClientHandshake(raw, raw, 1, 5000, &seeds), HandshakeResult::kOk);
  const uint8_t id = 10;
  ASSERT_TRUE(raw.Write(&id, 1));
  uint8_t byte;
  EXPECT_FALSE(raw.Read(&byte, 1));  // closed without an answer
}

TEST(ProtocolClientConnectTest, NoServerIsAClearFailure) {
  // A port that was free a moment ago: bind, note it, close.
  FakeServer probe({});
  const uint16_t port = probe.Start();
  probe.Stop();
  ProtocolClient client;
  const ClientStatus s = client.Connect("127.0.0.1", port);
  EXPECT_TRUE(s.failed());
  EXPECT_NE(s.message().find("cannot connect"), std::string::npos) << s.message();
}

}  // namespace
}  // namespace logrum::protocol
