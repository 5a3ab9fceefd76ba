#include "Lib/ArchiveManager/Network/tests/NetworkFixture.h"

#include <chrono>
#include <cstring>

#include "Lib/Kit/MemBlock.h"
#include "Lib/Kit/ObjectPool.h"
#include "Lib/Kit/Options/OptionsReg.h"
#include "Lib/Kit/Options/RegistryKey.h"
#include "Lib/ArchiveManager/Network/UserRights.h"

namespace logrum::network::testing {

constexpr uint32_t kMaxLiveBlock = 1100;

bool FakeArchive::ReadIndex(int64_t from, int64_t to, std::vector<IndexEntry>* out) {
  if (!has_database) return false;
  for (const IndexEntry& entry : index) {
    if (entry.start >= from && entry.start < to) out->push_back(entry);
  }
  return true;
}

class FakeArchive::Subscription : public LevelSubscription {
 public:
  explicit Subscription(FakeArchive* archive) : archive_(archive) {}
  ~Subscription() override {
    std::lock_guard lock(archive_->mu_);
    archive_->level_listener_ = nullptr;
    archive_->changed_.notify_all();
  }

 private:
  FakeArchive* archive_;
};

std::unique_ptr<LevelSubscription> FakeArchive::SubscribeLevels(audio::LevelListener* listener) {
  if (subscribe_fails) return nullptr;
  std::lock_guard lock(mu_);
  level_listener_ = listener;
  changed_.notify_all();
  return std::make_unique<Subscription>(this);
}

bool FakeArchive::SendLevel(int16_t minimum, int16_t maximum) {
  std::lock_guard lock(mu_);
  if (level_listener_ == nullptr) return false;
  level_listener_->OnLevel(minimum, maximum, 0);
  return true;
}

bool FakeArchive::WaitForLevelListener(bool present) {
  std::unique_lock lock(mu_);
  return changed_.wait_for(lock, std::chrono::seconds(10),
                           [&] { return (level_listener_ != nullptr) == present; });
}

bool FakeArchive::GetLiveFormat(LiveFormat* format) {
  if (!has_live) return false;
  *format = live;
  return true;
}

bool FakeArchive::AddLiveReader(kit::AudioSink* reader) {
  std::lock_guard lock(mu_);
  for (uint32_t i = 0; i < prefill_count; ++i) WriteBlock(reader, prefill_size, static_cast<uint8_t>(i));
  if (prefill_end) reader->Write(nullptr);
  readers_.push_back(reader);
  changed_.notify_all();
  return true;
}

bool FakeArchive::RemoveLiveReader(kit::AudioSink* reader) {
  std::lock_guard lock(mu_);
  std::erase(readers_, reader);
  changed_.notify_all();
  return true;
}

void FakeArchive::WriteBlock(kit::AudioSink* reader, uint32_t size, uint8_t fill) {
  kit::CMemBlockFactory* pool = kit::CMemBlockFactory::Create(1, 1, kit::kPoolUnlimited, size);
  kit::MemBlock* block = pool->GetBlock();
  std::memset(block->GetData(), fill, size);
  block->set_data_length(size);
  reader->Write(block);
  block->Release();
  pool->Release();
}

FakeArchive::FakeArchive()
    : live_pool_(kit::CMemBlockFactory::Create(8, 8, kit::kPoolUnlimited, kMaxLiveBlock)) {}

FakeArchive::~FakeArchive() {
  live_pool_->Release();
}

void FakeArchive::SendLive(uint32_t size, uint8_t fill) {
  kit::MemBlock* block = live_pool_->GetBlock();
  std::memset(block->GetData(), fill, size);
  block->set_data_length(size);
  {
    std::lock_guard lock(mu_);
    for (kit::AudioSink* reader : readers_) reader->Write(block);
  }
  block->Release();
}

uint32_t FakeArchive::LiveBlocksHeld() {
  return live_pool_->Statistics().outstanding;
}

bool FakeArchive::WaitForLiveReaders(size_t count) {
  std::unique_lock lock(mu_);
  return changed_.wait_for(lock, std::chrono::seconds(10),
                           [&] { return readers_.size() == count; });
}

FakeArchive* FakeSource::Add(const std::string& name) {
  auto archive = std::make_unique<FakeArchive>();
  FakeArchive* raw = archive.get();
  archives[name] = std::move(archive);
  return raw;
}

void FakeSource::EnumArchives(const std::function<void(const char*, NetArchive*)>& fn) {
  for (auto& [name, archive] : archives) fn(name.c_str(), archive.get());
}

NetArchive* FakeSource::FindArchive(const char* name) {
  auto it = archives.find(name);
  return it == archives.end() ? nullptr : it->second.get();
}

void NetworkTest::SetUp() {
  ASSERT_TRUE(platform::Registry::Open((dir_ / "registry.db3").string(), &store_).ok());
}

void NetworkTest::TearDown() {
  if (server_) server_->Close();
  server_.reset();
  store_.reset();
}

void NetworkTest::AddUser(const std::string& user, const std::string& password,
                          const std::map<std::string, int32_t>& rights) {
  kit::RegistryKey users(false, store_.get());
  ASSERT_TRUE(users.Open(kUsersKey, false).ok());
  ASSERT_TRUE(users.WriteString(user, "Password", password).ok());
  kit::OptionsReg map(false, store_.get());
  for (const auto& [archive, bits] : rights) map.SetInteger(archive, bits);
  ASSERT_TRUE(map.Save(std::string(kUsersKey) + "\\" + user + "\\ArchiveRights").ok());
}

NetworkSettings NetworkTest::ShortSettings() {
  NetworkSettings settings;
  settings.idle_timeout_ms = 300;
  settings.handshake_timeout_ms = 400;
  settings.level_wait_ms = 100;
  settings.status_pause_ms = 50;
  return settings;
}

void NetworkTest::StartServer(NetworkSettings settings) {
  settings.store = store_.get();
  server_ = std::make_unique<NetworkServer>(&source_, settings);
  ASSERT_TRUE(server_->Open(0).ok());
  ASSERT_NE(server_->port(), 0);
}

std::unique_ptr<protocol::ProtocolClient> NetworkTest::Connect() {
  auto client = std::make_unique<protocol::ProtocolClient>();
  protocol::ClientOptions options;
  options.answer_timeout_ms = 10000;
  const protocol::ClientStatus status = client->Connect("127.0.0.1", server_->port(), options);
  EXPECT_TRUE(status.ok()) << status.ToString();
  return client;
}

std::unique_ptr<protocol::ProtocolClient> NetworkTest::LoginAttach(const std::string& user,
                                                                   const std::string& password,
                                                                   const std::string& archive) {
  auto client = Connect();
  EXPECT_TRUE(client->Login(user, password).ok());
  EXPECT_TRUE(client->Attach(archive).ok());
  return client;
}

}  // namespace logrum::network::testing
