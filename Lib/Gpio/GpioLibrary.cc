#include "Lib/Gpio/GpioLibrary.h"

#include <cstdio>
#include <cstring>

#include "Lib/Gpio/MessageRoute.h"
#include "Lib/Kit/Options/RegistryKey.h"

namespace logrum::gpio {
namespace {

using platform::RegRoot;
using platform::RegValue;
using platform::Status;

std::string Fold(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

std::string ConfigKeyPath() { return std::string(kGpioKey) + "\\" + kConfigSubkey; }

std::string DeviceValue(size_t n, int m, const char* field) {
  char name[64];
  std::snprintf(name, sizeof name, "Dev%zu_%d_%s", n, m, field);
  return name;
}

std::string Dword(uint32_t value) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
  return data;
}

std::string Text(std::string_view text) {
  std::string data(text.substr(0, text.find('\0')));
  data.push_back('\0');
  return data;
}

// The values of the Config key by folded name, read in one snapshot.
class ConfigValues {
 public:
  explicit ConfigValues(std::vector<RegValue> values) {
    for (RegValue& value : values) values_[Fold(value.name)] = std::move(value);
  }
  bool Has(const std::string& name) const { return Find(name, platform::kRegString) != nullptr; }
  // 0 when absent or not a 4-byte number.
  uint32_t Number(const std::string& name) const {
    const RegValue* value = Find(name, platform::kRegDword);
    if (value == nullptr || value->data.size() != 4) return 0;
    const auto* p = reinterpret_cast<const uint8_t*>(value->data.data());
    return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
  }
  // "" when absent; cut to `limit` characters.
  std::string String(const std::string& name, size_t limit) const {
    const RegValue* value = Find(name, platform::kRegString);
    if (value == nullptr) return "";
    std::string text = value->data.substr(0, value->data.find('\0'));
    if (text.size() > limit) text.resize(limit);
    return text;
  }

 private:
  const RegValue* Find(const std::string& name, uint32_t type) const {
    auto it = values_.find(Fold(name));
    return it == values_.end() || it->second.type != type ? nullptr : &it->second;
  }
  std::map<std::string, RegValue> values_;
};

}  // namespace

std::string RegistryKeyMessage() {
  return std::string("Error: Unable to open registry key ") + kGpioKey + "!";
}

SourceEntry::SourceEntry() {
  for (auto& input : inputs) input = std::make_unique<LogicalInput>();
}

GpioLibrary::GpioLibrary(Options options) : options_(std::move(options)) {}

GpioLibrary::~GpioLibrary() {
  Close();
  kit::MutexLock lock(mu_);
  cards_.reset();
}

void GpioLibrary::Message(const std::string& text) {
  if (options_.message) {
    options_.message(text);
  } else {
    PostMessage(text);
  }
}

platform::Registry* GpioLibrary::Store() {
  if (options_.store != nullptr) return options_.store;
  platform::Registry* store = nullptr;
  return platform::DefaultRegistry(&store).ok() ? store : nullptr;
}

std::unique_ptr<SourceEntry> GpioLibrary::NewEntry(const std::string& name) {
  auto entry = std::make_unique<SourceEntry>();
  entry->name = name;
  for (auto& input : entry->inputs) {
    input->set_retry_interval_ms(options_.retry_interval_ms);
    input->set_connect_timeout_ms(options_.connect_timeout_ms);
  }
  return entry;
}

SourceEntry* GpioLibrary::FindOrCreate(const std::string& name) {
  std::unique_ptr<SourceEntry>& slot = entries_[Fold(name)];
  if (!slot) slot = NewEntry(name);
  return slot.get();
}

bool GpioLibrary::OpenCardManager() {
  if (cards_open_) return true;
  if (!cards_ && options_.make_card_manager) cards_ = options_.make_card_manager();
  if (!cards_) return false;
  if (cards_->Open()) {
    cards_open_ = true;
  } else {
    Message("Unable to open Norvane card manager!");
  }
  return cards_open_;
}

uint8_t GpioLibrary::BuildValidMask(SourceEntry* entry, bool start_readers) {
  uint8_t mask = 0;
  for (int m = 0; m < kLogicalInputs; ++m) {
    mask = static_cast<uint8_t>(mask << 1);
    LogicalInput& input = *entry->inputs[static_cast<size_t>(m)];
    const InputConfig& config = input.config();
    if (!config.active) continue;
    mask |= 1;
    if (start_readers) {
      if (!input.Start()) Message("Error: Unable to start thread!");
      input.Configure(config.host_address, config.on_pattern, config.off_pattern,
                      config.case_sensitive, config.initial_state);
    }
  }
  if (cards_open_ && cards_->FindCard(entry->name) != -1) mask |= 0xF0;
  entry->valid_mask = mask;
  return mask;
}

bool GpioLibrary::Open(uint8_t* config_available) {
  if (config_available != nullptr) *config_available = 1;
  kit::MutexLock lock(mu_);
  slots_.fill(nullptr);
  open_.clear();
  kit::RegistryKey key(false, options_.store);
  if (Status status = key.Open(kGpioKey, false); !status.ok()) {
    Message(RegistryKeyMessage());
    if (!status.message().empty()) Message(status.message());
    return false;
  }
  OpenCardManager();
  // The inputs that could be read are started all the same.
  if (Status loaded = LoadConfiguration(); !loaded.ok()) Message(loaded.message());
  for (auto& [folded, entry] : entries_) BuildValidMask(entry.get(), true);
  return true;
}

Status GpioLibrary::LoadConfiguration() {
  platform::Registry* store = Store();
  if (store == nullptr) return Status::Error(Status::kNotFound, RegistryKeyMessage());
  std::vector<RegValue> list;
  Status status = store->ListValues(RegRoot::kLocalMachine, ConfigKeyPath(), &list);
  if (status.IsNotFound()) return Status::Ok();
  if (!status.ok()) {
    return Status::Error(status.code(),
                         "Error: Unable to read the GPIO configuration: " + status.message());
  }
  ConfigValues values(std::move(list));
  const uint32_t count = values.Number("Count");
  for (uint32_t n = 0; n < count; ++n) {
    const std::string name_value = "AudioSourceName" + std::to_string(n);
    if (!values.Has(name_value)) continue;
    std::string name = values.String(name_value, 127);
    auto entry = NewEntry(name);
    entry->valid_mask = static_cast<uint8_t>(values.Number("ValidSwitches" + std::to_string(n)));
    for (int m = 0; m < kLogicalInputs; ++m) {
      InputConfig& config = entry->inputs[static_cast<size_t>(m)]->config();
      config.active = values.Number(DeviceValue(n, m, "Active")) != 0;
      config.host_address =
          values.String(DeviceValue(n, m, "HostAddress"), InputConfig::kMaxHostAddress);
      config.initial_state = values.Number(DeviceValue(n, m, "InitialState")) != 0;
      config.case_sensitive = values.Number(DeviceValue(n, m, "CaseSensitive")) != 0;
      config.on_pattern = values.String(DeviceValue(n, m, "OnPattern"), InputConfig::kMaxPattern);
      config.off_pattern =
          values.String(DeviceValue(n, m, "OffPattern"), InputConfig::kMaxPattern);
    }
    // An unnamed source cannot be opened by name; a name stored twice keeps
    // the later entry.
    if (!name.empty()) entries_[Fold(name)] = std::move(entry);
  }
  return Status::Ok();
}

Status GpioLibrary::SaveConfiguration() {
  kit::RegistryKey key(false, options_.store);
  platform::Registry* store = Store();
  if (store == nullptr || !key.Open(kGpioKey, false).ok()) {
    Message(RegistryKeyMessage());
    return Status::Error(Status::kNotFound, RegistryKeyMessage());
  }
  const std::string path = ConfigKeyPath();
  Status status = store->Update([&](platform::RegistryTxn& txn) REQUIRES(mu_) {
    auto put = [&](const std::string& name, uint32_t type, const std::string& data) {
      return txn.SetValue(RegRoot::kLocalMachine, path, name, type, data);
    };
    if (Status s = txn.CreateKey(RegRoot::kLocalMachine, path, "cls?"); !s.ok()) return s;
    size_t n = 0;
    for (auto& [folded, entry] : entries_) {
      Status s = put("AudioSourceName" + std::to_string(n), platform::kRegString,
                     Text(entry->name));
      if (s.ok()) s = put("ValidSwitches" + std::to_string(n), platform::kRegDword,
                          Dword(entry->valid_mask));
      for (int m = 0; m < kLogicalInputs && s.ok(); ++m) {
        const InputConfig& c = entry->inputs[static_cast<size_t>(m)]->config();
        s = put(DeviceValue(n, m, "Active"), platform::kRegDword, Dword(c.active ? 1 : 0));
        if (s.ok())
          s = put(DeviceValue(n, m, "HostAddress"), platform::kRegString, Text(c.host_address));
        if (s.ok())
          s = put(DeviceValue(n, m, "InitialState"), platform::kRegDword,
                  Dword(c.initial_state ? 1 : 0));
        if (s.ok())
          s = put(DeviceValue(n, m, "CaseSensitive"), platform::kRegDword,
                  Dword(c.case_sensitive ? 1 : 0));
        if (s.ok())
          s = put(DeviceValue(n, m, "OnPattern"), platform::kRegString, Text(c.on_pattern));
        if (s.ok())
          s = put(DeviceValue(n, m, "OffPattern"), platform::kRegString, Text(c.off_pattern));
      }
      if (!s.ok()) return s;
      ++n;
    }
    return put("Count", platform::kRegDword, Dword(static_cast<uint32_t>(n)));
  });
  if (!status.ok()) {
    status = Status::Error(status.code(),
                           "Error: Unable to save the GPIO configuration: " + status.message());
    Message(status.message());
  }
  return status;
}

void GpioLibrary::Close() {
  kit::MutexLock lock(mu_);
  slots_.fill(nullptr);
  open_.clear();
  for (auto& [folded, entry] : entries_) {
    for (auto& input : entry->inputs) input->Stop();
  }
  entries_.clear();
  if (cards_open_) {
    cards_->Close();
    cards_open_ = false;
  }
}

bool GpioLibrary::OpenDevice(int32_t* handle, const char* source_name, uint8_t* valid_mask) {
  if (handle == nullptr) return false;
  *handle = -1;
  const std::string name = source_name != nullptr ? source_name : "";
  const std::string folded = Fold(name);
  kit::MutexLock lock(mu_);
  auto report = [&](int slot) REQUIRES(mu_) {
    SourceEntry* entry = slots_[static_cast<size_t>(slot)];
    *handle = slot;
    if (valid_mask != nullptr) {
      *valid_mask = static_cast<uint8_t>(entry->valid_mask | (entry->card_index != -1 ? 0xF0 : 0));
    }
    return true;
  };
  if (auto it = open_.find(folded); it != open_.end()) {
    ++slots_[static_cast<size_t>(it->second)]->open_count;
    return report(it->second);
  }
  int slot = 0;
  while (slot < kHandleSlots && slots_[static_cast<size_t>(slot)] != nullptr) ++slot;
  if (slot == kHandleSlots) return false;
  SourceEntry* entry = FindOrCreate(name);
  entry->open_count = 1;
  open_[folded] = slot;
  slots_[static_cast<size_t>(slot)] = entry;
  entry->card_index = cards_open_ ? cards_->FindCard(name) : -1;
  return report(slot);
}

bool GpioLibrary::GetDeviceSwitchState(uint32_t handle, uint8_t* state) {
  if (handle >= kHandleSlots) return false;
  kit::MutexLock lock(mu_);
  SourceEntry* entry = slots_[handle];
  if (entry == nullptr) return false;
  uint8_t card = 0;
  if (entry->card_index != -1 && cards_) card = cards_->GetContacts(entry->card_index);
  uint8_t logical = 0;
  for (const auto& input : entry->inputs) {
    logical = static_cast<uint8_t>(logical << 1);
    if (input->config().active && input->state()) logical |= 1;
  }
  if (state != nullptr) *state = static_cast<uint8_t>(card | logical);
  return true;
}

void GpioLibrary::CloseDevice(uint32_t handle) {
  if (handle >= kHandleSlots) return;
  kit::MutexLock lock(mu_);
  SourceEntry* entry = slots_[handle];
  if (entry == nullptr) return;
  if (--entry->open_count <= 0) {
    open_.erase(Fold(entry->name));
    slots_[handle] = nullptr;
  }
}

bool GpioLibrary::ShowConfigDialog(const char* source_name) {
  kit::MutexLock lock(mu_);
  SourceEntry* entry = FindOrCreate(source_name != nullptr ? source_name : "");
  OpenCardManager();
  // No window on this platform: the console edits the inputs instead. What
  // follows the dialog still happens: the mask is rebuilt and all is saved.
  BuildValidMask(entry, false);
  // The export answers true whatever the save: a failure has been shown
  // through the message handler already.
  (void)SaveConfiguration();
  return true;
}

std::vector<std::string> GpioLibrary::SourceNames() {
  kit::MutexLock lock(mu_);
  std::vector<std::string> names;
  for (const auto& [folded, entry] : entries_) names.push_back(entry->name);
  return names;
}

bool GpioLibrary::ReadSource(const std::string& source, uint8_t* valid_mask, int32_t* card_index) {
  kit::MutexLock lock(mu_);
  auto it = entries_.find(Fold(source));
  if (it == entries_.end()) return false;
  if (valid_mask != nullptr) *valid_mask = it->second->valid_mask;
  if (card_index != nullptr) {
    *card_index = cards_open_ ? cards_->FindCard(it->second->name) : -1;
  }
  return true;
}

bool GpioLibrary::ReadInput(const std::string& source, int input, InputView* view) {
  if (input < 5 || input > 8) return false;
  kit::MutexLock lock(mu_);
  auto it = entries_.find(Fold(source));
  if (it == entries_.end()) return false;
  const LogicalInput& in = *it->second->inputs[static_cast<size_t>(input - 5)];
  view->config = in.config();
  view->running = in.running();
  view->state = in.config().active && in.state();
  view->pattern_errors = in.pattern_errors();
  view->status = in.config().active ? in.StatusText() : "Inactive!";
  return true;
}

Status GpioLibrary::Configure(const std::string& source, int input, const InputConfig& config) {
  if (input < 5 || input > 8) {
    return Status::Error(Status::kInvalidArgument, "logical inputs are numbered 5 to 8");
  }
  if (config.host_address.size() > InputConfig::kMaxHostAddress) {
    return Status::Error(Status::kInvalidArgument,
                         "the host address is longer than 127 characters");
  }
  if (config.on_pattern.size() > InputConfig::kMaxPattern ||
      config.off_pattern.size() > InputConfig::kMaxPattern) {
    return Status::Error(Status::kInvalidArgument, "a pattern is longer than 255 characters");
  }
  kit::MutexLock lock(mu_);
  SourceEntry* entry = FindOrCreate(source);
  LogicalInput& in = *entry->inputs[static_cast<size_t>(input - 5)];
  in.config() = config;
  if (config.active) {
    if (!in.running() && !in.Start()) {
      in.config().active = false;
      return Status::Error(Status::kIoError, "Error: Unable to start thread!");
    }
    in.Configure(config.host_address, config.on_pattern, config.off_pattern,
                 config.case_sensitive, config.initial_state);
  } else {
    in.Stop();
  }
  BuildValidMask(entry, false);
  return Status::Ok();
}

Status GpioLibrary::Save() {
  kit::MutexLock lock(mu_);
  for (auto& [folded, entry] : entries_) BuildValidMask(entry.get(), false);
  return SaveConfiguration();
}

}  // namespace logrum::gpio
