#include "App/Server/MainWindowModel.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>
#include <thread>
#include <vector>

#include "App/Server/ConfigKeys.h"
#include "App/Server/SharedLogger.h"
#include "App/Server/ScheduleStore.h"
#include "App/Server/StatusText.h"

namespace logrum::server {

MainWindowModel::MainWindowModel(platform::Registry* store, MessageSink* sink,
                                 ArchiveFactory factory, const GpioBinding* gpio,
                                 AudioDeviceTable* devices)
    : sink_(sink),
      factory_(std::move(factory)),
      gpio_(gpio),
      devices_(devices),
      archives_(store, sink),
      users_(store, sink),
      settings_(store) {}

MainWindowModel::~MainWindowModel() { ShutdownRows(); }

void MainWindowModel::Show(const std::string& text) {
  if (sink_ != nullptr) {
    sink_->ShowMessage(0, text);
  } else {
    StderrMessageSink().ShowMessage(0, text);
  }
}

void MainWindowModel::Tell(const std::string& text, std::string* told) {
  if (told != nullptr) {
    *told = text;
  } else {
    Show(text);
  }
}

std::unique_ptr<ArchiveRow> MainWindowModel::MakeRow(ArchiveOptions* options) {
  auto row = std::make_unique<ArchiveRow>();
  row->name = options->name();
  std::unique_ptr<ArchiveBinding> archive = factory_ ? factory_(options->name()) : nullptr;
  row->controller =
      std::make_unique<ArchiveController>(options, std::move(archive), gpio_, devices_);
  row->status = row->controller->Refresh();
  row->status.disk = kUpdatedWhenActive;
  row->status.audio = kUpdatedWhenActive;
  return row;
}

void MainWindowModel::Load() {
  settings_.Load();
  users_.Load();
  archives_.Load();
  archives_.ForEach([this](ArchiveOptions& options) {
    rows_.push_back(MakeRow(&options));
    if (options.AutoStart() != 0) auto_start_.push_back(options.name());
  });
}

int MainWindowModel::FindRow(const std::string& name) const {
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (FoldName(rows_[i]->name) == FoldName(name)) return static_cast<int>(i);
  }
  return -1;
}

void MainWindowModel::Select(const std::set<size_t>& rows) {
  selection_.clear();
  for (size_t row : rows) {
    if (row < rows_.size()) selection_.insert(row);
  }
}

bool MainWindowModel::AnyActive() const {
  for (const auto& row : rows_) {
    if (row->controller->IsActive()) return true;
  }
  return false;
}

MainButtons MainWindowModel::Buttons() const {
  MainButtons buttons;
  buttons.stop_all = AnyActive();
  buttons.start_all = !rows_.empty();
  if (selection_.empty()) return buttons;
  bool active = rows_[*selection_.begin()]->controller->IsActive();
  buttons.edit = true;
  buttons.show = true;
  buttons.start = !active;
  buttons.stop = active;
  buttons.remove = !active;
  return buttons;
}

void MainWindowModel::Refresh(size_t index) {
  if (index >= rows_.size()) return;
  ArchiveRow& row = *rows_[index];
  ArchiveStatus status = row.controller->Refresh();
  if (!status.active) {
    // The disk and audio texts keep their last values.
    row.status.active = false;
    row.status.start_enabled = true;
    row.status.stop_enabled = false;
    row.status.state = status.state;
    row.active = "No";
    row.icon = kIconInactive;
    return;
  }
  row.status = status;
  row.active = "Yes";
  row.skim = status.skim_on ? "ON" : "OFF";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", status.used_mb);
  row.used = buffer;
  std::snprintf(buffer, sizeof buffer, "%.3f", status.total_mb);
  row.total = buffer;
  row.from = DayText(status.first_time);
  row.to = DayText(status.last_time);
  if (row.controller->options()->GetRecordToDisk() != 1) {
    row.icon = kIconServing;
  } else if (!row.controller->scheduled()) {
    row.icon = kIconRecording;
  } else {
    row.icon = status.record_enabled ? kIconScheduledOn : kIconScheduledPaused;
  }
}

bool MainWindowModel::Start(size_t index) {
  if (index >= rows_.size()) return false;
  ArchiveRow& row = *rows_[index];
  if (!row.controller->Start(row.levels.get())) {
    Show(kUnableToStart);
    return false;
  }
  row.status_timer = true;
  Refresh(index);
  return true;
}

void MainWindowModel::Stop(size_t index) {
  if (index >= rows_.size()) return;
  ArchiveRow& row = *rows_[index];
  row.controller->Stop();
  row.status_timer = false;
  Refresh(index);
}

void MainWindowModel::StartAll(int pause_ms, const std::function<void(int)>& pause) {
  for (size_t i = 0; i < rows_.size(); ++i) {
    ArchiveRow& row = *rows_[i];
    if (row.controller->IsActive()) continue;
    if (row.controller->Start(row.levels.get())) {
      row.status_timer = true;
      Refresh(i);
    }
    if (pause) {
      pause(pause_ms);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
  }
}

void MainWindowModel::StopAll() {
  // One after another, each Close would wait for its drain while the archives
  // not yet closed keep the machine busy encoding.
  std::vector<std::thread> closing;
  closing.reserve(rows_.size());
  for (auto& row : rows_) {
    ArchiveController* controller = row->controller.get();
    try {
      closing.emplace_back([controller] { controller->Stop(); });
    } catch (const std::system_error&) {
      controller->Stop();  // no thread to be had: this one then, in turn
    }
  }
  for (std::thread& t : closing) t.join();
  for (size_t i = 0; i < rows_.size(); ++i) {
    rows_[i]->status_timer = false;
    Refresh(i);
  }
}

void MainWindowModel::StatusTick() {
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i]->status_timer) Refresh(i);
  }
}

bool MainWindowModel::AutoStartTick() {
  if (auto_start_.empty()) return false;
  std::string name = auto_start_.front();
  auto_start_.pop_front();
  int index = FindRow(name);
  if (index >= 0) {
    ArchiveRow& row = *rows_[static_cast<size_t>(index)];
    if (row.controller->Start(row.levels.get())) {
      row.status_timer = true;
      Refresh(static_cast<size_t>(index));
    }
  }
  return true;
}

bool MainWindowModel::Validate(ArchiveOptions& options, bool adding, const std::string& except) {
  if (options.name().empty()) {
    Show("Please enter an archive name!");
    return false;
  }
  if (adding && archives_.Find(options.name()) != nullptr) {
    Show("This archive name has already been used! Please choose another archive name.");
    return false;
  }
  std::string folder = options.GetArchivePath();
  if (!folder.empty()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
      std::filesystem::create_directories(folder, ec);
      if (ec || !std::filesystem::is_directory(folder)) {
        Show("Unable to create directory!");
        return false;
      }
    }
    std::string user;
    archives_.ForEach([&](ArchiveOptions& other) {
      if (user.empty() && FoldName(other.name()) != FoldName(except) &&
          FoldName(other.GetArchivePath()) == FoldName(folder)) {
        user = other.name();
      }
    });
    if (!user.empty()) {
      Show("Directory '" + folder + "' is already used by archive " + user +
           ". Please choose another directory.");
      return false;
    }
  }
  return true;
}

bool MainWindowModel::AddArchive(std::unique_ptr<ArchiveOptions> options, bool grant_all) {
  if (options == nullptr || !Validate(*options, true, std::string())) return false;
  std::string name = options->name();
  ArchiveOptions* stored = archives_.Insert(std::move(options));
  if (!archives_.Save(name)) {
    archives_.Remove(name);
    return false;
  }
  rows_.push_back(MakeRow(stored));
  selection_ = {rows_.size() - 1};
  rows_.back()->shown = true;
  if (grant_all) users_.GrantToAll(name);
  return true;
}

bool MainWindowModel::EditArchive(size_t index, const std::function<void(ArchiveOptions&)>& edit) {
  if (index >= rows_.size()) return false;
  ArchiveRow& row = *rows_[index];
  if (row.controller->IsActive()) return false;  // read-only while active
  ArchiveOptions* options = row.controller->options();
  std::string name = options->name();
  edit(*options);
  options->set_name(name);
  if (!Validate(*options, false, name)) {
    // A refused edit leaves the archive as it was saved.
    options->Load(ArchiveKeyPath(name));
    Schedule saved;
    if (LoadSchedule(archives_.store(), ScheduleKeyPath(name), &saved)) options->schedule() = saved;
    return false;
  }
  return archives_.Save(name);
}

bool MainWindowModel::RemoveSelected() {
  if (selection_.empty()) return false;
  size_t first = *selection_.begin();
  // From the bottom, so that the indexes above stay valid.
  for (auto it = selection_.rbegin(); it != selection_.rend(); ++it) {
    size_t index = *it;
    if (index >= rows_.size() || rows_[index]->controller->IsActive()) continue;
    std::string name = rows_[index]->name;
    rows_[index]->controller.reset();
    archives_.Remove(name);
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
  }
  selection_.clear();
  if (!rows_.empty()) selection_.insert(first < rows_.size() ? first : rows_.size() - 1);
  return true;
}

void MainWindowModel::Show(size_t index, bool shown) {
  if (index < rows_.size()) rows_[index]->shown = shown;
}

bool MainWindowModel::SetServerPort(int32_t port) {
  if (port < 1 || port > 65535) return false;
  settings_.set_port(port);
  return settings_.Save();
}

bool MainWindowModel::CheckNewUser(const std::string& name, const std::string& password,
                                   const std::string& confirm, std::string* told) {
  if (name.empty()) {
    Tell("Please enter a user name!", told);
    return false;
  }
  // The name is the user's key in the store: one key name, no path.
  if (name.find('\\') != std::string::npos || name.size() > kMaxUserName) {
    Tell("A user name can have at most 255 characters and no backslash (\\).", told);
    return false;
  }
  if (users_.Find(name) != nullptr) {
    Tell("This user name has already been used. Please select another.", told);
    return false;
  }
  if (password != confirm) {
    Tell("The two passwords entered do not match!", told);
    return false;
  }
  return true;
}

bool MainWindowModel::AddUser(const std::string& name, const std::string& full_name,
                              const std::string& password, const std::string& confirm,
                              std::string* told) {
  if (!CheckNewUser(name, password, confirm, told)) return false;
  auto user = std::make_unique<UserRecord>(archives_.store(), sink_);
  user->SetNameAndPassword(name, password.c_str());
  user->set_full_name(full_name);
  UserRecord* stored = users_.Insert(std::move(user));
  stored->PruneRights(archives_);
  stored->SetAllRights(kRightAccess | kRightLiveStream);
  if (stored->RightsCount() == 0) {
    Tell("There are no archives currently defined! Please define archives before assigning user "
         "rights.",
         told);
  }
  return stored->Save();
}

bool MainWindowModel::EditUser(const std::string& name, const std::string& full_name,
                               const std::string* password) {
  UserRecord* user = users_.Find(name);
  if (user == nullptr) return false;
  user->set_full_name(full_name);
  if (password != nullptr) user->SetNameAndPassword(user->name(), password->c_str());
  return user->Save();
}

bool MainWindowModel::SetUserRights(const std::string& name, const std::string& archive,
                                    int32_t rights) {
  UserRecord* user = users_.Find(name);
  if (user == nullptr || archives_.Find(archive) == nullptr) return false;
  user->SetRights(archives_.Find(archive)->name(), rights & (kRightAccess | kRightLiveStream));
  return user->Save();
}

bool MainWindowModel::SetUserRights(const std::string& name,
                                    const std::map<std::string, int32_t>& rights) {
  UserRecord* user = users_.Find(name);
  if (user == nullptr) return false;
  for (const auto& [archive, value] : rights) {
    if (archives_.Find(archive) == nullptr) return false;
  }
  for (const auto& [archive, value] : rights) {
    user->SetRights(archives_.Find(archive)->name(), value & (kRightAccess | kRightLiveStream));
  }
  return user->Save();
}

bool MainWindowModel::RemoveUser(const std::string& name) {
  if (users_.Find(name) == nullptr) return false;
  return users_.Remove(name);
}

bool MainWindowModel::CanAddSource(std::string* told) {
  if (devices_ == nullptr || devices_->entries().empty()) {
    Tell("Unable to detect input audio devices! Can't add audio sources!", told);
    return false;
  }
  if (devices_->FullyUsedCount() == static_cast<int>(devices_->entries().size())) {
    Tell("Audio source limit reached! Please install additional audio devices for more audio "
         "sources.",
         told);
    return false;
  }
  return true;
}

bool MainWindowModel::AddSource(const std::string& name, int device, int code,
                                std::string* told) {
  if (!CanAddSource(told)) return false;
  if (name.empty()) {
    Tell("You must specify an audio source name!", told);
    return false;
  }
  bool used = false;
  devices_->sources().Enumerate([&](const std::string& source, const kit::OptionValue&) {
    if (FoldName(source) == FoldName(name)) used = true;
  });
  if (used) {
    Tell("This audio source name is already in use! Please choose another.", told);
    return false;
  }
  // The device definition holds at most 63 characters of a source name; a
  // longer one would record nothing under the name its archives ask for.
  if (name.size() > kMaxSourceName) {
    Tell("An audio source name can have at most 63 characters.", told);
    return false;
  }
  if (device < 0 || device >= static_cast<int>(devices_->entries().size()) ||
      devices_->entries()[static_cast<size_t>(device)].channel_use == 3) {
    Tell("Please choose an audio device that has a free channel.", told);
    return false;
  }
  if (code < 1 || code > 3 ||
      (devices_->entries()[static_cast<size_t>(device)].channel_use & code) != 0) {
    Tell("These channels of the device are already used by another audio source.", told);
    return false;
  }
  if (manager_ != nullptr && manager_->IsDeviceActive(static_cast<uint32_t>(device))) {
    Tell("This device is currently active. Unable to modify it at this time.", told);
    return false;
  }
  devices_->SetSource(name, device, code, true);
  RedefineDevices();
  return true;
}

bool MainWindowModel::CanRemoveSource(const std::string& name, std::string* told) {
  if (devices_ == nullptr || devices_->sources().GetString(name) == nullptr) {
    Tell("No item selected!", told);
    return false;
  }
  int device = devices_->FindDevice(devices_->DeviceOfSource(name));
  if (manager_ != nullptr && device >= 0 && manager_->IsDeviceActive(static_cast<uint32_t>(device))) {
    Tell("Device is active. Unable to remove it at this time.", told);
    return false;
  }
  return true;
}

bool MainWindowModel::RemoveSource(const std::string& name, std::string* told) {
  if (!CanRemoveSource(name, told)) return false;
  devices_->RemoveSource(name);
  RedefineDevices();
  return true;
}

void MainWindowModel::RedefineDevices() {
  if (manager_ == nullptr || devices_ == nullptr) return;
  const auto& entries = devices_->entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    const AudioDeviceEntry& entry = entries[i];
    if (manager_->IsDeviceActive(static_cast<uint32_t>(i))) {
      DiagPrintf("Device '%s' (%d) is active. Not modified!\n", entry.name.c_str(),
                 static_cast<int>(i));
      continue;
    }
    if (!manager_->DefineDevice(&entry.info)) {
      Show("Unable to update the definition for audio device \"" + entry.name +
           "\". Restarting the application may correct the problem.");
      continue;
    }
    DiagPrintf("B: Updated definition for device '%s' (%d).\n", entry.name.c_str(),
               static_cast<int>(i));
  }
}

void MainWindowModel::ShutdownRows() {
  auto_start_.clear();
  for (auto& row : rows_) {
    row->status_timer = false;
    row->controller.reset();
  }
  rows_.clear();
  selection_.clear();
}

void StartWindowTimers(AppLoop* loop, MainWindowModel* model,
                       std::function<void(const ArchiveRow& row)> on_change) {
  // The state text each row had when last reported, by archive name.
  auto reported = std::make_shared<std::map<std::string, std::string>>();
  auto report = [model, reported, on_change] {
    for (size_t i = 0; i < model->row_count(); ++i) {
      const ArchiveRow& row = model->row(i);
      auto [it, added] = reported->try_emplace(row.name, "Inactive");
      if (it->second != row.status.state) {
        it->second = row.status.state;
        if (on_change) on_change(row);
      }
    }
  };
  loop->SetTimer(kAutoStartTimer, kAutoStartPeriodMs, [loop, model, report] {
    if (!model->AutoStartTick()) {
      loop->KillTimer(kAutoStartTimer);
      return;
    }
    report();
  });
  loop->SetTimer(kStatusTimer, kStatusPeriodMs, [model, report] {
    model->StatusTick();
    report();
  });
}

}  // namespace logrum::server
