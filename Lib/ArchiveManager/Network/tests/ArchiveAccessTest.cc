// The network server over real archives of the archive service: a
// serving-only archive with a segment in its folder and database, reached
// through the server object's network server and the protocol client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "Lib/ArchiveManager/Archive/ArchiveManager.h"
#include "Lib/ArchiveManager/Archive/ArchiveP.h"
#include "Lib/ArchiveManager/Archive/ServerObject.h"
#include "Lib/ArchiveManager/Archive/testing/HostOptions.h"
#include "Lib/ArchiveManager/Network/ArchiveAccess.h"
#include "Lib/ArchiveManager/Network/NetworkServer.h"
#include "Lib/ArchiveManager/Network/UserRights.h"
#include "Lib/ArchiveManager/Protocol/Client/ProtocolClient.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileWrite.h"
#include "Lib/ArchiveManager/include/NetworkSeam.h"
#include "Lib/Kit/Layer3Format.h"
#include "Lib/Kit/Options/OptionsReg.h"
#include "Lib/Kit/Options/RegistryKey.h"
#include "Lib/Platform/TimeZone.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestSupport.h"

namespace logrum::network {
namespace {

using archive::CZoneTime;

uint16_t FreePort() { return logrum::testing::FreeLoopbackPort(); }

class Receiver : public protocol::AudioReceiver {
 public:
  bool OnAudioBegin(const protocol::AudioFormatInfo& f) override {
    format = f;
    return true;
  }
  bool OnAudioData(const uint8_t* data, size_t size) override {
    bytes += size;
    (void)data;
    return true;
  }
  protocol::AudioFormatInfo format;
  size_t bytes = 0;
};

class ArchiveAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    ASSERT_TRUE(platform::Registry::Open(root_ + "/registry.db3", &store_).ok());
    previous_ = platform::SetDefaultRegistry(store_.get());
    kit::RegistryKey users(false, store_.get());
    ASSERT_TRUE(users.Open(kUsersKey, false).ok());
    ASSERT_TRUE(users.WriteString("anna", "Password", "pw").ok());
    kit::OptionsReg rights(false, store_.get());
    rights.SetInteger("News", 1);
    ASSERT_TRUE(rights.Save(std::string(kUsersKey) + "\\anna\\ArchiveRights").ok());

    options_.log_path = root_ + "/logs";
    options_.archive_path = root_ + "/News";
    options_.record_to_disk = false;
    archive_ = manager_.CreateArchive("News");
    ASSERT_TRUE(archive_->Open(&options_, nullptr, nullptr, true, nullptr));
    ASSERT_TRUE(archive_->IsActive());
    // The open sequence runs on the archive's thread: its storage manager
    // (with the database the tests write to) comes a moment later.
    for (int i = 0; i < 2000 && !archive::CArchiveP::FromInterface(archive_)->WithStorage(
                                    [](archive::CStorageManager&) {});
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  void TearDown() override {
    archive_->Release();
    platform::SetDefaultRegistry(previous_);
    store_.reset();
  }

  // A segment of `blocks` blocks in the folder and the database.
  CZoneTime AddSegment(uint32_t blocks) {
    CZoneTime start;
    EXPECT_TRUE(CZoneTime::Make(2026, 5, 6, 7, 0, 0, 0, &start));
    const kit::AudioFormat format{128, 44100, 2};
    archive::CArchiveFileWrite writer(options_.archive_path, ".mp3", "Studio");
    EXPECT_TRUE(writer.Open(start, format, false).ok());
    std::vector<uint8_t> block(kit::BlockSize(format), 0x55);
    for (uint32_t i = 0; i < blocks; ++i) {
      EXPECT_TRUE(writer.Write(block.data(), block.size()).ok());
    }
    EXPECT_TRUE(writer.Close(start).ok());
    const uint32_t duration = kit::DurationMsOfBytes(format, uint64_t{blocks} * block.size());
    EXPECT_TRUE(archive::CArchiveP::FromInterface(archive_)->WithStorage(
        [&](archive::CStorageManager& storage) {
          EXPECT_TRUE(storage.database()
                          ->AddSegment(start, duration, false, blocks * block.size(), start)
                          .ok());
        }));
    return start;
  }

  logrum::testing::TempDir temp_{"network"};
  std::string root_ = temp_.path();
  std::unique_ptr<platform::Registry> store_;
  platform::Registry* previous_ = nullptr;
  archive::testing::HostOptions options_;
  archive::ArchiveManager manager_;
  IArchive* archive_ = nullptr;
};

TEST_F(ArchiveAccessTest, ServerObjectServesTheArchivesOfTheManager) {
  const CZoneTime start = AddSegment(12);
  std::unique_ptr<archive::INetworkServer> server = archive::CreateNetworkServer(&manager_);
  ASSERT_NE(server, nullptr);
  const uint16_t port = FreePort();
  ASSERT_TRUE(server->Open(port).ok());
  EXPECT_FALSE(server->Open(port).ok());

  protocol::ProtocolClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", port).ok());
  ASSERT_TRUE(client.Login("ANNA", "pw").ok());
  std::vector<std::string> names;
  ASSERT_TRUE(client.ListArchives(protocol::kListRecordings, &names).ok());
  EXPECT_EQ(names, std::vector<std::string>{"News"});
  ASSERT_TRUE(client.Attach("News").ok());
  EXPECT_EQ(archive::CArchiveP::FromInterface(archive_)->GetClientCount(), 1);

  std::vector<protocol::IndexItem> items;
  ASSERT_TRUE(client.GetIndex(0, INT64_MAX, &items).ok());
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].start_time, start.ToLinear());

  Receiver receiver;
  ASSERT_TRUE(client.PlayArchive(start.ToLinear(), 0, 60000, receiver).ok());
  const uint32_t block = kit::BlockSize(kit::AudioFormat{128, 44100, 2});
  EXPECT_EQ(receiver.bytes, 12u * block);
  EXPECT_EQ(receiver.format.block_size, static_cast<int32_t>(block));

  // A serving-only archive has no live encoder, and no source for levels.
  Receiver live;
  EXPECT_EQ(client.PlayLive(live).result(), 5);  // no live right
  int reports = 0;
  ASSERT_TRUE(client.FollowStatus([&](const protocol::ArchiveStatusInfo& s) {
                      EXPECT_EQ(s.clients, 1u);
                      EXPECT_EQ(s.peak_max, 0);
                      return ++reports < 2;
                    }).ok());

  // Closed archive: attached still, but nothing to serve.
  archive_->Close();
  EXPECT_EQ(client.GetIndex(0, INT64_MAX, &items).result(), 2);
  server->Close();
  EXPECT_EQ(archive::CArchiveP::FromInterface(archive_)->GetClientCount(), 0);
  EXPECT_TRUE(server->Open(port).ok());
  server->Close();
}

// The server object's Open keeps its bool; the reason comes from its next slot,
// so the host can tell the engineer why instead of guessing.
TEST_F(ArchiveAccessTest, ServerObjectTellsWhyItsPortCannotBeOpened) {
  archive::ArchiveServerObject first(&manager_), second(&manager_);
  const uint16_t port = FreePort();
  ASSERT_TRUE(first.Open(port));
  char reason[256] = "stale";
  EXPECT_EQ(first.GetOpenError(reason, sizeof reason), 0);
  EXPECT_STREQ(reason, "");

  EXPECT_FALSE(second.Open(port));
  const std::string expected =
      "cannot listen on port " + std::to_string(port) + ": Address already in use";
  const int32_t length = second.GetOpenError(reason, sizeof reason);
  EXPECT_EQ(std::string(reason).rfind(expected, 0), 0u) << reason;
  EXPECT_EQ(length, static_cast<int32_t>(std::strlen(reason)));
  char cut[8];
  EXPECT_EQ(second.GetOpenError(cut, sizeof cut), length);
  EXPECT_STREQ(cut, "cannot ");

  // Once the port is free, the same object opens it.
  first.Close();
  EXPECT_TRUE(second.Open(port));
  EXPECT_EQ(second.GetOpenError(reason, sizeof reason), 0);
  second.Close();
}

TEST_F(ArchiveAccessTest, DeletedArchiveIsNotReachedThroughAnAttachment) {
  std::unique_ptr<archive::INetworkServer> server = archive::CreateNetworkServer(&manager_);
  const uint16_t port = FreePort();
  ASSERT_TRUE(server->Open(port).ok());
  protocol::ProtocolClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", port).ok());
  ASSERT_TRUE(client.Login("anna", "pw").ok());
  ASSERT_TRUE(client.Attach("News").ok());
  archive_->Release();
  archive_ = manager_.CreateArchive("Other");  // for TearDown
  std::vector<protocol::IndexItem> items;
  EXPECT_EQ(client.GetIndex(0, INT64_MAX, &items).result(), 2);
  EXPECT_TRUE(client.Ping().ok());
  server->Close();
}

// The archive's database held under an exclusive lock by another connection
// (a tool, a copy being taken) while a client asks for the index: the client
// gets "Unable to access database!", never a short or empty index, and the
// connection goes on; once the lock is gone the whole index comes.
TEST_F(ArchiveAccessTest, ALockedDatabaseAnswersTheIndexErrorNotAShortList) {
  archive::CArchiveP* archive = archive::CArchiveP::FromInterface(archive_);
  ASSERT_TRUE(archive->WithStorage([&](archive::CStorageManager& storage) {
    // The first scan of the folder is over, so no sweep can run into the lock.
    ASSERT_TRUE(storage.scanner()->WaitScans(1, 10000));
    for (int minute = 0; minute < 3; ++minute) {
      CZoneTime start;
      ASSERT_TRUE(CZoneTime::Make(2026, 5, 6, 7, minute * 15, 0, 0, &start));
      ASSERT_TRUE(storage.database()->AddSegment(start, 900000, false, 417, start).ok());
    }
  }));
  std::unique_ptr<archive::INetworkServer> server = archive::CreateNetworkServer(&manager_);
  const uint16_t port = FreePort();
  ASSERT_TRUE(server->Open(port).ok());
  protocol::ProtocolClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", port).ok());
  ASSERT_TRUE(client.Login("anna", "pw").ok());
  ASSERT_TRUE(client.Attach("News").ok());

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open_v2((options_.archive_path + "/archive.db3").c_str(), &other,
                            SQLITE_OPEN_READWRITE, nullptr),
            SQLITE_OK);
  sqlite3_busy_timeout(other, 10000);
  ASSERT_EQ(sqlite3_exec(other, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK);
  std::vector<protocol::IndexItem> items;
  const protocol::ClientStatus locked = client.GetIndex(0, INT64_MAX, &items);
  EXPECT_EQ(locked.result(), protocol::kIndexNoDatabase);
  EXPECT_TRUE(items.empty());
  ASSERT_EQ(sqlite3_exec(other, "rollback", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  EXPECT_TRUE(client.Ping().ok());
  ASSERT_TRUE(client.GetIndex(0, INT64_MAX, &items).ok());
  EXPECT_EQ(items.size(), 3u);
  server->Close();
}

// Index bounds far from this year: each answer is the overlap of the asked
// range with what exists (one segment of 2026).
TEST_F(ArchiveAccessTest, IndexBoundsBeforeAndAfterTheTimeRangeGiveTheOverlap) {
  const CZoneTime start = AddSegment(3);
  std::unique_ptr<archive::INetworkServer> server = archive::CreateNetworkServer(&manager_);
  const uint16_t port = FreePort();
  ASSERT_TRUE(server->Open(port).ok());
  protocol::ProtocolClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", port).ok());
  ASSERT_TRUE(client.Login("anna", "pw").ok());
  ASSERT_TRUE(client.Attach("News").ok());
  const auto year = [](int y) { return platform::CalendarToFileTime({y, 1, 1, 0, 0, 0}); };
  struct Case {
    int64_t from, to;
    size_t segments;
  };
  for (const Case& c : {Case{year(2005), year(2045), 1}, Case{year(2010), year(2045), 1},
                        Case{year(2005), year(2010), 0}, Case{year(2045), year(2046), 0},
                        Case{year(2010), start.ToLinear(), 0},
                        Case{start.ToLinear(), year(2045), 1}, Case{0, INT64_MAX, 1}}) {
    std::vector<protocol::IndexItem> items;
    ASSERT_TRUE(client.GetIndex(c.from, c.to, &items).ok());
    EXPECT_EQ(items.size(), c.segments) << c.from << " to " << c.to;
  }
  server->Close();
}

TEST_F(ArchiveAccessTest, DeletingAPinnedArchiveWaitsUntilItsUseEnds) {
  archive::CArchiveP* pinned = manager_.Pin("News", archive_);
  ASSERT_NE(pinned, nullptr);
  std::atomic<bool> deleted{false};
  std::thread host([&] {
    archive_->Release();
    deleted = true;
  });
  // The name goes at once, so no new use can begin ...
  while (manager_.FindArchive("News") != nullptr) std::this_thread::yield();
  EXPECT_EQ(manager_.Pin("News", archive_), nullptr);
  // ... while the one under way still has its archive.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(deleted.load());
  EXPECT_EQ(pinned->GetName(), "News");
  manager_.Unpin(pinned);
  host.join();
  EXPECT_TRUE(deleted.load());
  archive_ = manager_.CreateArchive("News");  // for TearDown
}

// Deleting an archive while a status stream reads it many times a second:
// under AddressSanitizer any use of the freed archive fails the test.
TEST_F(ArchiveAccessTest, ArchiveDeletedWhileAStatusStreamPollsIt) {
  ManagerAccess access(&manager_);
  NetworkSettings settings;
  settings.store = store_.get();
  settings.status_pause_ms = 0;
  NetworkServer server(&access, settings);
  ASSERT_TRUE(server.Open(0).ok());
  for (int round = 0; round < 5; ++round) {
    if (archive_ == nullptr) {
      archive_ = manager_.CreateArchive("News");
      ASSERT_TRUE(archive_->Open(&options_, nullptr, nullptr, true, nullptr));
    }
    protocol::ProtocolClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()).ok());
    ASSERT_TRUE(client.Login("anna", "pw").ok());
    ASSERT_TRUE(client.Attach("News").ok());
    std::atomic<int> reports{0};
    std::thread follower([&] {
      EXPECT_TRUE(
          client.FollowStatus([&](const protocol::ArchiveStatusInfo&) { return ++reports < 4000; })
              .ok());
    });
    while (reports.load() < 50) std::this_thread::yield();
    archive_->Release();
    archive_ = nullptr;
    follower.join();
  }
  server.Close();
  archive_ = manager_.CreateArchive("News");  // for TearDown
}

}  // namespace
}  // namespace logrum::network
