// Requests against fake archives: login, list by rights, attach, index,
// status, archived audio from real segment files, live audio.
#include <cstdlib>
#include <thread>

#include "Lib/ArchiveManager/Network/ClientHandler.h"
#include "Lib/ArchiveManager/Network/tests/NetworkFixture.h"
#include "Lib/ArchiveManager/Protocol/Messages.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileWrite.h"
#include "Lib/Kit/Layer3Format.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"

namespace logrum::network::testing {
namespace {

using protocol::ClientStatus;
using protocol::kListLive;
using protocol::kListRecordings;

class Receiver : public protocol::AudioReceiver {
 public:
  bool OnAudioBegin(const protocol::AudioFormatInfo& f) override {
    format = f;
    began = true;
    return true;
  }
  bool OnAudioData(const uint8_t* data, size_t size) override {
    blocks.emplace_back(data, data + size);
    if (on_block) return on_block(blocks.size());
    return stop_after == 0 || blocks.size() < stop_after;
  }
  protocol::AudioFormatInfo format;
  bool began = false;
  size_t stop_after = 0;
  std::function<bool(size_t)> on_block;
  std::vector<std::vector<uint8_t>> blocks;
};

TEST_F(NetworkTest, LoginChecksPasswordsExactlyAndUserNamesInAnyCase) {
  source_.Add("News");
  AddUser("Anna", "Digest-A", {{"News", 3}});
  StartServer();
  auto client = Connect();
  struct Case {
    const char* user;
    const char* password;
    int32_t result;  // 0 ok, else the refusal code
  };
  const Case cases[] = {
      {"Anna", "Digest-A", 0},  {"anna", "Digest-A", 0}, {"ANNA", "digest-a", 2},
      {"Bert", "Digest-A", 1},  {"", "", 1},             {"Anna", "", 2},
  };
  for (const Case& c : cases) {
    const ClientStatus status = client->Login(c.user, c.password);
    if (c.result == 0) {
      EXPECT_TRUE(status.ok()) << c.user << " " << status.ToString();
    } else {
      EXPECT_TRUE(status.refused()) << c.user;
      EXPECT_EQ(status.result(), c.result) << c.user;
      EXPECT_EQ(status.message(), "Login failed!");
    }
  }
  // The last login failed: the connection is logged out and lists nothing.
  std::vector<std::string> names;
  const ClientStatus list = client->ListArchives(kListRecordings, &names);
  EXPECT_TRUE(list.refused());
  EXPECT_EQ(list.message(), "Unable to retrive user's archive rights!");
}

TEST_F(NetworkTest, ListFollowsRightsAndActivity) {
  for (const char* name : {"A", "B", "C", "D", "E", "F"}) source_.Add(name);
  source_.archives["E"]->active = false;
  AddUser("anna", "pw", {{"A", 1}, {"B", 2}, {"C", 3}, {"D", 0}, {"E", 3}, {"F", -1}});
  StartServer();
  auto client = Connect();
  ASSERT_TRUE(client->Login("anna", "pw").ok());
  std::vector<std::string> names;
  ASSERT_TRUE(client->ListArchives(kListRecordings, &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"A", "C"}));
  ASSERT_TRUE(client->ListArchives(kListLive, &names).ok());
  EXPECT_EQ(names, (std::vector<std::string>{"B", "C"}));
}

TEST_F(NetworkTest, AttachCountsOnlyActiveArchivesAndDetachesOnMiss) {
  FakeArchive* news = source_.Add("News");
  FakeArchive* old = source_.Add("Old");
  old->active = false;
  old->has_database = false;
  AddUser("anna", "pw", {{"News", 1}, {"Old", 1}});
  StartServer();
  auto client = Connect();
  ASSERT_TRUE(client->Login("anna", "pw").ok());
  ASSERT_TRUE(client->Attach("News").ok());
  EXPECT_EQ(news->clients.load(), 1);
  ClientStatus status = client->Attach("news");  // names are exact
  EXPECT_EQ(status.result(), 1);
  EXPECT_EQ(status.message(), "Archive not found!");
  EXPECT_EQ(news->clients.load(), 0);
  std::vector<protocol::IndexItem> items;
  EXPECT_EQ(client->GetIndex(0, INT64_MAX, &items).result(), 1);  // detached

  status = client->Attach("Old");
  EXPECT_EQ(status.result(), 2);
  EXPECT_EQ(status.message(), "Archive is not active at this time!");
  EXPECT_EQ(old->clients.load(), 0);
  status = client->GetIndex(0, INT64_MAX, &items);  // still attached
  EXPECT_EQ(status.result(), 2);
  EXPECT_EQ(status.message(), "Unable to access database!");
}

TEST_F(NetworkTest, IndexNeedsTheRecordingsRight) {
  FakeArchive* news = source_.Add("News");
  news->index = {{100, 1000, false}, {200, 2000, true}, {300, 3000, false}};
  AddUser("rec", "pw", {{"News", 1}});
  AddUser("live", "pw", {{"News", 2}});
  StartServer();
  std::vector<protocol::IndexItem> items;

  auto anonymous = Connect();
  ASSERT_TRUE(anonymous->Attach("News").ok());
  ClientStatus status = anonymous->GetIndex(0, 1000, &items);
  EXPECT_EQ(status.result(), kIndexNoRight);
  EXPECT_EQ(status.message(), kTextNoRecordingsRight);
  EXPECT_TRUE(anonymous->Ping().ok());  // still connected

  auto live_only = LoginAttach("live", "pw", "News");
  EXPECT_EQ(live_only->GetIndex(0, 1000, &items).result(), kIndexNoRight);

  auto recordings = LoginAttach("rec", "pw", "News");
  ASSERT_TRUE(recordings->GetIndex(150, 300, &items).ok());
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0], (protocol::IndexItem{200, 2000, true}));
  ASSERT_TRUE(recordings->GetIndex(400, 400, &items).ok());  // empty range
  EXPECT_TRUE(items.empty());
}

TEST_F(NetworkTest, StatusStreamsLevelsAndEndsOnAClientMessage) {
  FakeArchive* news = source_.Add("News");
  AddUser("anna", "pw", {{"News", 1}});
  StartServer();
  auto client = LoginAttach("anna", "pw", "News");
  std::thread feeder([news] {
    ASSERT_TRUE(news->WaitForLevelListener(true));
    news->SendLevel(-1200, 3400);
  });
  protocol::ArchiveStatusInfo seen;
  ASSERT_TRUE(client
                  ->FollowStatus([&](const protocol::ArchiveStatusInfo& s) {
                    seen = s;
                    return s.peak_max == 0;  // until the level arrives
                  })
                  .ok());
  feeder.join();
  EXPECT_EQ(seen, (protocol::ArchiveStatusInfo{1500, 100250, 1, -1200, 3400}));
  EXPECT_TRUE(news->WaitForLevelListener(false));  // unsubscribed
  EXPECT_TRUE(client->Ping().ok());
}

TEST_F(NetworkTest, StatusOfASilentSourceStillEnds) {
  source_.Add("News");  // subscribed, but no level ever comes
  AddUser("anna", "pw", {{"News", 2}});
  StartServer();
  auto client = LoginAttach("anna", "pw", "News");
  int reports = 0;
  ASSERT_TRUE(client->FollowStatus([&](const protocol::ArchiveStatusInfo& s) {
                      EXPECT_EQ(s.peak_min, 0);
                      return ++reports < 2;
                    }).ok());
  EXPECT_TRUE(client->Ping().ok());
}

TEST_F(NetworkTest, DisconnectDuringStatusOfASilentSourceEndsTheConnection) {
  FakeArchive* news = source_.Add("News");
  AddUser("anna", "pw", {{"News", 3}});
  StartServer();
  auto client = LoginAttach("anna", "pw", "News");
  EXPECT_TRUE(client->FollowStatus([&](const protocol::ArchiveStatusInfo&) {
                      client->Close();  // gone without a word
                      return true;
                    }).failed());
  EXPECT_TRUE(server_->WaitForActive(0, 10000));
  EXPECT_TRUE(news->WaitForLevelListener(false));
  EXPECT_EQ(news->clients.load(), 0);
}

TEST_F(NetworkTest, StatusWithoutASourceClosesTheConnection) {
  source_.Add("News")->subscribe_fails = true;
  AddUser("anna", "pw", {{"News", 1}});
  StartServer();
  auto client = Connect();
  EXPECT_EQ(client->FollowStatus([](const auto&) { return false; }).result(), 1);  // not attached
  ASSERT_TRUE(client->Login("anna", "pw").ok());
  ASSERT_TRUE(client->Attach("News").ok());
  EXPECT_TRUE(client->FollowStatus([](const auto&) { return false; }).failed());
}

TEST_F(NetworkTest, StatusNeedsALoginWithARightToTheArchive) {
  source_.Add("News")->records = false;
  source_.Add("Sport")->records = false;
  AddUser("rec", "pw", {{"News", 1}});
  AddUser("live", "pw", {{"News", 2}});
  StartServer();
  const auto one_report = [](const protocol::ArchiveStatusInfo&) { return false; };
  auto client = Connect();
  ASSERT_TRUE(client->Attach("News").ok());
  ClientStatus status = client->FollowStatus(one_report);  // no login
  EXPECT_EQ(status.result(), kStatusNoRight);
  EXPECT_EQ(status.message(), kTextNoArchiveRight);
  struct Case {
    const char* user;
    const char* archive;
    bool served;
  };
  for (const Case& c :
       {Case{"rec", "News", true}, Case{"live", "News", true}, Case{"rec", "Sport", false}}) {
    ASSERT_TRUE(client->Login(c.user, "pw").ok());
    ASSERT_TRUE(client->Attach(c.archive).ok());
    status = client->FollowStatus(one_report);
    EXPECT_EQ(status.ok(), c.served) << c.user << " " << c.archive << ": " << status.ToString();
  }
  EXPECT_TRUE(client->Ping().ok());  // a refusal keeps the connection
}

TEST_F(NetworkTest, StatusPicksUpLevelsOnceTheArchiveStartsRecording) {
  FakeArchive* news = source_.Add("News");
  news->records = false;
  AddUser("anna", "pw", {{"News", 3}});
  StartServer();
  auto client = LoginAttach("anna", "pw", "News");
  std::thread recorder;
  int reports = 0;
  protocol::ArchiveStatusInfo seen;
  ASSERT_TRUE(client
                  ->FollowStatus([&](const protocol::ArchiveStatusInfo& s) {
                    seen = s;
                    if (reports == 0) {
                      // Recording starts after the stream has begun.
                      news->records = true;
                      recorder = std::thread([news] {
                        ASSERT_TRUE(news->WaitForLevelListener(true));
                        news->SendLevel(-700, 900);
                      });
                    }
                    return s.peak_max == 0 && ++reports < 100;
                  })
                  .ok());
  recorder.join();
  EXPECT_EQ(seen.peak_min, -700);
  EXPECT_EQ(seen.peak_max, 900);
  EXPECT_TRUE(news->WaitForLevelListener(false));
}

// ------------------------------------------------------------ archived audio

class ArchivedAudioTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    news_ = source_.Add("News");
    news_->folder = (dir_ / "News").string();
    std::filesystem::create_directories(news_->folder);
    AddUser("rec", "pw", {{"News", 1}});
    AddUser("live", "pw", {{"News", 2}});
    ASSERT_TRUE(archive::CZoneTime::Make(2026, 3, 4, 10, 0, 0, 0, &start_));
    archive::CArchiveFileWrite writer(news_->folder, ".mp3", "Studio");
    ASSERT_TRUE(writer.Open(start_, format_, false).ok());
    block_size_ = kit::BlockSize(format_);
    for (uint32_t i = 0; i < kBlocks; ++i) {
      std::vector<uint8_t> block(block_size_, static_cast<uint8_t>(i));
      ASSERT_TRUE(writer.Write(block.data(), block.size()).ok());
    }
    archive::CZoneTime end = start_;
    ASSERT_TRUE(writer.Close(end).ok());
    StartServer();
  }

  static constexpr uint32_t kBlocks = 40;
  FakeArchive* news_ = nullptr;
  archive::CZoneTime start_;
  kit::AudioFormat format_{128, 44100, 2};
  uint32_t block_size_ = 0;
};

TEST_F(ArchivedAudioTest, PlaysWholeBlocksFromTheOffset) {
  auto client = LoginAttach("rec", "pw", "News");
  const double block_ms = kit::BlockDurationMs(format_);
  const auto offset = static_cast<uint32_t>(block_ms * 25 + 3);  // inside block 25
  Receiver receiver;
  ASSERT_TRUE(client->PlayArchive(start_.ToLinear(), offset, static_cast<uint32_t>(block_ms * 5),
                                  receiver)
                  .ok());
  EXPECT_EQ(receiver.format.start_time, start_.ToLinear() + int64_t{offset / 1000} * 10000000);
  EXPECT_EQ(receiver.format.bitrate_kbps, 128);
  EXPECT_EQ(receiver.format.block_size, static_cast<int32_t>(block_size_));
  EXPECT_FALSE(receiver.format.live);
  ASSERT_EQ(receiver.blocks.size(), 5u);
  EXPECT_EQ(receiver.blocks[0], std::vector<uint8_t>(block_size_, 25));
  EXPECT_EQ(receiver.blocks[4], std::vector<uint8_t>(block_size_, 29));
}

TEST_F(ArchivedAudioTest, EdgeCasesOfTheStretch) {
  auto client = LoginAttach("rec", "pw", "News");
  Receiver empty;
  ASSERT_TRUE(client->PlayArchive(start_.ToLinear(), 0, 0, empty).ok());
  EXPECT_TRUE(empty.began);
  EXPECT_TRUE(empty.blocks.empty());

  Receiver to_end;  // a duration past the end stops at the end
  ASSERT_TRUE(client->PlayArchive(start_.ToLinear(), 0, 3600000, to_end).ok());
  EXPECT_EQ(to_end.blocks.size(), kBlocks);

  Receiver past;
  const ClientStatus status = client->PlayArchive(start_.ToLinear(), 3600000, 1000, past);
  EXPECT_EQ(status.result(), 2);
  EXPECT_EQ(status.message().rfind("File open failed! '", 0), 0u) << status.message();
  EXPECT_FALSE(past.began);

  Receiver stopped;  // the client's message ends the stream; then it is served
  stopped.stop_after = 2;
  ASSERT_TRUE(client->PlayArchive(start_.ToLinear(), 0, 3600000, stopped).ok());
  EXPECT_LT(stopped.blocks.size(), kBlocks);
  EXPECT_TRUE(client->Ping().ok());
}

TEST_F(ArchivedAudioTest, RightsAreCheckedWhereAudioIsServed) {
  Receiver receiver;
  auto anonymous = Connect();
  ASSERT_TRUE(anonymous->Attach("News").ok());
  ClientStatus status = anonymous->PlayArchive(start_.ToLinear(), 0, 1000, receiver);
  EXPECT_EQ(status.result(), kAudioNoRight);
  EXPECT_EQ(status.message(), kTextNoRecordingsRight);

  auto live_only = LoginAttach("live", "pw", "News");
  EXPECT_EQ(live_only->PlayArchive(start_.ToLinear(), 0, 1000, receiver).result(),
            kAudioNoRight);
  EXPECT_TRUE(live_only->Ping().ok());

  auto recordings = LoginAttach("rec", "pw", "News");
  status = recordings->PlayLive(receiver);
  EXPECT_EQ(status.result(), kAudioNoRight);
  EXPECT_EQ(status.message(), kTextNoLiveRight);
  EXPECT_FALSE(receiver.began);
}

// ---------------------------------------------------------------- live audio

class LiveAudioTest : public NetworkTest {
 protected:
  void SetUp() override {
    NetworkTest::SetUp();
    news_ = source_.Add("News");
    AddUser("live", "pw", {{"News", 2}});
    StartServer();
  }
  FakeArchive* news_ = nullptr;
};

TEST_F(LiveAudioTest, FollowsTheEncoderUntilTheClientStops) {
  auto client = LoginAttach("live", "pw", "News");
  Receiver receiver;
  std::atomic<bool> done{false};
  std::thread encoder([&] {
    ASSERT_TRUE(news_->WaitForLiveReaders(1));
    for (int i = 0; i < 200 && !done.load(); ++i) {
      news_->SendLive(836, static_cast<uint8_t>(i));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  receiver.stop_after = 3;
  const ClientStatus status = client->PlayLive(receiver);
  done = true;
  encoder.join();
  ASSERT_TRUE(status.ok()) << status.ToString();
  EXPECT_TRUE(receiver.format.live);
  EXPECT_EQ(receiver.format.bitrate_kbps, 128);
  EXPECT_EQ(receiver.format.samples_per_block, 2304u);
  EXPECT_EQ(receiver.blocks.size(), 3u);
  EXPECT_EQ(receiver.blocks[1], std::vector<uint8_t>(836, 1));
  EXPECT_TRUE(news_->WaitForLiveReaders(0));
  EXPECT_TRUE(client->Ping().ok());
}

TEST_F(LiveAudioTest, SlowReaderIsToldOnceAndTheStreamEnds) {
  auto client = LoginAttach("live", "pw", "News");
  // The limit at 128 kbit/s is 160000 bytes; 200 blocks of 836 bytes wait
  // before the first one goes out.
  news_->prefill_count = 200;
  Receiver receiver;
  const ClientStatus status = client->PlayLive(receiver);
  EXPECT_EQ(status.result(), 4);
  EXPECT_EQ(status.message(),
            "Your connection cannot support the data rate required for this live stream!");
  EXPECT_EQ(receiver.blocks.size(), 1u);
  EXPECT_TRUE(news_->WaitForLiveReaders(0));
  EXPECT_TRUE(client->Ping().ok());
}

TEST_F(LiveAudioTest, WrongBlockSizeAndMissingEncoder) {
  auto client = LoginAttach("live", "pw", "News");
  news_->prefill_count = 1;
  news_->prefill_size = 500;  // a short block, then the encoder ends
  news_->prefill_end = true;
  Receiver receiver;
  ClientStatus status = client->PlayLive(receiver);
  EXPECT_EQ(status.result(), 3);
  EXPECT_EQ(status.message(), "Invalid data received from encoder!");
  EXPECT_TRUE(receiver.blocks.empty());

  news_->live.block_size = 1976;  // over the largest AudioData
  status = client->PlayLive(receiver);
  EXPECT_EQ(status.result(), 2);
  EXPECT_EQ(status.message(), kTextLiveBlockTooLarge);

  news_->has_live = false;
  status = client->PlayLive(receiver);
  EXPECT_EQ(status.result(), 2);
  EXPECT_EQ(status.message(), "Live source is not available for this archive!");
}

}  // namespace
}  // namespace logrum::network::testing
