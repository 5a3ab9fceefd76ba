#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "App/Server/ArchiveList.h"
#include "App/Server/AudioDeviceTable.h"
#include "App/Server/ScheduleStore.h"
#include "App/Server/ServerSettings.h"
#include "App/Server/tests/ConfigFixture.h"

namespace logrum::server {
namespace {

using platform::kRegBinary;

class ConfigStoreTest : public ConfigFixture {};

TEST_F(ConfigStoreTest, FreshStoreGivesDefaultsAndCreatesTheArchivesKey) {
  ArchiveList archives(store_.get(), &sink_);
  archives.Load();
  EXPECT_EQ(archives.size(), 0u);
  EXPECT_TRUE(KeyExists(ArchivesKeyPath()));
  ServerSettings server(store_.get());
  EXPECT_FALSE(server.Load());  // no Server key yet
  EXPECT_EQ(server.port(), 9020);
  EXPECT_TRUE(sink_.numbers.empty());
}

TEST_F(ConfigStoreTest, ArchiveWithOnlySourceNameLoadsDefaultsAndSavesThemAll) {
  const std::string key = ArchiveKeyPath("News");
  PutString(key, "SourceName", "Studio A");
  PutInt(key, "SomethingNew", 77);             // unknown to the program: kept
  PutString(key, "maxdays", "not a number");  // wrong type: getters do not crash
  PutInt(key, "EraseBehavior", 1);

  ArchiveList archives(store_.get(), &sink_);
  archives.Load();
  ASSERT_EQ(archives.size(), 1u);
  ArchiveOptions* news = archives.Find("NEWS");
  ASSERT_NE(news, nullptr);
  EXPECT_EQ(news->name(), "News");
  EXPECT_STREQ(news->GetSourceName(), "Studio A");
  EXPECT_EQ(news->GetRecSampleRate(), 44100);
  EXPECT_EQ(news->GetOnBitrateK(), 128);
  EXPECT_EQ(news->GetLoggerBlockDuration(), 4000);
  EXPECT_EQ(news->GetDiskSpaceToUseKB(), 1000000);
  EXPECT_EQ(news->GetMaxDays(), -1);        // stored as text
  EXPECT_EQ(news->GetEraseBehavior(), 0);   // stored 1: never erase
  EXPECT_EQ(news->GetSegmentAlign(), -1);   // no default
  EXPECT_STREQ(news->GetArchiveExt(), ".mp3");
  EXPECT_STREQ(news->GetSkimSource(), "");
  EXPECT_EQ(news->GetRecordToDisk(), 1);
  EXPECT_EQ(news->AutoStart(), 0);
  EXPECT_EQ(news->EnableScheduler(), 0);

  ASSERT_TRUE(archives.Save("news"));
  // Every registered value is now in the key, and the unknown one is unchanged.
  auto names = ValueNames(key);
  for (const char* name : {"RecSampleRate", "MaxDays", "SegmentSizeMinutes", "AutoStart",
                           "EnableScheduler", "BackupString", "LoggerBlockDuration"}) {
    EXPECT_NE(std::find_if(names.begin(), names.end(),
                           [&](const std::string& n) { return strcasecmp(n.c_str(), name) == 0; }),
              names.end())
        << name;
  }
  EXPECT_EQ(Get(key, "SomethingNew"), Dword(77));
  EXPECT_EQ(Get(key, "RecSampleRate"), Dword(44100));
  EXPECT_EQ(Get(key, "SourceName"), Sz("Studio A"));
  EXPECT_EQ(Get(ScheduleKeyPath("News"), "EventCount"), Dword(0));
}

TEST_F(ConfigStoreTest, MaxDaysDefaultsTo356) {
  ArchiveOptions options(store_.get());
  options.RegisterDefaults();
  EXPECT_EQ(options.GetMaxDays(), 356);
  EXPECT_EQ(options.GetEraseBehavior(), 1);
  EXPECT_FALSE(options.Load(ArchiveKeyPath("absent")));
}

TEST_F(ConfigStoreTest, ScheduleSkipsIncompleteEventsAndIsRenumberedOnSave) {
  const std::string key = ScheduleKeyPath("News");
  auto record = [](int32_t time, int32_t action, int32_t days) {
    ScheduleEvent e;
    e.time_of_day = time;
    e.action = action;
    e.day_mask = days;
    auto r = e.Record();
    return std::string(reinterpret_cast<const char*>(r.data()), r.size());
  };
  PutInt(key, "EventCount", 3);
  PutString(key, "Desc001", "late start");
  Put(key, "Data001", kRegBinary, record(20 * 3600, 0, 0x7f));
  Put(key, "Data002", kRegBinary, record(1, 1, 0x7f));  // no Desc002
  PutString(key, "Desc003", "early stop");
  Put(key, "Data003", kRegBinary, record(6 * 3600, 1, 0x1f));

  Schedule schedule;
  ASSERT_TRUE(LoadSchedule(store_.get(), key, &schedule));
  ASSERT_EQ(schedule.size(), 2u);
  EXPECT_EQ(schedule.events()[0].description, "early stop");  // sorted by time
  EXPECT_EQ(schedule.events()[1].description, "late start");

  ASSERT_TRUE(SaveSchedule(store_.get(), key, schedule));
  EXPECT_EQ(Get(key, "EventCount"), Dword(2));
  EXPECT_EQ(Get(key, "Desc001"), Sz("early stop"));
  EXPECT_EQ(Get(key, "Data001"), record(6 * 3600, 1, 0x1f));
  EXPECT_EQ(Get(key, "Desc002"), Sz("late start"));
  EXPECT_EQ(Get(key, "Desc003"), "<missing>");
  EXPECT_EQ(Get(key, "Data003"), "<missing>");

  // A damaged count is not trusted beyond the values present.
  PutInt(key, "EventCount", 0x7fffffff);
  ASSERT_TRUE(LoadSchedule(store_.get(), key, &schedule));
  EXPECT_EQ(schedule.size(), 2u);
}

// Hand-edited or imported schedules skip numbers: the events are found by the numbers
// present, up to EventCount (never past it).
TEST_F(ConfigStoreTest, ScheduleEventsAfterAGapInTheNumberingLoad) {
  const std::string key = ScheduleKeyPath("News");
  ScheduleEvent e;
  e.time_of_day = 8 * 3600;
  e.day_mask = 0x7f;
  auto r = e.Record();
  const std::string record(reinterpret_cast<const char*>(r.data()), r.size());
  struct Case {
    int32_t count;
    std::vector<int> numbers;
    size_t loaded;
  } cases[] = {
      {4, {4}, 1},            // only Desc004/Data004
      {10, {2, 7, 10}, 3},    // several gaps
      {3, {1, 5}, 1},         // a number past the count stays out
      {1500, {1200}, 1},      // four-digit numbers as "%3.3d" writes them
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    (void)store_->DeleteKey(kLM, key);
    PutInt(key, "EventCount", static_cast<uint32_t>(c.count));
    for (int n : c.numbers) {
      char desc[16], data[16];
      std::snprintf(desc, sizeof desc, "Desc%3.3d", n);
      std::snprintf(data, sizeof data, "Data%3.3d", n);
      PutString(key, desc, "event " + std::to_string(n));
      Put(key, data, kRegBinary, record);
    }
    Schedule schedule;
    ASSERT_TRUE(LoadSchedule(store_.get(), key, &schedule));
    EXPECT_EQ(schedule.size(), c.loaded);
  }
}

TEST_F(ConfigStoreTest, ArchiveListIsCaseInsensitiveAndRemovesWholeKeys) {
  for (const char* name : {"gamma", "Alpha", "beta"}) PutString(ArchiveKeyPath(name), "ArchivePath", std::string("/srv/") + name);
  PutInt(ScheduleKeyPath("beta"), "EventCount", 0);
  ArchiveList archives(store_.get(), &sink_);
  archives.Load();
  std::vector<std::string> order;
  archives.ForEach([&](ArchiveOptions& a) { order.push_back(a.name()); });
  EXPECT_EQ(order, (std::vector<std::string>{"Alpha", "beta", "gamma"}));

  EXPECT_TRUE(archives.IsFolderUsed("/srv/beta", "Alpha"));
  EXPECT_FALSE(archives.IsFolderUsed("/srv/beta", "BETA"));

  // Inserting a name already present replaces the older object.
  auto replacement = std::make_unique<ArchiveOptions>(store_.get());
  replacement->RegisterDefaults();
  replacement->set_name("ALPHA");
  archives.Insert(std::move(replacement));
  EXPECT_EQ(archives.size(), 3u);
  EXPECT_EQ(archives.Find("alpha")->name(), "ALPHA");

  ASSERT_TRUE(archives.Remove("BETA"));
  EXPECT_EQ(archives.Find("beta"), nullptr);
  EXPECT_FALSE(KeyExists(ArchiveKeyPath("beta")));
  EXPECT_FALSE(KeyExists(ScheduleKeyPath("beta")));
  EXPECT_TRUE(sink_.numbers.empty());
}

// A capture library stand-in with named devices.
class FakeManager final : public audio::CAudioSourceManager {
 public:
  explicit FakeManager(std::vector<std::string> names) : names_(std::move(names)) {}
  int32_t GetNumDevices() override { return static_cast<int32_t>(names_.size()); }
  uint32_t GetDeviceName(uint32_t index, char* buffer, uint32_t size) override {
    if (index >= names_.size() || names_[index].empty()) return 0;
    std::snprintf(buffer, size, "%s", names_[index].c_str());
    return static_cast<uint32_t>(names_[index].size() + 1);
  }
  bool IsDeviceActive(uint32_t) override { return false; }
  bool DefineDevice(const audio::DeviceInfo*) override { return true; }
  bool Subscribe(const char*, const audio::SourceSubscription*) override { return false; }
  bool Unsubscribe(const char*, const audio::SourceSubscription*) override { return false; }
  void RemoveAll() override {}

 private:
  std::vector<std::string> names_;
};

TEST_F(ConfigStoreTest, SourcesAreDefinedFromAudioDevices2) {
  const std::string key = AudioDevices2KeyPath();
  PutString(key, "News", "3Card A");
  PutString(key, "Talk", "2card b");       // device names ignore case
  PutString(key, "Phone", "1Card B");
  PutString(key, "Gone", "1Missing Card");  // kept, defines nothing
  FakeManager manager({"Card A", "Card B"});
  AudioDeviceTable table(store_.get(), &sink_);
  table.Load(&manager);

  ASSERT_EQ(table.entries().size(), 2u);
  const auto& a = table.entries()[0];
  const auto& b = table.entries()[1];
  // Packed fields are copied out (unary +): a reference to one may be misaligned.
  EXPECT_EQ(+a.info.uDeviceIndex, 0u);
  EXPECT_EQ(+a.info.nSampleRate, 44100);
  EXPECT_EQ(+a.info.cbPcmBlock, 36864);
  EXPECT_EQ(+a.info.bSplitMono, 0);
  EXPECT_STREQ(a.info.szSourceLeft, "News");
  EXPECT_EQ(a.channel_use, 3);
  EXPECT_EQ(+b.info.bSplitMono, 1);
  EXPECT_STREQ(b.info.szSourceLeft, "Talk");
  EXPECT_STREQ(b.info.szSourceRight, "Phone");
  EXPECT_EQ(b.channel_use, 3);
  EXPECT_EQ(table.FullyUsedCount(), 2);
  EXPECT_EQ(table.DeviceOfSource("NEWS"), "Card A");
  EXPECT_EQ(table.DeviceOfSource("nothing"), "");
  EXPECT_EQ(Get(key, "Gone"), Sz("1Missing Card"));

  table.RemoveSource("phone");
  EXPECT_EQ(table.entries()[1].channel_use, 2);
  EXPECT_EQ(Get(key, "Phone"), "<missing>");
  EXPECT_EQ(table.FullyUsedCount(), 1);
  EXPECT_TRUE(sink_.numbers.empty());
}

TEST_F(ConfigStoreTest, OlderAudioDevicesAreCarriedIntoAudioDevices2) {
  const std::string old_key = AudioDevicesKeyPath();
  PutInt(old_key, "News", (1u << 8) | 3);
  PutInt(old_key, "Right", (0u << 8) | 1);
  PutInt(old_key, "Nowhere", (9u << 8) | 3);  // no such device
  FakeManager manager({"Card A", "Card B"});
  AudioDeviceTable table(store_.get(), &sink_);
  table.Load(&manager);

  EXPECT_STREQ(table.entries()[1].info.szSourceLeft, "News");
  EXPECT_STREQ(table.entries()[0].info.szSourceRight, "Right");
  EXPECT_EQ(Get(AudioDevices2KeyPath(), "News"), Sz("3Card B"));
  EXPECT_EQ(Get(AudioDevices2KeyPath(), "Right"), Sz("1Card A"));
  EXPECT_EQ(Get(AudioDevices2KeyPath(), "Nowhere"), "<missing>");
  // The older key is left as it was.
  EXPECT_EQ(Get(old_key, "News"), Dword((1u << 8) | 3));
  EXPECT_EQ(ValueNames(old_key).size(), 3u);
}

TEST_F(ConfigStoreTest, NoDevicesNoSources) {
  PutString(AudioDevices2KeyPath(), "News", "3Card A");
  AudioDeviceTable table(store_.get(), &sink_);
  table.Load(nullptr);
  EXPECT_TRUE(table.entries().empty());
  table.SetSource("News", 0, 3, true);  // outside the table: ignored
  EXPECT_EQ(Get(AudioDevices2KeyPath(), "News"), Sz("3Card A"));
  EXPECT_STREQ(ChannelCodeText(2), "Left only");
  EXPECT_STREQ(ChannelCodeText(0), "<Unknown>");
}

// An unreachable store: every load and save says so, and nothing crashes.
TEST_F(ConfigStoreTest, AnUnreachableStoreShowsMessage103) {
  std::string blocker = (dir_ / "a-file").string();
  FILE* f = std::fopen(blocker.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  const char* old = getenv("LOGRUM2_HOME");
  std::string saved = old ? old : "";
  setenv("LOGRUM2_HOME", (blocker + "/state").c_str(), 1);
  platform::Registry* previous = platform::SetDefaultRegistry(nullptr);

  ArchiveList archives(nullptr, &sink_);
  archives.Load();
  EXPECT_EQ(archives.size(), 0u);
  auto orphan = std::make_unique<ArchiveOptions>(nullptr);
  orphan->RegisterDefaults();
  orphan->set_name("News");
  archives.Insert(std::move(orphan));
  EXPECT_FALSE(archives.Save("News"));
  EXPECT_EQ(archives.Find("News")->GetMaxDays(), 356);  // the edit stays in memory
  EXPECT_EQ(sink_.numbers, (std::vector<int>{103, 103}));
  EXPECT_EQ(sink_.texts[0],
            "Unable to access the registry! Make sure you have administrative rights on this PC.");

  platform::SetDefaultRegistry(previous);
  if (old) {
    setenv("LOGRUM2_HOME", saved.c_str(), 1);
  } else {
    unsetenv("LOGRUM2_HOME");
  }
}

}  // namespace
}  // namespace logrum::server
