// The capture devices of this machine and the audio sources defined on them.
//
// One entry per device that the audio capture library reports, in its order:
// the device name, the definition record handed to DefineDevice, and which of
// its channels sources use (bit 0 right, bit 1 left; 3 = fully used).
//
// Sources are kept in Logrum2\AudioDevices2 as <source> = channel code digit
// followed by the device name (codes: 1 right only, 2 left only, 3 left and
// right as stereo). The older Logrum2\AudioDevices (<source> = table index << 8
// | code) is read only when AudioDevices2 cannot be, and is then carried over
// into AudioDevices2; the older key itself is left as it is.
//
// Thread safety: none (UI thread).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "App/Server/ConfigKeys.h"
#include "Lib/AudioSource/include/AudioSource.h"
#include "Lib/Kit/Options/OptionsReg.h"

namespace logrum::server {

// "Right only", "Left only", "Left & Right", or "<Unknown>".
const char* ChannelCodeText(int code);

struct AudioDeviceEntry {
  std::string name;         // at most 63 characters
  audio::DeviceInfo info{};  // the definition record
  uint8_t channel_use = 0;
};

class AudioDeviceTable {
 public:
  AudioDeviceTable(platform::Registry* store, MessageSink* sink);

  // Enumerates the devices of `manager` (none when null), then applies the
  // stored sources. Saves AudioDevices2 when there is any device.
  void Load(audio::CAudioSourceManager* manager);
  // The same with the manager of "audiosrc.so" beside the program, which is
  // unloaded again at the end. No library: no devices, no message.
  void LoadFromLibrary();

  // Defines `source` on device `device` (a table index) with channel `code`;
  // saves AudioDevices2 when asked (message 103 on failure). An index outside
  // the table or a code other than 1-3 changes nothing.
  void SetSource(std::string_view source, int device, int code, bool save);
  // Frees the source's channels and deletes its value (and saves).
  void RemoveSource(std::string_view source);
  // The device name a source is defined on; empty when unknown.
  std::string DeviceOfSource(std::string_view source) const;
  // Table index of a device name (ignoring case), or -1.
  int FindDevice(std::string_view device_name) const;
  // Devices whose two channels are both used.
  int FullyUsedCount() const;

  const std::vector<AudioDeviceEntry>& entries() const { return entries_; }
  kit::OptionsReg& sources() { return sources_; }

 private:
  bool SaveSources();

  platform::Registry* store_;
  MessageSink* sink_;
  std::vector<AudioDeviceEntry> entries_;
  kit::OptionsReg sources_;  // the AudioDevices2 values
};

}  // namespace logrum::server
