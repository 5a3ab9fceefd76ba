// Wave input: capture devices that fill fixed buffers handed to them, in order.
//
// The contract every capture backend keeps:
//  - devices are numbered 0..WaveInDeviceCount()-1: the ALSA capture devices of every
//    card first (card order, then device order), then the virtual devices declared in
//    LOGRUM2_VIRTUAL_DEVICES (see WaveInVirtual.h), in declaration order;
//  - a device is opened with a format and a callback; the caller prepares buffers,
//    adds them, and starts the device; the device fills the added buffers one after
//    the other, in the order they were added, and hands each one back, filled, through
//    the callback;
//  - Reset stops capturing and hands back every buffer still with the device, in order,
//    the one being filled with what it holds so far; Start begins again;
//  - capture that the device had to drop because no buffer was there in time (an
//    overrun) is never dropped silently: the callback is told how many frames were
//    lost and the counters in WaveInStats grow. The device's thread only counts: it
//    never formats or writes text, and its owner reports the counts from another
//    thread;
//  - every buffer handed back carries the time its first frame was captured, on the
//    process clock (Clock.h), so audio keeps its own time however late its reader is.
//
// Threads: each open device has one thread of its own, and every callback runs on it.
// The callback must not call Reset, Close or the destructor of its own device (they wait
// for that thread); it may call AddBuffer. All member functions may be called from any
// other thread; calls on one device are serialised internally.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Lib/Platform/Status.h"

namespace logrum::platform {

// Result codes. 0 is success; the values follow the familiar multimedia numbering so
// that traces of device errors read the same on every platform.
enum WaveInResult : int {
  kWaveInOk = 0,
  kWaveInError = 1,           // unspecified device failure
  kWaveInBadDeviceId = 2,     // no device with that number
  kWaveInAllocated = 4,       // the device is busy (opened elsewhere)
  kWaveInInvalidHandle = 5,   // the device is closed
  kWaveInNoDriver = 6,        // the device cannot be opened
  kWaveInNoMem = 7,
  kWaveInInvalidParam = 11,
  kWaveInBadFormat = 32,      // format not supported
  kWaveInStillRecording = 33, // buffers are still with the device
  kWaveInUnprepared = 34,     // buffer not prepared
};

// A short English text for a result code.
const char* WaveInResultText(int result);

// The result code for a failed open, for the interfaces that report codes: missing
// is kWaveInBadDeviceId, busy kWaveInAllocated, an unusable format or parameter
// kWaveInBadFormat, anything else kWaveInNoDriver.
int WaveInResultOf(const Status& status);

// Linear PCM, signed 16-bit little-endian, interleaved; 1 or 2 channels.
struct WaveFormat {
  uint16_t channels = 2;
  uint32_t sample_rate = 44100;
  uint16_t bits_per_sample = 16;

  uint32_t block_align() const { return channels * bits_per_sample / 8u; }
  uint32_t avg_bytes_per_sec() const { return sample_rate * block_align(); }
};

// One capture buffer. The caller owns the memory and the header; the device uses both
// from AddBuffer until the buffer comes back through the callback.
struct WaveInBuffer {
  enum Flags : uint32_t { kDone = 1, kPrepared = 2, kQueued = 0x10 };
  char* data = nullptr;
  uint32_t buffer_length = 0;   // bytes; a multiple of the format's block_align is filled
  uint32_t bytes_recorded = 0;  // set by the device when it hands the buffer back
  uintptr_t user = 0;           // the caller's, never touched by the device
  int64_t capture_us = 0;       // set by the device: when the first frame was captured
                                // (microseconds since 1970 on the process clock)
  uint32_t flags = 0;
  WaveInBuffer* next = nullptr;  // the device's link while queued; never touched by callers
};

enum class WaveInMessage {
  kData,     // `buffer` comes back filled (or, after Reset, with what it holds)
  kOverrun,  // `frames` frames of capture were lost just before the next data
  kError,    // the device failed with result code `frames`; capture has stopped until Reset
};

// Called on the device's own thread. Must return quickly and must not block on
// anything that waits for the device.
using WaveInCallback = void (*)(void* instance, WaveInMessage message, WaveInBuffer* buffer,
                                uint64_t frames);

struct WaveInStats {
  uint64_t frames_captured = 0;  // frames handed back in buffers
  uint64_t overruns = 0;         // number of gaps
  uint64_t frames_lost = 0;      // sum of the gaps' lengths
};

// The number of capture devices now; asked anew on each call.
int WaveInDeviceCount();

// Device names are kept by callers in fields of this many characters (and a NUL).
inline constexpr size_t kWaveInNameChars = 63;

// The device's product name ("card: device" for ALSA, the declared name for virtual
// devices). Returns kWaveInOk, or kWaveInBadDeviceId for a number out of range.
// Names are unique among the devices present, in their first kWaveInNameChars
// characters and without regard to case: the second of two identical sound cards is
// "NAME #2" (the third "NAME #3"), its base name shortened if needed so that the
// suffix fits. The first keeps its plain name, so names stored before still find it.
int WaveInDeviceName(uint32_t device, std::string* name);

// The number of the device now named exactly `name`, or -1 when none is. A device
// that comes back after it was unplugged may have another number but has its name.
int WaveInFindDevice(std::string_view name);

class WaveInStream;  // backend side, WaveInBackend.h

class WaveIn {
 public:
  // Opens capture device `device`. On failure *out stays empty and the Status names
  // the device (its number or name, a file's path) and why: kNotFound for no such
  // device, one unplugged or a file that is not there, kBusy while another user has
  // it, kInvalidArgument for a format it cannot deliver.
  static Status Open(uint32_t device, const WaveFormat& format, WaveInCallback callback,
                     void* instance, std::unique_ptr<WaveIn>* out);
  // The same over a stream that the caller made (tests, special devices).
  static int OpenStream(std::unique_ptr<WaveInStream> stream, std::string name,
                        const WaveFormat& format, WaveInCallback callback, void* instance,
                        std::unique_ptr<WaveIn>* out);

  WaveIn(const WaveIn&) = delete;
  WaveIn& operator=(const WaveIn&) = delete;
  // Resets and closes.
  ~WaveIn();

  int Prepare(WaveInBuffer* buffer);
  int Unprepare(WaveInBuffer* buffer);  // kWaveInStillRecording while it is with the device
  int AddBuffer(WaveInBuffer* buffer);  // clears kDone, sets kQueued
  int Start();
  // Stops capture and returns every added buffer through the callback, in order, before
  // it returns. The device may be started again.
  int Reset();

  WaveInStats stats() const;
  const std::string& name() const;
  const WaveFormat& format() const;

 private:
  struct Impl;
  explicit WaveIn(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace logrum::platform
