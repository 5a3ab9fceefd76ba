// The backend side of wave input: one open capture stream of some device.
//
// WaveIn (WaveIn.h) owns a stream and drives it from the device's own thread: Start,
// Read and Stop are only ever called on that thread; Interrupt may be called from any
// thread at any time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Lib/Platform/WaveIn.h"

namespace logrum::platform {

class WaveInStream {
 public:
  virtual ~WaveInStream() = default;

  // Begins capturing now. Returns a WaveInResult.
  virtual int Start() = 0;

  // Stops capturing and drops what was captured but not read. Clears an interrupt.
  virtual void Stop() = 0;

  // Reads up to `frames` frames into `data`, blocking until some are there. Returns the
  // number of frames read, 0 when interrupted (the interrupt stays set until Start or
  // Stop), or a negative WaveInResult when the device failed. Frames lost to an overrun
  // before the returned data are added to *lost_frames.
  virtual long Read(int16_t* data, uint32_t frames, uint64_t* lost_frames) = 0;

  // Makes a blocked or the next Read return 0. Any thread.
  virtual void Interrupt() = 0;

  // When the first frame of the last Read that returned frames was captured, in
  // microseconds on the process clock; 0 when the backend cannot tell, and then the
  // frames count as captured just before Read returned them.
  virtual int64_t LastReadStartUs() const { return 0; }
};

// A device that the layer can offer: its product name and how to open it.
struct WaveInDeviceEntry {
  std::string name;
  // Opens a stream in `format`; the Status says why it failed (without the device's
  // name, which the caller adds).
  std::function<Status(const WaveFormat& format, std::unique_ptr<WaveInStream>* stream)> open;
};

// The devices of one backend, in their order.
std::vector<WaveInDeviceEntry> EnumerateAlsaDevices();
std::vector<WaveInDeviceEntry> EnumerateVirtualDevices();

// Gives every device after the first of a name a " #2", " #3"... suffix (see
// WaveInDeviceName).
void MakeDeviceNamesUnique(std::vector<WaveInDeviceEntry>* devices);

}  // namespace logrum::platform
