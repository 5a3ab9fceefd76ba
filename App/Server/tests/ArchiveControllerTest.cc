#include "App/Server/ArchiveController.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

#include "App/Server/GpioBinding.h"
#include "Lib/Platform/Clock.h"

namespace logrum::server {
namespace {

// The archive object as archive control sees it, recording what it was asked.
struct ArchiveLog {
  bool open = false;
  int opens = 0;
  int closes = 0;
  logrum::SkimSwitch* skim = nullptr;
  std::vector<std::string> lines;
  bool released = false;
  bool device_closed_before_release = false;
  std::string status_text;
};

class FakeArchive final : public ArchiveBinding {
 public:
  explicit FakeArchive(ArchiveLog* log) : log_(log) {}
  ~FakeArchive() override { log_->released = true; }
  bool Open(logrum::ArchiveOptions*, logrum::SkimSwitch* skim, void*) override {
    ++log_->opens;
    log_->open = true;
    log_->skim = skim;
    return true;
  }
  void Close() override {
    ++log_->closes;
    log_->open = false;
  }
  bool IsActive() override { return log_->open; }
  double GetTotalStorageMB() override { return 2000000; }
  double GetUsedStorageMB() override { return 1500000; }
  int32_t GetFirstSegmentTime() override { return 1704067200; }  // 2024-01-01
  int32_t GetLastSegmentTime() override { return 1704153600; }   // 2024-01-02
  void Log(const char* text) override { log_->lines.push_back(text); }
  std::string GetStatusText() override { return log_->status_text; }

 private:
  ArchiveLog* log_;
};

// One device whose switch state the test sets.
uint8_t g_state = 0;
bool g_device_open = false;
bool OpenDevice(int32_t* handle, const char*, const char*, uint8_t* valid) {
  *handle = 0;
  if (valid) *valid = 0xF0;
  g_device_open = true;
  return true;
}
bool GetState(uint32_t, uint8_t* state) {
  *state = g_state;
  return true;
}
void CloseDevice(uint32_t) { g_device_open = false; }

class ArchiveControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) saved_tz_ = tz;
    setenv("TZ", "UTC0", 1);
    tzset();
    options_.RegisterDefaults();
    options_.set_name("News");
    GpioEntryPoints entries;
    entries.OpenDevice = &OpenDevice;
    entries.GetDeviceSwitchState = &GetState;
    entries.CloseDevice = &CloseDevice;
    gpio_ = std::make_unique<GpioBinding>(entries);
    g_state = 0;
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", saved_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::unique_ptr<ArchiveController> Make() {
    return std::make_unique<ArchiveController>(&options_, std::make_unique<FakeArchive>(&log_),
                                               gpio_.get(), nullptr);
  }
  // Monday 2024-01-01 at h:m:s UTC.
  void SetMonday(int h, int m, int s) {
    clock_.SetUs((1704067200LL + h * 3600 + m * 60 + s) * 1000000);
  }

  platform::ManualClock clock_;
  platform::ScopedDefaultClock scoped_clock_{clock_};
  bool had_tz_ = false;
  std::string saved_tz_;
  ArchiveOptions options_;
  std::unique_ptr<GpioBinding> gpio_;
  ArchiveLog log_;
};

TEST_F(ArchiveControllerTest, ScheduledArchiveIsPausedUntilTheScheduleSaysOn) {
  options_.values().SetInteger("EnableScheduler", 1);
  ScheduleEvent start;
  start.description = "morning";
  start.time_of_day = 8 * 3600;
  start.action = ScheduleEvent::kStart;
  start.day_mask = 0x01;
  ScheduleEvent stop = start;
  stop.description = "noon";
  stop.time_of_day = 12 * 3600;
  stop.action = ScheduleEvent::kStop;
  options_.schedule().Add(start);
  options_.schedule().Add(stop);

  auto controller = Make();
  SetMonday(7, 0, 0);
  ASSERT_TRUE(controller->Start());
  EXPECT_TRUE(controller->scheduled());
  EXPECT_FALSE(controller->skim_switch().IsRecordEnabled());
  // Off at the first tick: nothing changes, nothing is logged.
  EXPECT_EQ(controller->Refresh().state, "Scheduled, Paused");
  EXPECT_TRUE(log_.lines.empty());

  SetMonday(8, 0, 0);
  ArchiveStatus status = controller->Refresh();
  EXPECT_EQ(status.state, "Scheduled, Active, skim OFF");
  ASSERT_EQ(log_.lines.size(), 1u);
  EXPECT_EQ(log_.lines[0], "INFO: Scheduler event 'morning' turned recording ON\n");
  EXPECT_TRUE(log_.skim->IsRecordEnabled());  // what the archive service sees
  controller->Refresh();
  EXPECT_EQ(log_.lines.size(), 1u);  // logged once per change

  SetMonday(12, 0, 1);
  EXPECT_EQ(controller->Refresh().state, "Scheduled, Paused");
  EXPECT_EQ(log_.lines.back(), "INFO: Scheduler event 'noon' turned recording OFF\n");

  // Switching the scheduler off in the options stops the ticks from deciding.
  options_.values().SetInteger("EnableScheduler", 0);
  SetMonday(9, 0, 0);
  EXPECT_FALSE(controller->SchedulerTick());
}

TEST_F(ArchiveControllerTest, UnscheduledStatusAndStop) {
  auto controller = Make();
  EXPECT_EQ(controller->Refresh().state, "Inactive");
  ASSERT_TRUE(controller->Start());
  EXPECT_TRUE(controller->skim_switch().IsRecordEnabled());
  ArchiveStatus status = controller->Refresh();
  EXPECT_TRUE(status.active);
  EXPECT_TRUE(status.stop_enabled);
  EXPECT_FALSE(status.start_enabled);
  EXPECT_EQ(status.state, "Active, skim OFF");
  EXPECT_EQ(status.disk, "1500.000 GB used of 2000.000 GB total");
  EXPECT_EQ(status.audio, "2024.Jan.01 - 2024.Jan.02");

  // What the archive reports itself follows the state.
  log_.status_text = "Audio dropped: 1500 ms (nothing could be written)";
  EXPECT_EQ(controller->Refresh().state,
            "Active, skim OFF; Audio dropped: 1500 ms (nothing could be written)");
  log_.status_text.clear();

  options_.values().SetInteger("RecordToDisk", 0);
  EXPECT_EQ(controller->Refresh().state, "Server active (not recording)");

  controller->Stop();
  EXPECT_EQ(log_.closes, 1);
  status = controller->Refresh();
  EXPECT_EQ(status.state, "Inactive");
  EXPECT_TRUE(status.start_enabled);
  EXPECT_FALSE(status.stop_enabled);
}

TEST_F(ArchiveControllerTest, SkimSelectionFollowsRecordMode) {
  options_.values().SetString("SkimSource", "qrx,0x01,1");
  g_state = 0x80;  // switch 1 closed
  auto controller = Make();

  options_.values().SetInteger("RecordMode", 0);  // continuous: the selection is ignored
  ASSERT_TRUE(controller->Start());
  EXPECT_EQ(controller->skim_switch().switch_mask(), 0);
  EXPECT_FALSE(log_.skim->IsOn());

  options_.values().SetInteger("RecordMode", 2);
  ASSERT_TRUE(controller->Start());
  EXPECT_EQ(controller->skim_switch().switch_mask(), 0x80);
  EXPECT_TRUE(log_.skim->IsOn());
  EXPECT_EQ(controller->Refresh().state, "Active, skim ON");

  options_.values().SetString("SkimSource", "qrx,0x01,0");  // active while open
  ASSERT_TRUE(controller->Start());
  EXPECT_FALSE(log_.skim->IsOn());
  g_state = 0;
  EXPECT_TRUE(log_.skim->IsOn());

  options_.values().SetString("SkimSource", "garbage");
  ASSERT_TRUE(controller->Start());
  EXPECT_EQ(controller->skim_switch().switch_mask(), 0);
  EXPECT_FALSE(controller->skim_switch().invert());
}

TEST_F(ArchiveControllerTest, WithoutAnArchiveNothingStarts) {
  ArchiveController controller(&options_, nullptr, nullptr, nullptr);
  EXPECT_FALSE(controller.Start());
  EXPECT_FALSE(controller.IsActive());
  EXPECT_EQ(controller.Refresh().state, "Inactive");
  controller.Stop();  // harmless
}

TEST_F(ArchiveControllerTest, TheArchiveIsReleasedBeforeTheDeviceCloses) {
  struct Watch final : ArchiveBinding {
    explicit Watch(bool* device_open_at_release) : seen_(device_open_at_release) {}
    ~Watch() override { *seen_ = g_device_open; }
    bool Open(logrum::ArchiveOptions*, logrum::SkimSwitch*, void*) override { return true; }
    void Close() override {}
    bool IsActive() override { return false; }
    double GetTotalStorageMB() override { return 0; }
    double GetUsedStorageMB() override { return 0; }
    int32_t GetFirstSegmentTime() override { return 0; }
    int32_t GetLastSegmentTime() override { return 0; }
    void Log(const char*) override {}
    bool* seen_;
  };
  bool open_at_release = false;
  {
    ArchiveController controller(&options_, std::make_unique<Watch>(&open_at_release), gpio_.get(),
                                 nullptr);
    EXPECT_TRUE(g_device_open);
  }
  EXPECT_TRUE(open_at_release);
  EXPECT_FALSE(g_device_open);
}

TEST_F(ArchiveControllerTest, StartAllPausesAfterEachStartAndSkipsActiveArchives) {
  ArchiveLog logs[3];
  std::vector<std::unique_ptr<ArchiveController>> owned;
  std::vector<ArchiveController*> rows;
  for (auto& log : logs) {
    owned.push_back(std::make_unique<ArchiveController>(
        &options_, std::make_unique<FakeArchive>(&log), nullptr, nullptr));
    rows.push_back(owned.back().get());
  }
  rows.push_back(nullptr);  // a row without a controller
  logs[1].open = true;      // already active: not started again
  std::vector<std::string> events;
  StartAll(rows, 200, [&](int ms) {
    events.push_back("pause " + std::to_string(ms) + " after " +
                     std::to_string(logs[0].opens + logs[1].opens + logs[2].opens));
  });
  EXPECT_EQ(logs[0].opens, 1);
  EXPECT_EQ(logs[1].opens, 0);
  EXPECT_EQ(logs[2].opens, 1);
  EXPECT_EQ(events, (std::vector<std::string>{"pause 200 after 1", "pause 200 after 2"}));

  StopAll(rows);
  for (auto& log : logs) EXPECT_EQ(log.closes, 1);
}

TEST_F(ArchiveControllerTest, AutoStartTakesOneArchivePerTickInOrder) {
  ArchiveLog logs[2];
  ArchiveController first(&options_, std::make_unique<FakeArchive>(&logs[0]), nullptr, nullptr);
  ArchiveController second(&options_, std::make_unique<FakeArchive>(&logs[1]), nullptr, nullptr);
  AutoStartQueue queue;
  queue.Push(&first);
  queue.Push(&second);
  EXPECT_TRUE(queue.Tick());
  EXPECT_EQ(logs[0].opens, 1);
  EXPECT_EQ(logs[1].opens, 0);
  EXPECT_TRUE(queue.Tick());
  EXPECT_EQ(logs[1].opens, 1);
  EXPECT_FALSE(queue.Tick());  // empty: the timer stops
}

}  // namespace
}  // namespace logrum::server
