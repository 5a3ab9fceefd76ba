// Virtual capture devices: a machine without a sound card can record, and tests can
// feed known audio through the whole capture path.
//
// They are declared in the environment variable LOGRUM2_VIRTUAL_DEVICES as entries
// "NAME=KIND[:ARG]" separated by ';' (blank entries are ignored):
//   tone:HZ          a sine of HZ hertz at -12 dBFS on both channels
//   tone:HZ,HZ2      HZ on the left channel, HZ2 on the right one
//   silence          digital silence
//   file:PATH        any audio file that libsndfile reads, converted to the device's rate
//                    (linear interpolation; the samples pass unchanged when the rates
//                    match) and to 16-bit stereo, played in a loop
//   file:PATH@SECONDS  the same, starting SECONDS into the file (so that many devices
//                    can play one file without sounding alike); an '@' not followed
//                    by a number belongs to the path
// They follow the ALSA devices in the device order, in declaration order. An entry that
// cannot be understood still takes its place in the order (so the numbers of the
// devices after it do not move), is reported as a warning (DebugOutput.h), and fails to
// open with the reason.
//
// Unplugging: while the folder named by LOGRUM2_VIRTUAL_UNPLUGGED holds a file named
// after a device, that device behaves as a sound card pulled out of its socket: opening
// it fails, and a running stream fails at its next read (a device error, not an
// overrun). Removing the file plugs it back in. This is how the recovery of capture
// after a device error is exercised without hardware.
//
// Pacing: a virtual device delivers frame n at start + n / rate on the process clock
// (Clock.h), in real time or on an accelerated or manual clock. Audio that is due but
// has found no buffer for more than kVirtualBacklogSeconds is dropped and reported as
// an overrun, as a sound card would drop it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Lib/Platform/Clock.h"
#include "Lib/Platform/WaveIn.h"
#include "Lib/Platform/WaveInBackend.h"

namespace logrum::platform {

inline constexpr char kVirtualDevicesVariable[] = "LOGRUM2_VIRTUAL_DEVICES";
inline constexpr char kVirtualUnpluggedVariable[] = "LOGRUM2_VIRTUAL_UNPLUGGED";
inline constexpr int kVirtualBacklogSeconds = 10;

struct VirtualDeviceSpec {
  enum class Kind { kInvalid, kTone, kSilence, kFile };
  std::string name;
  Kind kind = Kind::kInvalid;
  double frequency_left = 0;   // kTone
  double frequency_right = 0;  // kTone
  std::string path;            // kFile
  double start_seconds = 0;    // kFile: where the first loop starts
  std::string error;           // kInvalid: why
};

// Parses the variable's text. Every non-blank entry yields one spec, in order.
std::vector<VirtualDeviceSpec> ParseVirtualDevices(std::string_view text);

// Opens a stream of `spec` paced by `clock`, which must outlive the stream. With
// `unplug_folder` not empty the device is unplugged while that folder holds a file
// named after it.
Status OpenVirtualStream(const VirtualDeviceSpec& spec, const WaveFormat& format, Clock* clock,
                         std::unique_ptr<WaveInStream>* stream,
                         const std::string& unplug_folder = {});

}  // namespace logrum::platform
