// The main window's model over a real configuration store and fake archives.
#include "App/Server/MainWindowModel.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <map>
#include <thread>

#include "App/Server/tests/ConfigFixture.h"
#include "Lib/Platform/Clock.h"

namespace logrum::server {
namespace {

// What the fake archive service did, by archive name.
struct FakeArchiveState {
  bool open = false;
  bool open_fails = false;
  audio::LevelListener* level_listener = nullptr;  // as the last open was given it
  bool released = false;
  int opens = 0;
  int closes = 0;
  std::vector<std::string> log;
};

class FakeArchive final : public ArchiveBinding {
 public:
  FakeArchive(FakeArchiveState* state, std::vector<std::string>* events, std::string name)
      : state_(state), events_(events), name_(std::move(name)) {}
  ~FakeArchive() override {
    state_->released = true;
    state_->open = false;
  }
  bool Open(logrum::ArchiveOptions*, logrum::SkimSwitch*, void* level_listener) override {
    ++state_->opens;
    state_->level_listener = static_cast<audio::LevelListener*>(level_listener);
    if (state_->open_fails) return false;
    state_->open = true;
    events_->push_back("open " + name_);
    return true;
  }
  void Close() override {
    ++state_->closes;
    state_->open = false;
  }
  bool IsActive() override { return state_->open; }
  double GetTotalStorageMB() override { return 1000; }
  double GetUsedStorageMB() override { return 12.5; }
  int32_t GetFirstSegmentTime() override { return 1704067200; }  // 2024-01-01 UTC
  int32_t GetLastSegmentTime() override { return 1704153600; }
  void Log(const char* text) override { state_->log.push_back(text); }

 private:
  FakeArchiveState* state_;
  std::vector<std::string>* events_;
  std::string name_;
};

class MainWindowModelTest : public ConfigFixture {
 protected:
  void TearDown() override {
    model_.reset();
    ConfigFixture::TearDown();
  }

  void PutArchive(const std::string& name, int auto_start, int scheduler = 0) {
    std::string key = ArchiveKeyPath(name);
    PutString(key, "ArchivePath", (dir_ / ("a_" + name)).string());
    PutInt(key, "AutoStart", static_cast<uint32_t>(auto_start));
    PutInt(key, "EnableScheduler", static_cast<uint32_t>(scheduler));
    PutInt(key, "RecordToDisk", 1);
  }

  void MakeModel(bool with_service = true) {
    MainWindowModel::ArchiveFactory factory;
    if (with_service) {
      factory = [this](const std::string& name) -> std::unique_ptr<ArchiveBinding> {
        return std::make_unique<FakeArchive>(&archives_[name], &events_, name);
      };
    }
    model_ = std::make_unique<MainWindowModel>(store_.get(), &sink_, factory, nullptr, nullptr);
    model_->Load();
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (size_t i = 0; i < model_->row_count(); ++i) names.push_back(model_->row(i).name);
    return names;
  }

  // 2024-01-01 is a Monday.
  platform::ManualClock clock_{int64_t{1704067200} * 1'000'000 + int64_t{9} * 3600 * 1'000'000, 0};
  platform::ScopedDefaultClock scoped_clock_{clock_};
  ScopedUtc utc_;
  std::map<std::string, FakeArchiveState> archives_;
  std::vector<std::string> events_;
  std::unique_ptr<MainWindowModel> model_;
};

TEST_F(MainWindowModelTest, AutoStartsOnePerTickInListOrder) {
  PutArchive("News", 1);
  PutArchive("alpha", 1);
  PutArchive("Music", 0);
  PutArchive("Sport", 1);
  MakeModel();
  EXPECT_EQ(Names(), (std::vector<std::string>{"alpha", "Music", "News", "Sport"}));
  EXPECT_EQ(model_->auto_start_pending(), 3u);
  for (int tick = 0; tick < 3; ++tick) {
    EXPECT_TRUE(model_->AutoStartTick());
    EXPECT_EQ(events_.size(), static_cast<size_t>(tick + 1));
  }
  EXPECT_FALSE(model_->AutoStartTick());  // queue empty: the timer goes
  EXPECT_EQ(events_, (std::vector<std::string>{"open alpha", "open News", "open Sport"}));
  EXPECT_EQ(model_->row(1).active, "No");
  EXPECT_EQ(model_->row(2).active, "Yes");
  EXPECT_TRUE(model_->row(2).status_timer);
}

TEST_F(MainWindowModelTest, TimersStartOneArchivePerHalfSecondAndNoticeAnEndedArchive) {
  PutArchive("A", 1);
  PutArchive("B", 0);
  PutArchive("C", 1);
  PutArchive("D", 1);
  MakeModel();
  AppLoop loop(&clock_);
  std::vector<std::string> changes;
  StartWindowTimers(&loop, model_.get(), [&](const ArchiveRow& row) {
    changes.push_back(row.name + (row.active == "Yes" ? " on" : " off"));
  });
  auto advance = [&](int ms) {
    clock_.AdvanceUs(int64_t{ms} * 1000);
    loop.RunPending();
  };
  advance(499);
  EXPECT_TRUE(events_.empty());
  advance(1);
  EXPECT_EQ(events_, (std::vector<std::string>{"open A"}));
  advance(499);
  EXPECT_EQ(events_.size(), 1u);
  advance(1);
  advance(500);
  EXPECT_EQ(events_, (std::vector<std::string>{"open A", "open C", "open D"}));
  EXPECT_TRUE(loop.HasTimer(kAutoStartTimer));
  advance(500);  // finds the queue empty
  EXPECT_FALSE(loop.HasTimer(kAutoStartTimer));
  EXPECT_TRUE(loop.HasTimer(kStatusTimer));
  EXPECT_EQ(changes, (std::vector<std::string>{"A on", "C on", "D on"}));

  archives_["C"].open = false;  // the archive service ended it
  advance(1000);
  EXPECT_EQ(changes.back(), "C off");
  EXPECT_EQ(model_->row(2).status.state, "Inactive");
}

TEST_F(MainWindowModelTest, StatusTickTurnsAScheduledArchiveOnAndReportsTheNewState) {
  PutArchive("Night", 1, 1);
  std::string schedule = ScheduleKeyPath("Night");
  // Every day: on at 09:00:02, off at 10:00:00.
  PutInt(schedule, "EventCount", 2);
  PutString(schedule, "Desc001", "Go");
  Put(schedule, "Data001", platform::kRegBinary, Dword(9 * 3600 + 2) + Dword(0) + Dword(0x7F));
  PutString(schedule, "Desc002", "Halt");
  Put(schedule, "Data002", platform::kRegBinary, Dword(10 * 3600) + Dword(1) + Dword(0x7F));
  MakeModel();
  AppLoop loop(&clock_);
  std::vector<std::string> changes;
  StartWindowTimers(&loop, model_.get(),
                    [&](const ArchiveRow& row) { changes.push_back(row.status.state); });
  auto advance = [&](int ms) {
    clock_.AdvanceUs(int64_t{ms} * 1000);
    loop.RunPending();
  };
  advance(500);  // 09:00:00.5: started, the schedule says off
  EXPECT_EQ(changes, (std::vector<std::string>{"Scheduled, Paused"}));
  EXPECT_EQ(model_->row(0).icon, kIconScheduledPaused);
  advance(500);  // 09:00:01
  EXPECT_EQ(changes.size(), 1u);
  advance(1000);  // 09:00:02: the start event's own second
  EXPECT_EQ(changes, (std::vector<std::string>{"Scheduled, Paused", "Scheduled, Active, skim OFF"}));
  EXPECT_EQ(model_->row(0).icon, kIconScheduledOn);
  EXPECT_EQ(archives_["Night"].log,
            (std::vector<std::string>{"INFO: Scheduler event 'Go' turned recording ON\n"}));
}

// Every way of starting hands the archive its row's level listener, and the row keeps
// the latest peaks the archive reports (from its capture thread) for the level graph.
TEST_F(MainWindowModelTest, StartsPassTheRowsLevelListenerWhichKeepsTheLatestPeaks) {
  PutArchive("Auto", 1);
  PutArchive("Single", 0);
  PutArchive("Third", 0);
  MakeModel();
  ASSERT_TRUE(model_->AutoStartTick());
  ASSERT_TRUE(model_->Start(1));
  model_->StartAll(0, [](int) {});
  for (size_t i = 0; i < 3; ++i) {
    const ArchiveRow& row = model_->row(i);
    SCOPED_TRACE(row.name);
    ASSERT_NE(archives_[row.name].level_listener, nullptr);
    EXPECT_EQ(archives_[row.name].level_listener, row.levels.get());
    EXPECT_EQ(row.levels->Latest().reports, 0u);
  }
  audio::LevelListener* listener = archives_["Single"].level_listener;
  std::thread capture([&] {
    listener->OnLevel(-1200, 3400, 0);
    listener->OnLevel(-32768, 32767, 0);
  });
  capture.join();
  LevelMeter::Peaks peaks = model_->row(1).levels->Latest();
  EXPECT_EQ(peaks.reports, 2u);
  EXPECT_EQ(peaks.minimum, -32768);
  EXPECT_EQ(peaks.maximum, 32767);
  EXPECT_EQ(model_->row(0).levels->Latest().reports, 0u);  // each archive its own
}

TEST_F(MainWindowModelTest, ButtonRules) {
  MakeModel();
  MainButtons none = model_->Buttons();
  EXPECT_TRUE(none.add);
  EXPECT_FALSE(none.edit || none.remove || none.show || none.start || none.stop ||
               none.start_all || none.stop_all);

  PutArchive("A", 0);
  PutArchive("B", 0);
  MakeModel();
  MainButtons rows = model_->Buttons();
  EXPECT_TRUE(rows.start_all);
  EXPECT_FALSE(rows.edit || rows.start || rows.stop_all);

  model_->Select({0});
  MainButtons idle = model_->Buttons();
  EXPECT_TRUE(idle.edit && idle.show && idle.start && idle.remove);
  EXPECT_FALSE(idle.stop || idle.stop_all);

  ASSERT_TRUE(model_->Start(0));
  MainButtons active = model_->Buttons();
  EXPECT_TRUE(active.stop && active.stop_all && active.edit);
  EXPECT_FALSE(active.start || active.remove);

  model_->Select({1});
  MainButtons other = model_->Buttons();
  EXPECT_TRUE(other.start && other.stop_all);
}

TEST_F(MainWindowModelTest, RowAndStatusTextsFollowTheArchive) {
  PutArchive("News", 0);
  MakeModel();
  const ArchiveRow& row = model_->row(0);
  EXPECT_EQ(row.status.state, "Inactive");
  EXPECT_EQ(row.status.disk, kUpdatedWhenActive);
  EXPECT_EQ(row.icon, kIconInactive);

  ASSERT_TRUE(model_->Start(0));
  EXPECT_EQ(row.active, "Yes");
  EXPECT_EQ(row.skim, "OFF");
  EXPECT_EQ(row.used, "12.500");
  EXPECT_EQ(row.total, "1000.000");
  EXPECT_EQ(row.from, "2024.Jan.01");
  EXPECT_EQ(row.to, "2024.Jan.02");
  EXPECT_EQ(row.icon, kIconRecording);
  EXPECT_EQ(row.status.state, "Active, skim OFF");
  EXPECT_EQ(row.status.disk, "12.500 MB used of 1000.000 MB total");
  EXPECT_EQ(row.status.audio, "2024.Jan.01 - 2024.Jan.02");

  // The archive ends by itself: the next tick shows it, the texts stay.
  archives_["News"].open = false;
  model_->StatusTick();
  EXPECT_EQ(row.active, "No");
  EXPECT_EQ(row.icon, kIconInactive);
  EXPECT_EQ(row.status.state, "Inactive");
  EXPECT_EQ(row.status.disk, "12.500 MB used of 1000.000 MB total");
  EXPECT_TRUE(row.status.start_enabled);
}

TEST_F(MainWindowModelTest, ScheduledArchivePausesUntilTheScheduleSaysOn) {
  PutArchive("Night", 0, 1);
  MakeModel();
  // No events: the schedule says off.
  ASSERT_TRUE(model_->Start(0));
  EXPECT_EQ(model_->row(0).status.state, "Scheduled, Paused");
  EXPECT_EQ(model_->row(0).icon, kIconScheduledPaused);
  EXPECT_TRUE(archives_["Night"].log.empty());
}

TEST_F(MainWindowModelTest, FailedStartsShowTheMessageOnlyForASingleStart) {
  PutArchive("A", 0);
  PutArchive("B", 0);
  MakeModel(/*with_service=*/false);
  EXPECT_FALSE(model_->Start(0));
  EXPECT_EQ(sink_.texts, (std::vector<std::string>{kUnableToStart}));
  int pauses = 0;
  model_->StartAll(200, [&](int ms) {
    EXPECT_EQ(ms, 200);
    ++pauses;
  });
  EXPECT_EQ(pauses, 2);
  EXPECT_EQ(sink_.texts.size(), 1u);
}

TEST_F(MainWindowModelTest, StartAllPacesEveryInactiveArchiveAndStopAllStopsThem) {
  for (const char* name : {"A", "B", "C", "D", "E"}) PutArchive(name, 0);
  MakeModel();
  ASSERT_TRUE(model_->Start(2));
  std::vector<std::string> order;
  model_->StartAll(200, [&](int ms) {
    order.push_back(events_.back());
    clock_.AdvanceUs(int64_t{ms} * 1000);
  });
  EXPECT_EQ(order, (std::vector<std::string>{"open A", "open B", "open D", "open E"}));
  EXPECT_EQ(archives_["C"].opens, 1);
  model_->StopAll();
  for (auto& [name, state] : archives_) {
    EXPECT_FALSE(state.open) << name;
    EXPECT_EQ(state.closes, 1) << name;
  }
  EXPECT_FALSE(model_->Buttons().stop_all);
}

TEST_F(MainWindowModelTest, RemoveTwoOfFourSelectsTheFirstRemovedPosition) {
  for (const char* name : {"A", "B", "C", "D"}) PutArchive(name, 0);
  MakeModel();
  model_->Select({1, 3});
  ASSERT_TRUE(model_->RemoveSelected());
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(model_->selection(), (std::set<size_t>{1}));
  EXPECT_TRUE(archives_["B"].released);
  EXPECT_TRUE(archives_["D"].released);
  EXPECT_FALSE(KeyExists(ArchiveKeyPath("B")));
  EXPECT_TRUE(KeyExists(ArchiveKeyPath("C")));

  // The last row removed: the selection moves up.
  model_->Select({1});
  ASSERT_TRUE(model_->RemoveSelected());
  EXPECT_EQ(model_->selection(), (std::set<size_t>{0}));
}

TEST_F(MainWindowModelTest, RemoveKeepsActiveArchivesAndSkipsRemovedAutoStarts) {
  PutArchive("A", 1);
  PutArchive("B", 1);
  MakeModel();
  ASSERT_TRUE(model_->Start(1));
  model_->Select({0, 1});
  model_->RemoveSelected();
  EXPECT_EQ(Names(), (std::vector<std::string>{"B"}));
  EXPECT_TRUE(archives_["B"].open);
  // A was queued: its tick finds no row and starts nothing.
  EXPECT_TRUE(model_->AutoStartTick());
  EXPECT_EQ(archives_["A"].opens, 0);
}

TEST_F(MainWindowModelTest, AddValidatesSavesAndAppendsASelectedRow) {
  PutArchive("News", 0);
  MakeModel();
  auto make = [&](const std::string& name, const std::string& folder) {
    auto options = std::make_unique<ArchiveOptions>(store_.get());
    options->RegisterDefaults();
    options->set_name(name);
    options->values().SetString("ArchivePath", folder);
    return options;
  };
  std::string news_folder = (dir_ / "a_News").string();
  std::string new_folder = (dir_ / "new" / "deeper").string();

  EXPECT_FALSE(model_->AddArchive(make("", new_folder), false));
  EXPECT_FALSE(model_->AddArchive(make("NEWS", new_folder), false));
  EXPECT_FALSE(model_->AddArchive(make("Talk", news_folder), false));
  EXPECT_EQ(sink_.texts,
            (std::vector<std::string>{
                "Please enter an archive name!",
                "This archive name has already been used! Please choose another archive name.",
                "Directory '" + news_folder +
                    "' is already used by archive News. Please choose another directory."}));
  EXPECT_EQ(model_->row_count(), 1u);

  ASSERT_TRUE(model_->AddArchive(make("Talk", new_folder), false));
  EXPECT_TRUE(std::filesystem::is_directory(new_folder));
  EXPECT_EQ(Names(), (std::vector<std::string>{"News", "Talk"}));
  EXPECT_EQ(model_->selection(), (std::set<size_t>{1}));
  EXPECT_EQ(model_->row(1).active, "No");
  EXPECT_TRUE(KeyExists(ArchiveKeyPath("Talk")));
  ASSERT_TRUE(model_->Start(1));
}

TEST_F(MainWindowModelTest, EditIsRefusedWhileActiveAndUndoneWhenInvalid) {
  PutArchive("A", 0);
  PutArchive("B", 0);
  MakeModel();
  std::string b_folder = (dir_ / "a_B").string();
  ASSERT_TRUE(model_->Start(0));
  EXPECT_FALSE(model_->EditArchive(0, [](ArchiveOptions& o) { o.values().SetInteger("MaxDays", 5); }));
  model_->Stop(0);
  EXPECT_FALSE(model_->EditArchive(0, [&](ArchiveOptions& o) {
    o.values().SetString("ArchivePath", b_folder);
  }));
  EXPECT_NE(std::string(model_->row(0).controller->options()->GetArchivePath()), b_folder);
  ASSERT_TRUE(model_->EditArchive(0, [](ArchiveOptions& o) { o.values().SetInteger("MaxDays", 5); }));
  EXPECT_EQ(Get(ArchiveKeyPath("A"), "MaxDays"), Dword(5));
}

TEST_F(MainWindowModelTest, UsersAreCheckedGrantedEveryArchiveAndSaved) {
  MakeModel();
  EXPECT_TRUE(model_->AddUser("early", "", "pw", "pw"));  // no archive yet: told so, still saved
  EXPECT_EQ(sink_.texts.back(),
            "There are no archives currently defined! Please define archives before assigning "
            "user rights.");
  PutArchive("News", 0);
  PutArchive("Talk", 0);
  MakeModel();
  sink_.texts.clear();
  EXPECT_FALSE(model_->AddUser("", "", "a", "a"));
  EXPECT_FALSE(model_->AddUser("EARLY", "", "a", "a"));
  EXPECT_FALSE(model_->AddUser("ann", "", "a", "b"));
  EXPECT_EQ(sink_.texts, (std::vector<std::string>{
                             "Please enter a user name!",
                             "This user name has already been used. Please select another.",
                             "The two passwords entered do not match!"}));
  ASSERT_TRUE(model_->AddUser("ann", "Ann Smith", "secret", "secret"));
  EXPECT_EQ(Get(UserRightsKeyPath("ann"), "News"), Dword(3));
  EXPECT_EQ(Get(UserRightsKeyPath("ann"), "Talk"), Dword(3));
  std::string digest = Get(UserKeyPath("ann"), "Password");
  ASSERT_TRUE(model_->EditUser("Ann", "Ann Jones", nullptr));  // password kept
  EXPECT_EQ(Get(UserKeyPath("ann"), "Password"), digest);
  std::string other = "other";
  ASSERT_TRUE(model_->EditUser("ann", "Ann Jones", &other));
  EXPECT_NE(Get(UserKeyPath("ann"), "Password"), digest);
  ASSERT_TRUE(model_->SetUserRights("ann", "talk", 1));
  EXPECT_EQ(Get(UserRightsKeyPath("ann"), "Talk"), Dword(1));
  EXPECT_FALSE(model_->SetUserRights("ann", "Nowhere", 1));
  ASSERT_TRUE(model_->RemoveUser("ANN"));
  EXPECT_FALSE(KeyExists(UserKeyPath("ann")));
  EXPECT_FALSE(model_->RemoveUser("ann"));
}

TEST_F(MainWindowModelTest, SourcesNeedADeviceAndAFreeName) {
  MakeModel();  // no device table
  EXPECT_FALSE(model_->AddSource("Studio", 0, 3));
  EXPECT_EQ(sink_.texts.back(), "Unable to detect input audio devices! Can't add audio sources!");
  EXPECT_FALSE(model_->RemoveSource("Studio"));
}

TEST_F(MainWindowModelTest, ServerPortIsCheckedAndSaved) {
  MakeModel();
  EXPECT_EQ(model_->settings().port(), 9020);
  EXPECT_FALSE(model_->SetServerPort(0));
  EXPECT_FALSE(model_->SetServerPort(70000));
  ASSERT_TRUE(model_->SetServerPort(9123));
  EXPECT_EQ(Get(ServerKeyPath(), "ServerPort"), Dword(9123));
}

}  // namespace
}  // namespace logrum::server
