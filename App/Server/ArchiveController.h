// Archive control: ties one archive's options, its archive object in the
// archive service and its skim switch together; starts and stops the archive,
// runs the weekly schedule once per status tick and computes the status texts.
//
// The controller reaches the archive object through ArchiveBinding, the few
// operations it needs; the program binds it to the archive service's archive
// (tests bind a fake).
//
// Thread safety: every operation runs on the UI thread. The archive service
// calls the skim switch from its own threads (see SkimSwitch.h).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "App/Server/ArchiveOptions.h"
#include "App/Server/SkimSwitch.h"
#include "Lib/ArchiveManager/include/ArchiveService.h"
#include "Lib/AudioSource/include/AudioSource.h"

namespace logrum::server {

class AudioDeviceTable;
class GpioBinding;

// The operations of an archive object that archive control uses. Destroying
// the binding releases the archive.
class ArchiveBinding {
 public:
  virtual ~ArchiveBinding() = default;
  // Opens asynchronously: true once the archive's thread was started.
  virtual bool Open(logrum::ArchiveOptions* options, logrum::SkimSwitch* skim_switch,
                    void* level_listener) = 0;
  virtual void Close() = 0;
  virtual bool IsActive() = 0;
  virtual double GetTotalStorageMB() = 0;
  virtual double GetUsedStorageMB() = 0;
  virtual int32_t GetFirstSegmentTime() = 0;
  virtual int32_t GetLastSegmentTime() = 0;
  // Posts a line to the archive's event log.
  virtual void Log(const char* text) = 0;
  // What the archive reports beyond its figures (audio dropped, ...); empty
  // when all is well.
  virtual std::string GetStatusText() { return std::string(); }
  // The archive's figures for monitoring; false when it has none.
  virtual bool GetCounters(logrum::ArchiveCounters* /*counters*/) { return false; }
};

// What the status display shows after a refresh.
struct ArchiveStatus {
  bool active = false;
  bool start_enabled = true;
  bool stop_enabled = false;
  std::string state;  // "Inactive", "Active, skim ON", ..., then "; " and the archive's own text
  std::string disk;   // empty when the archive reports no total
  std::string audio;  // first and last day of recordings; empty when inactive
  // The figures behind the texts (zero when inactive), for the archive's row.
  bool skim_on = false;
  bool record_enabled = false;
  double used_mb = 0;
  double total_mb = 0;
  int32_t first_time = 0;
  int32_t last_time = 0;
};

class ArchiveController {
 public:
  // `archive` may be null (no archive service, or the name was refused); such
  // a controller never starts. `gpio` and `devices` may be null. The skim
  // switch opens the GPIO device of the archive's source here and keeps it
  // for the controller's whole life.
  ArchiveController(ArchiveOptions* options, std::unique_ptr<ArchiveBinding> archive,
                    const GpioBinding* gpio, const AudioDeviceTable* devices);
  // Releases the archive (no stop is issued first), then closes the switch.
  ~ArchiveController();
  ArchiveController(const ArchiveController&) = delete;
  ArchiveController& operator=(const ArchiveController&) = delete;

  // Configures the skim switch from the options and opens the archive
  // asynchronously, with `level_listener` (may be null; it must outlive the
  // open archive) receiving the input peaks. False without an archive; the
  // caller shows "Unable to start archive!" for a single start.
  bool Start(audio::LevelListener* level_listener = nullptr);
  void Stop();
  bool IsActive() const;

  // Turns recording on or off as the schedule says, when the archive's
  // EnableScheduler is set; logs the change to the archive. True on a change.
  bool SchedulerTick();
  // The status tick: runs the scheduler on an active archive and computes
  // the texts.
  ArchiveStatus Refresh();

  // The archive's figures for monitoring; false without an archive.
  bool GetCounters(logrum::ArchiveCounters* counters) const {
    return archive_ != nullptr && archive_->GetCounters(counters);
  }

  bool scheduled() const { return scheduled_; }
  SkimSwitch& skim_switch() { return *skim_switch_; }
  ArchiveOptions* options() const { return options_; }

 private:
  ArchiveOptions* options_;
  std::unique_ptr<SkimSwitch> skim_switch_;
  std::unique_ptr<ArchiveBinding> archive_;
  bool scheduled_ = false;
};

// Start All: starts every archive that is not active, in row order, pausing
// `pause_ms` after each start so that the archives do not open their devices
// and folders all at once. Failures show nothing. `pause` waits; by default it
// sleeps on the real-time clock.
void StartAll(const std::vector<ArchiveController*>& rows, int pause_ms = 200,
              const std::function<void(int ms)>& pause = nullptr);
// Stop All: stops every archive in row order, also inactive ones.
void StopAll(const std::vector<ArchiveController*>& rows);

// The archives to start after start-up, one per tick of a 500 ms timer, in
// list order, and only once the server is open.
class AutoStartQueue {
 public:
  static constexpr int kPeriodMs = 500;
  void Push(ArchiveController* controller) { pending_.push_back(controller); }
  // Starts the first pending archive (failures show nothing). False when the
  // queue was empty: the timer is then killed.
  bool Tick();
  size_t size() const { return pending_.size(); }

 private:
  std::deque<ArchiveController*> pending_;
};

}  // namespace logrum::server
