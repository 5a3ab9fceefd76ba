// A network server on a loopback port over fake archives, with users and
// rights in a registry store of its own (a temporary folder).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Lib/ArchiveManager/Network/NetArchive.h"
#include "Lib/ArchiveManager/Network/NetworkServer.h"
#include "Lib/ArchiveManager/Protocol/Client/ProtocolClient.h"
#include "Lib/Kit/ObjectPool.h"
#include "Lib/Platform/Registry.h"
#include "tests/support/TempDir.h"

namespace logrum::network::testing {

class FakeArchive : public NetArchive {
 public:
  bool active = true;
  bool has_database = true;
  std::atomic<bool> records{true};
  bool subscribe_fails = false;
  bool has_live = true;
  std::string folder;
  std::string ext = ".mp3";
  std::vector<IndexEntry> index;
  LiveFormat live{128, 44100, 2, 836, 2304};
  std::atomic<int> clients{0};
  // Blocks written into a live reader as it is added (before any is read).
  uint32_t prefill_count = 0;
  uint32_t prefill_size = 836;
  bool prefill_end = false;  // then an end-of-data mark

  bool IsActive() override { return active; }
  double GetUsedStorageMB() override { return 1.5; }
  double GetTotalStorageMB() override { return 100.25; }
  void AddClient() override { ++clients; }
  void RemoveClient() override { --clients; }
  uint32_t GetClientCount() override { return static_cast<uint32_t>(clients.load()); }
  bool ReadIndex(int64_t from, int64_t to, std::vector<IndexEntry>* out) override;
  std::string GetFolder() override { return folder; }
  std::string GetExt() override { return ext; }
  bool RecordsToDisk() override { return records; }
  std::unique_ptr<LevelSubscription> SubscribeLevels(audio::LevelListener* listener) override;
  bool GetLiveFormat(LiveFormat* format) override;
  bool AddLiveReader(kit::AudioSink* reader) override;
  bool RemoveLiveReader(kit::AudioSink* reader) override;

  // Test side: sends a level report to the subscribed listener, if any.
  bool SendLevel(int16_t minimum, int16_t maximum);
  bool WaitForLevelListener(bool present);
  FakeArchive();
  ~FakeArchive() override;

  // Writes a block of `size` bytes (at most 1100) of `fill` to every live
  // reader, from one pool of blocks like the live encoder's.
  void SendLive(uint32_t size, uint8_t fill);
  // Blocks of SendLive still held by the readers (the server's queues).
  uint32_t LiveBlocksHeld();
  bool WaitForLiveReaders(size_t count);

 private:
  class Subscription;
  static void WriteBlock(kit::AudioSink* reader, uint32_t size, uint8_t fill);
  std::mutex mu_;
  std::condition_variable changed_;
  audio::LevelListener* level_listener_ = nullptr;
  std::vector<kit::AudioSink*> readers_;
  kit::CMemBlockFactory* live_pool_;
};

class FakeSource : public NetArchiveSource {
 public:
  std::map<std::string, std::unique_ptr<FakeArchive>> archives;
  FakeArchive* Add(const std::string& name);
  void EnumArchives(const std::function<void(const char*, NetArchive*)>& fn) override;
  NetArchive* FindArchive(const char* name) override;
};

class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A user with this password digest text and rights per archive name.
  void AddUser(const std::string& user, const std::string& password,
               const std::map<std::string, int32_t>& rights);
  void StartServer(NetworkSettings settings = ShortSettings());
  static NetworkSettings ShortSettings();
  // A connected, handshaken client.
  std::unique_ptr<protocol::ProtocolClient> Connect();
  std::unique_ptr<protocol::ProtocolClient> LoginAttach(const std::string& user,
                                                        const std::string& password,
                                                        const std::string& archive);

  logrum::testing::TempDir temp_{"network"};
  std::filesystem::path dir_ = temp_.path();
  std::unique_ptr<platform::Registry> store_;
  FakeSource source_;
  std::unique_ptr<NetworkServer> server_;
};

}  // namespace logrum::network::testing
