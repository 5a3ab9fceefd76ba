// The audio capture library's public contract: what its callers (the server program, the
// archive service's encoders) see. Header-only; include it without linking audiosrc.so.
//
// The library audiosrc.so exports one C function, _6A7B31, taking no arguments and
// returning the process-wide CAudioSourceManager. The object is built on the first call,
// the same pointer comes back on every later call, and it is destroyed when the library
// is unloaded: callers never delete it.
//
// A capture device is defined once (DefineDevice) as one stereo source or as two mono
// sources (left and right); subscribers then attach to a source by its name. The first
// subscriber of a device starts its capture thread, the last one to leave stops it.
//
// Thread safety: every operation may be called from any thread; the manager serialises
// DefineDevice, Subscribe, Unsubscribe and RemoveAll itself. Sinks and level listeners
// are called on the device's capture threads (see AudioSink and LevelListener below)
// and must not call back into the manager.
//
// A device that fails while it runs (a USB interface pulled out, an I/O error) is
// reopened by its capture thread with a back-off until it comes back; its subscribers
// stay subscribed.
#pragma once

#include <cstdint>

#include "Lib/Kit/AudioSink.h"
#include "Lib/Kit/IBlock.h"

namespace logrum::audio {

// Receives captured blocks: 16-bit stereo PCM, flags kit::kBlockFlagPcm, each block
// cbPcmBlock bytes long except the last one before a stop. Write is called on the
// device's feed thread while the device's sink list is locked: it must not subscribe or
// unsubscribe, and it takes its own reference (AddRef) to keep a block past the call.
// Write(nullptr) ends the stream of blocks: once when the capture thread ends, once when
// the subscriber is removed, and once when the device fails. After a device failure
// blocks come again when the device is back, as a new stream after a gap; the time in
// between is never filled in. Returning false removes the sink.
using AudioSink = kit::AudioSink;
using IBlock = kit::IBlock;

// Receives peak levels, one call per captured buffer: (minimum, maximum, 0) of the
// source's channel (for a stereo source, its left channel). Called on the device's
// capture thread; it must return at once and must not call back into the library.
class LevelListener {
 public:
  virtual void OnLevel(int16_t sMinimum, int16_t sMaximum, int32_t nReserved) = 0;

 protected:
  ~LevelListener() = default;
};

// The definition of one device, exchanged byte for byte: packed, 141 bytes.
#pragma pack(push, 1)
struct DeviceInfo {
  uint32_t uDeviceIndex;  // capture device number, 0-based, in the platform's order
  int32_t nSampleRate;    // samples per second per channel (the server uses 44100)
  uint8_t bSplitMono;     // 0: one stereo source; 1: two mono sources, left and right
  int32_t cbPcmBlock;     // capture block size in bytes (the server uses 36864)
  char szSourceLeft[64];  // the stereo source name, or the left one when split
  char szSourceRight[64]; // the right source name; read only when split
};
#pragma pack(pop)
static_assert(sizeof(DeviceInfo) == 141, "DeviceInfo is exchanged byte for byte");

// A subscription, owned by the caller and passed by pointer. Unsubscribe removes the
// sink and the listener that it names.
struct SourceSubscription {
  AudioSink* pSink;                // receives the blocks, or null
  uint32_t dwMask;                 // a block goes to pSink when its flags share a bit with this
  LevelListener* pLevelListener;   // receives peak levels, or null
};

// Channel selectors of a source (the high 16 bits of a source-name map entry).
enum SourceChannel : uint16_t {
  kChannelStereo = 1,
  kChannelLeft = 2,
  kChannelRight = 3,
};

// What capture cost one device, counted since the library was loaded (across stops,
// restarts and reopens). The device's capture thread only counts; the feed thread
// writes each overrun to the library's trace ("audiosrc: capture device '...':
// overrun, ..."), and callers read the counts here for status displays and metrics.
struct CaptureStats {
  uint64_t nFramesCaptured;  // frames the device delivered
  uint64_t nOverruns;        // gaps: audio the device dropped because no buffer was free
  uint64_t nLostFrames;      // frames lost in those gaps
  uint64_t nLostMs;          // the same in milliseconds of audio, at the device's rate
  uint32_t nOutages;         // device failures (input lost, then reopened)
  uint8_t bActive;           // 1 while the device's capture thread runs
  uint8_t bInputLost;        // 1 while the device has failed and is being reopened
};

class CAudioSourceManager {
 public:
  // Slots in this order; the order is part of the interface.
  // The platform's current number of capture devices, asked anew on each call.
  virtual int32_t GetNumDevices() = 0;
  // Returns the length of the device's product name plus 1, or 0 when there is no such
  // device. With a null buffer or a size of 0 writes nothing; otherwise writes at most
  // cbBuffer - 1 characters and a terminating NUL.
  virtual uint32_t GetDeviceName(uint32_t uDeviceIndex, char* pszBuffer, uint32_t cbBuffer) = 0;
  // True while the device's capture thread runs.
  virtual bool IsDeviceActive(uint32_t uDeviceIndex) = 0;
  // Defines (or redefines) a stopped device and maps its source names. False for an index
  // out of range, an active device, or a name that another device uses (the device's
  // previous names are unmapped even then).
  virtual bool DefineDevice(const DeviceInfo* pDevInfo) = 0;
  // Attaches the subscription to the source named exactly (case-sensitive), starting the
  // device on its first subscriber. False when the source is unknown or the device fails
  // to start.
  virtual bool Subscribe(const char* pszSource, const SourceSubscription* pSubscription) = 0;
  // Removes the subscription's sink and listener; stops the device with its last
  // subscriber. False when the source is unknown or its device is not running.
  virtual bool Unsubscribe(const char* pszSource, const SourceSubscription* pSubscription) = 0;
  // Unmaps every source name and stops every device.
  virtual void RemoveAll() = 0;

 protected:
  virtual ~CAudioSourceManager() = default;  // the library deletes it when it is unloaded

 public:
  // Added behind the fixed slots, so the table that callers index stays as it was.
  // Per-device capture counters (overruns, lost audio, outages) for the status
  // display and the metrics: fills *pStats for device uDeviceIndex and returns true;
  // false (nothing written) for an index out of range or a null pointer. Any thread,
  // as often as once a second: it never holds up capture, and waits only while a
  // device is being started or stopped.
  virtual bool GetCaptureStats(uint32_t uDeviceIndex, CaptureStats* pStats) {
    (void)uDeviceIndex;
    (void)pStats;
    return false;
  }
};

// The library's file name and entry point.
inline constexpr char kAudioSourceLibrary[] = "audiosrc.so";
inline constexpr char kAudioSourceEntry[] = "_6A7B31";
using AudioSourceEntryFn = CAudioSourceManager* (*)();

}  // namespace logrum::audio
