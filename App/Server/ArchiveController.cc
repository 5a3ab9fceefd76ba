#include "App/Server/ArchiveController.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "App/Server/AudioDeviceTable.h"
#include "App/Server/ConfigText.h"
#include "App/Server/ScheduleClock.h"
#include "App/Server/SharedLogger.h"
#include "App/Server/StatusText.h"

namespace logrum::server {

ArchiveController::ArchiveController(ArchiveOptions* options,
                                     std::unique_ptr<ArchiveBinding> archive,
                                     const GpioBinding* gpio, const AudioDeviceTable* devices)
    : options_(options), skim_switch_(std::make_unique<SkimSwitch>(gpio)),
      archive_(std::move(archive)) {
  std::string source = options_ != nullptr ? options_->GetSourceName() : "";
  std::string device = devices != nullptr ? devices->DeviceOfSource(source) : "";
  skim_switch_->OpenDevice(source, device);
}

ArchiveController::~ArchiveController() {
  archive_.reset();
  skim_switch_.reset();
}

bool ArchiveController::Start(audio::LevelListener* level_listener) {
  if (options_ != nullptr) skim_switch_->SetRecordEnabled(options_->EnableScheduler() == 0);
  if (archive_ == nullptr || options_ == nullptr) return false;
  scheduled_ = options_->EnableScheduler() != 0;

  uint8_t mask = 0;
  bool invert = false;
  if (options_->GetRecordMode() != 0) {
    if (auto selection = ParseSkimSource(options_->GetSkimSource())) {
      mask = selection->mask;
      invert = selection->level == 0;
    }
  }
  DiagPrintf("Skim Options: sw=%X, invert=%s\n", mask, invert ? "YES" : "NO");
  skim_switch_->Configure(mask, invert);
  return archive_->Open(options_, skim_switch_.get(), level_listener);
}

void ArchiveController::Stop() {
  if (archive_ != nullptr) archive_->Close();
  scheduled_ = false;
}

bool ArchiveController::IsActive() const { return archive_ != nullptr && archive_->IsActive(); }

bool ArchiveController::SchedulerTick() {
  if (options_ == nullptr || options_->EnableScheduler() == 0) return false;
  ScheduleDecision decision = EvaluateNow(options_->schedule());
  if (decision.on == skim_switch_->IsRecordEnabled()) return false;
  char line[1024];
  std::snprintf(line, sizeof line, "INFO: Scheduler event '%s' turned recording %s\n",
                decision.event.c_str(), decision.on ? "ON" : "OFF");
  if (archive_ != nullptr) archive_->Log(line);
  skim_switch_->SetRecordEnabled(decision.on);
  return true;
}

ArchiveStatus ArchiveController::Refresh() {
  ArchiveStatus status;
  if (!IsActive()) {
    status.state = "Inactive";
    return status;
  }
  SchedulerTick();
  status.active = true;
  status.stop_enabled = true;
  status.start_enabled = false;
  double used = archive_->GetUsedStorageMB();
  double total = archive_->GetTotalStorageMB();
  int32_t first = archive_->GetFirstSegmentTime();
  int32_t last = archive_->GetLastSegmentTime();
  status.skim_on = skim_switch_->IsOn();
  status.record_enabled = skim_switch_->IsRecordEnabled();
  status.used_mb = used;
  status.total_mb = total;
  status.first_time = first;
  status.last_time = last;
  status.state = StateText(scheduled_, status.record_enabled, options_->GetRecordToDisk(),
                           status.skim_on);
  const std::string archive_text = archive_->GetStatusText();
  if (!archive_text.empty()) status.state += "; " + archive_text;
  status.disk = DiskText(used, total);
  status.audio = AudioText(first, last);
  return status;
}

void StartAll(const std::vector<ArchiveController*>& rows, int pause_ms,
              const std::function<void(int ms)>& pause) {
  for (ArchiveController* row : rows) {
    if (row == nullptr || row->IsActive()) continue;
    row->Start();
    if (pause) {
      pause(pause_ms);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
  }
}

void StopAll(const std::vector<ArchiveController*>& rows) {
  for (ArchiveController* row : rows) {
    if (row != nullptr) row->Stop();
  }
}

bool AutoStartQueue::Tick() {
  if (pending_.empty()) return false;
  ArchiveController* next = pending_.front();
  pending_.pop_front();
  if (next != nullptr) next->Start();
  return true;
}

}  // namespace logrum::server
