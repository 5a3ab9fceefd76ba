#include "App/Server/AudioDeviceTable.h"

#include <cstring>

#include "App/Server/ConfigText.h"
#include "App/Server/SharedLogger.h"
#include "Lib/Platform/DynamicLibrary.h"

namespace logrum::server {
namespace {

constexpr int32_t kSampleRate = 44100;
constexpr int32_t kBlockBytes = 36864;

void CopyName(char (&field)[64], std::string_view name) {
  size_t n = std::min(name.size(), sizeof field - 1);
  std::memcpy(field, name.data(), n);
  field[n] = '\0';
}

const char kAnchor = 0;

}  // namespace

const char* ChannelCodeText(int code) {
  switch (code) {
    case 1:
      return "Right only";
    case 2:
      return "Left only";
    case 3:
      return "Left & Right";
    default:
      return "<Unknown>";
  }
}

AudioDeviceTable::AudioDeviceTable(platform::Registry* store, MessageSink* sink)
    : store_(store), sink_(sink), sources_(false, store) {
  sources_.set_trace(false);
}

void AudioDeviceTable::LoadFromLibrary() {
  platform::DynamicLibrary library;
  audio::CAudioSourceManager* manager = nullptr;
  audio::AudioSourceEntryFn entry = nullptr;
  // Without the library the table stays empty; the program says why when it binds
  // the library for capture.
  if (library.OpenBeside(&kAnchor, audio::kAudioSourceLibrary).ok() &&
      library.Function(audio::kAudioSourceEntry, &entry).ok()) {
    manager = entry();
  }
  // The table keeps names and records only, so the library may go afterwards.
  Load(manager);
}

void AudioDeviceTable::Load(audio::CAudioSourceManager* manager) {
  entries_.clear();
  int32_t count = manager != nullptr ? manager->GetNumDevices() : 0;
  for (int32_t i = 0; i < count; ++i) {
    char name[64] = {};
    if (manager->GetDeviceName(static_cast<uint32_t>(i), name, sizeof name) == 0) continue;
    AudioDeviceEntry entry;
    entry.name = name;
    entry.info.uDeviceIndex = static_cast<uint32_t>(i);
    entry.info.nSampleRate = kSampleRate;
    entry.info.bSplitMono = 0;
    entry.info.cbPcmBlock = kBlockBytes;
    DiagPrintf("AD: Audio device '%s' found at winid %d. Norvane index=%d\n", name, i,
               static_cast<int>(entries_.size()));
    entries_.push_back(std::move(entry));
  }
  if (entries_.empty()) return;

  if (sources_.Read(AudioDevices2KeyPath()).ok()) {
    DiagPrintf("Read new sources!\n");
    std::vector<std::pair<std::string, std::string>> stored;
    sources_.Enumerate([&](const std::string& source, const kit::OptionValue& value) {
      if (value.type() == kit::OptionValue::kString) stored.emplace_back(source, value.bytes());
    });
    for (const auto& [source, data] : stored) {
      int code = data.empty() ? 0 : data[0] - '0';
      int device = data.empty() ? -1 : FindDevice(std::string_view(data).substr(1));
      SetSource(source, device, code, false);
    }
  } else {
    DiagPrintf("Unable to read new source defs! Try old ones.\n");
    kit::OptionsReg old(false, store_);
    old.set_trace(false);
    if (old.Read(AudioDevicesKeyPath()).ok()) {
      DiagPrintf("Read old sources!\n");
      std::vector<std::pair<std::string, int32_t>> stored;
      old.Enumerate([&](const std::string& source, const kit::OptionValue& value) {
        if (value.type() == kit::OptionValue::kInteger) stored.emplace_back(source, value.integer());
      });
      for (const auto& [source, packed] : stored) {
        SetSource(source, static_cast<int>(static_cast<uint32_t>(packed) >> 8), packed & 0xff, false);
      }
    } else {
      DiagPrintf("Unable to read old sources from '%s'!\n", AudioDevicesKeyPath().c_str());
    }
  }
  if (!SaveSources()) ShowConfigMessage(sink_, kMsgRegistryAccess);
}

void AudioDeviceTable::SetSource(std::string_view source, int device, int code, bool save) {
  std::string name(source);
  DiagPrintf("AD: SetAudioSource: Src '%s' at dev %d, ch=%d, save=%d\n", name.c_str(), device, code,
             save ? 1 : 0);
  if (device < 0 || device >= static_cast<int>(entries_.size())) return;
  // An unknown code would mark channels as used that no source takes.
  if (code < 1 || code > 3) return;
  AudioDeviceEntry& entry = entries_[static_cast<size_t>(device)];
  sources_.SetString(name, std::string(1, static_cast<char>('0' + code)) + entry.name);
  if (code == 1) {
    entry.info.bSplitMono = 1;
    CopyName(entry.info.szSourceRight, name);
  } else if (code == 2) {
    entry.info.bSplitMono = 1;
    CopyName(entry.info.szSourceLeft, name);
  } else {
    entry.info.bSplitMono = 0;
    CopyName(entry.info.szSourceLeft, name);
  }
  entry.channel_use |= static_cast<uint8_t>(code);
  if (save && !SaveSources()) ShowConfigMessage(sink_, kMsgRegistryAccess);
}

void AudioDeviceTable::RemoveSource(std::string_view source) {
  const char* data = sources_.GetString(source);
  if (data == nullptr) return;
  std::string stored(data);
  int code = stored.empty() ? 0 : stored[0] - '0';
  int device = stored.empty() ? -1 : FindDevice(std::string_view(stored).substr(1));
  if (device >= 0 && code >= 1 && code <= 3) {
    entries_[static_cast<size_t>(device)].channel_use &= static_cast<uint8_t>(~code);
  }
  sources_.Remove(source);
  if (!SaveSources()) ShowConfigMessage(sink_, kMsgRegistryAccess);
}

std::string AudioDeviceTable::DeviceOfSource(std::string_view source) const {
  const char* data = sources_.GetString(source);
  if (data == nullptr || data[0] == '\0') return "";
  return data + 1;
}

int AudioDeviceTable::FindDevice(std::string_view device_name) const {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (EqualsIgnoreCase(entries_[i].name, device_name)) return static_cast<int>(i);
  }
  return -1;
}

int AudioDeviceTable::FullyUsedCount() const {
  int count = 0;
  for (const auto& entry : entries_) count += entry.channel_use == 3 ? 1 : 0;
  return count;
}

bool AudioDeviceTable::SaveSources() { return sources_.Save(AudioDevices2KeyPath()).ok(); }

}  // namespace logrum::server
