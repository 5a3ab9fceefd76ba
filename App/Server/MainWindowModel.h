// The main window and the archives' status windows as data: the rows of the
// archive list with their texts and icons, the button states, each archive's
// status texts, and the commands behind the buttons. Rendering (the admin
// page) reads this model and calls its commands; so do tests.
//
// Rows are in archive list order at start-up; an added archive goes to the
// end. A row owns its archive's controller; the options belong to the
// archive list.
//
// Messages for the user go to the MessageSink with number 0 ("Unable to start
// archive!", the validation texts of the archive options).
//
// Thread safety: none. Everything runs on the UI thread (AppLoop.h).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "App/Server/AppLoop.h"
#include "App/Server/ArchiveController.h"
#include "App/Server/ArchiveList.h"
#include "App/Server/AudioDeviceTable.h"
#include "App/Server/LevelMeter.h"
#include "App/Server/ServerSettings.h"
#include "App/Server/UserRecord.h"

namespace logrum::server {

class GpioBinding;

// Row icons of the archive list.
enum RowIcon : int {
  kIconInactive = 0,
  kIconRecording = 1,
  kIconServing = 2,  // active without recording to disk
  kIconScheduledOn = 3,
  kIconScheduledPaused = 4,
};

struct ArchiveRow {
  std::string name;
  std::unique_ptr<ArchiveController> controller;
  // Columns, in order after the name.
  std::string active = "No";
  std::string skim;
  std::string used;
  std::string total;
  std::string from;
  std::string to;
  int icon = kIconInactive;
  // The status window: its texts (disk and audio read "<updated when
  // active>" until the first refresh of an active archive) and buttons.
  ArchiveStatus status;
  bool status_timer = false;  // the 1 s status tick runs (from start to stop)
  bool shown = false;
  // The latest input peaks while the archive runs; handed to the archive at
  // every start, so it lives as long as the row.
  std::shared_ptr<LevelMeter> levels = std::make_shared<LevelMeter>();
};

struct MainButtons {
  bool add = true;
  bool edit = false;
  bool remove = false;
  bool show = false;
  bool start = false;
  bool stop = false;
  bool start_all = false;
  bool stop_all = false;
};

inline constexpr char kUpdatedWhenActive[] = "<updated when active>";
inline constexpr char kUnableToStart[] = "Unable to start archive!";
inline constexpr size_t kMaxUserName = 255;   // a key name of the store
inline constexpr size_t kMaxSourceName = 63;  // a source name field of DeviceInfo

class MainWindowModel {
 public:
  // Makes the archive object of a name in the archive service; null when
  // there is no service or the name is refused.
  using ArchiveFactory = std::function<std::unique_ptr<ArchiveBinding>(const std::string& name)>;

  // `store` null uses the process's store; `gpio` and `devices` may be null.
  MainWindowModel(platform::Registry* store, MessageSink* sink, ArchiveFactory factory,
                  const GpioBinding* gpio, AudioDeviceTable* devices);
  // Shuts the rows down (see ShutdownRows).
  ~MainWindowModel();
  MainWindowModel(const MainWindowModel&) = delete;
  MainWindowModel& operator=(const MainWindowModel&) = delete;

  // Loads the server settings, the users and the archives; makes one row per
  // archive and queues the auto-start archives in list order.
  void Load();

  // ---- Rows and selection
  size_t row_count() const { return rows_.size(); }
  const ArchiveRow& row(size_t index) const { return *rows_[index]; }
  int FindRow(const std::string& name) const;  // -1 when none
  void Select(const std::set<size_t>& rows);
  const std::set<size_t>& selection() const { return selection_; }
  MainButtons Buttons() const;
  bool AnyActive() const;

  // ---- Commands
  // Starts the archive of a row; on failure shows "Unable to start archive!".
  bool Start(size_t row);
  void Stop(size_t row);
  // Starts every inactive archive in row order with `pause_ms` after each
  // start (failures show nothing). `pause` null sleeps.
  void StartAll(int pause_ms = 200, const std::function<void(int)>& pause = nullptr);
  // Stops every archive, all at once: each Close drains its encoders and
  // recording thread for a few seconds at most, so N archives stop in about
  // the time of one instead of N times that.
  void StopAll();
  // The status tick of every archive whose status timer runs: scheduler and
  // texts. The program calls it once per second.
  void StatusTick();
  // Refreshes one row and its status window from its archive.
  void Refresh(size_t row);

  // One tick of the auto-start timer: starts the first queued archive. False
  // when the queue was empty (the timer is then killed).
  bool AutoStartTick();
  size_t auto_start_pending() const { return auto_start_.size(); }

  // Adds an archive: validates, creates its folder when missing, saves it,
  // makes its controller and a row at the end (selected). `grant_all` gives
  // every user both rights on it. False (message shown) when refused.
  bool AddArchive(std::unique_ptr<ArchiveOptions> options, bool grant_all);
  // Edits the archive of a row and saves it; refused while it is active.
  // `edit` may change anything but the name.
  bool EditArchive(size_t row, const std::function<void(ArchiveOptions&)>& edit);
  // Removes the selected archives that are inactive (the button is off while
  // one is active): releases each archive, deletes its key and row; then
  // selects the row at the first removed position (or the last row).
  bool RemoveSelected();
  void Show(size_t row, bool shown);

  // ---- Users (each saved at once, one transaction per user). AddUser gives
  // the new user both rights on every archive. False, with the message
  // shown, for an empty or used name, passwords that differ, or an unknown
  // user. An empty password is allowed: the page asks before it sends one.
  // Where a command takes `told`, its messages go there instead of the sink
  // (the console's dialogs answer them to the page that asked).
  bool AddUser(const std::string& name, const std::string& full_name, const std::string& password,
               const std::string& confirm, std::string* told = nullptr);
  // AddUser's checks alone, in the user dialog's order.
  bool CheckNewUser(const std::string& name, const std::string& password,
                    const std::string& confirm, std::string* told = nullptr);
  // Changes the full name, and the password when `password` is not null.
  bool EditUser(const std::string& name, const std::string& full_name, const std::string* password);
  bool SetUserRights(const std::string& name, const std::string& archive, int32_t rights);
  // Sets the rights on several archives (each must exist) and saves once.
  bool SetUserRights(const std::string& name, const std::map<std::string, int32_t>& rights);
  bool RemoveUser(const std::string& name);

  // ---- Audio sources. `manager` (may be null) is the capture library's
  // manager: a source is never changed on a device that is capturing, and
  // every device is defined again after a change.
  void set_audio_manager(audio::CAudioSourceManager* manager) { manager_ = manager; }
  // Names channels `code` (1 right, 2 left, 3 both as stereo) of device
  // `device` (a table index) as source `name`, and saves.
  bool AddSource(const std::string& name, int device, int code, std::string* told = nullptr);
  bool RemoveSource(const std::string& name, std::string* told = nullptr);
  // The checks of the manager's Add button (a device, not every one fully
  // used) and of Remove (a known source on a device that is not capturing).
  bool CanAddSource(std::string* told = nullptr);
  bool CanRemoveSource(const std::string& name, std::string* told = nullptr);
  audio::CAudioSourceManager* audio_manager() const { return manager_; }

  // The setup commands edit these directly and save through them.
  AudioDeviceTable* sources() { return devices_; }
  const GpioBinding* gpio() const { return gpio_; }
  UserList& users() { return users_; }
  ServerSettings& settings() { return settings_; }
  // Sets ServerPort and saves it; the port takes effect at the next start.
  bool SetServerPort(int32_t port);

  // Releases every row's archive (no stop first; releasing ends an open
  // archive in the service), in row order.
  void ShutdownRows();

  ArchiveList& archives() { return archives_; }

 private:
  std::unique_ptr<ArchiveRow> MakeRow(ArchiveOptions* options);
  bool Validate(ArchiveOptions& options, bool adding, const std::string& except);
  void Show(const std::string& text);
  void Tell(const std::string& text, std::string* told);
  void RedefineDevices();

  MessageSink* sink_;
  ArchiveFactory factory_;
  const GpioBinding* gpio_;
  AudioDeviceTable* devices_;
  audio::CAudioSourceManager* manager_ = nullptr;
  ArchiveList archives_;
  UserList users_;
  ServerSettings settings_;
  std::vector<std::unique_ptr<ArchiveRow>> rows_;
  std::set<size_t> selection_;
  std::deque<std::string> auto_start_;  // archive names, so a removed one is skipped
};

// The main window's timers on the UI loop: auto-start (one queued archive per
// 500 ms tick; the timer is killed when a tick finds the queue empty) and the
// status tick of the active archives (1 s, with the scheduler). `on_change`,
// when given, hears every row whose state text a tick changed ("Inactive",
// "Active, skim OFF", "Scheduled, Paused", ...). The loop and
// the model must outlive the timers (kill them, or end the loop, first).
inline constexpr int kStatusTimer = 1;
inline constexpr int kAutoStartTimer = 3;
inline constexpr int kStatusPeriodMs = 1000;
inline constexpr int kAutoStartPeriodMs = 500;
void StartWindowTimers(AppLoop* loop, MainWindowModel* model,
                       std::function<void(const ArchiveRow& row)> on_change);

}  // namespace logrum::server
