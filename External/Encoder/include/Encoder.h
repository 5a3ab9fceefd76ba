// The encoder component audenc.so: what the archive service binds to.
// Header-only; include it without linking audenc.so.
//
// The library exports one C function, _6A7B31, taking a pointer to a parameter
// record and returning a new encoder: an ILiveEncoder for a live record (kind
// 1), an ISkimEncoder for a skim record (kind 2). Any other kind, a null
// record, or a record whose size field is not the size of its kind's record
// gives null. The caller owns the encoder and ends it with Release; formats
// are checked by Open, which fails (and, for a skim encoder, posts why) when
// a format cannot be written.
//
// Encoded data. Every frame is a standard MPEG audio layer 3 frame of the
// format's nominal bit rate with the padding bit 0 and no bit reservoir, so
// block sizes, byte offsets and durations follow the layer 3 block arithmetic
// and playback can start at any block. The odd rates 12, 14, 18 and 20 kbit/s
// are runs of standard frames of alternating rates (for 20 kbit/s at 11025 Hz:
// a 24 and a 16 kbit/s frame).
//
// Blocks handed to readers carry the flag kBlockFlagLayer3; a reader added with
// a mask that shares no bit with it receives nothing. A reader whose Write
// returns false is dropped. When a live encoder closes, each reader still added
// receives Write(nullptr) (end of the live stream); a skim encoder ends with a
// state 255 block instead. RemoveReader writes nothing to the reader.
//
// Thread safety: Open, Close, Release, AddReader, RemoveReader, SetStorageFull
// and GetParams may be called from any thread; the input sink is written by the
// audio source's feed thread. Readers are written on the encoder's own worker
// thread; RemoveReader returns only when that thread no longer uses the reader.
#pragma once

#include <cstdint>

#include "Lib/Kit/AudioSink.h"
#include "Lib/Kit/EventLogMT.h"
#include "Lib/Kit/IBlock.h"

namespace logrum::audenc {

// The archive's skim input, implemented by the server program. The skim
// encoder polls it once per input block on the feed thread.
class SkimSwitch {
 public:
  // Slots in this order; the order is part of the interface.
  virtual bool IsOn() = 0;             // the skim input is active
  virtual bool IsRecordEnabled() = 0;  // false while the schedule pauses recording
  virtual ~SkimSwitch() = default;     // the server program's to call
};

// The archive's event log, as the encoder posts to it.
using EventPoster = kit::EventPoster;

inline constexpr uint32_t kLiveEncoderKind = 1;
inline constexpr uint32_t kSkimEncoderKind = 2;

// Flag of an encoded block (captured PCM blocks carry kit::kBlockFlagPcm = 1).
inline constexpr uint32_t kBlockFlagLayer3 = 2;

// All counts are unsigned 32-bit; rates in Hz, bit rates in kbit/s, delays in ms.
struct LiveEncoderParams {
  uint32_t cbSize;            // sizeof(LiveEncoderParams), 44
  uint32_t nKind;             // kLiveEncoderKind
  uint32_t nInSampleRate;     // of the PCM blocks from the audio source
  uint32_t nInChannels;       // 1 or 2, 16-bit samples
  uint32_t cbInBlock;         // expected input block size; informative
  uint32_t nBitrateK;
  uint32_t nSampleRate;
  uint32_t nChannels;
  uint32_t cbOutBlock;        // every live block is exactly this long: a whole number of layer 3 blocks
  uint32_t dwReserved;        // 0
  uint32_t dwReserved2;       // all ones
};
static_assert(sizeof(LiveEncoderParams) == 44, "the live record is 44 bytes");

// The skim record ends in two native pointers, so with 64-bit pointers it is
// 72 bytes (64 where pointers are 32-bit). cbSize is sizeof(SkimEncoderParams).
struct SkimEncoderParams {
  uint32_t cbSize;            // sizeof(SkimEncoderParams)
  uint32_t nKind;             // kSkimEncoderKind
  uint32_t nInSampleRate;
  uint32_t nInChannels;
  uint32_t cbInBlock;
  uint32_t nOnBitrateK;       // 0: nothing is recorded while the skim input is on
  uint32_t nOnSampleRate;
  uint32_t nOnChannels;
  uint32_t nOffBitrateK;      // 0: nothing is recorded while the skim input is off
  uint32_t nOffSampleRate;
  uint32_t nOffChannels;
  uint32_t nPreDelayMs;       // output lags input by this much; an on stretch starts this early
  uint32_t nPostDelayMs;      // an on stretch lasts this much past the input's release
  uint32_t dwReserved;        // 0
  SkimSwitch* pSkimSwitch;    // may be null: always off, always record-enabled
  EventPoster* pEventLog;     // may be null: nothing is posted
};
static_assert(sizeof(SkimEncoderParams) == 14 * 4 + 2 * sizeof(void*), "no padding in the skim record");

// Skim block header, in front of the layer 3 data of every skim block.
//   byte 0  state: kSkimStateOff, 1-254 on, kSkimStateStopped
//   byte 1  channels
//   bytes 2-3 zero
//   bytes 4-5 bit rate in kbit/s, little-endian
//   bytes 6-7 sample rate in Hz, little-endian
//   bytes 8-11 zero
// A state change starts a new segment; a block with state 255 carries no audio
// and closes the segment. The layer 3 data after the header is whole blocks of
// the header's format.
inline constexpr uint32_t kSkimHeaderBytes = 12;

// Real time that Close gives each encoder to encode what is still queued.
// Together with the recording thread's own drain time they keep an archive's
// Close within seconds however far behind an overloaded machine is.
inline constexpr uint32_t kLiveCloseDrainMs = 250;
inline constexpr uint32_t kSkimCloseDrainMs = 2000;
inline constexpr uint8_t kSkimStateOff = 0;
inline constexpr uint8_t kSkimStateOn = 1;
inline constexpr uint8_t kSkimStateStopped = 255;

class ILiveEncoder {
 public:
  // Slots in this order; the order is part of the interface.
  virtual void Release() = 0;  // closes and deletes the encoder
  virtual bool Open() = 0;     // false when the format cannot be written
  // Encodes what is queued (for at most kLiveCloseDrainMs; the rest is
  // dropped) and ends every reader's stream.
  virtual void Close() = 0;
  virtual kit::AudioSink* GetInputSink() = 0;
  virtual bool AddReader(kit::AudioSink* reader, uint32_t dwMask) = 0;  // false if null or already added
  virtual bool RemoveReader(kit::AudioSink* reader) = 0;                // false if not added
  virtual const LiveEncoderParams* GetParams() = 0;

 protected:
  ~ILiveEncoder() = default;
};

class ISkimEncoder {
 public:
  // Slots in this order; the order is part of the interface.
  virtual void Release() = 0;
  virtual bool Open() = 0;
  // Encodes what is queued for at most kSkimCloseDrainMs (the rest is dropped
  // and posted), finishes the current stream; the readers get a state 255 block.
  virtual void Close() = 0;
  virtual void SetStorageFull(bool bFull) = 0;  // true: stop recording (state 255) until false
  virtual kit::AudioSink* GetInputSink() = 0;
  virtual bool AddReader(kit::AudioSink* reader, uint32_t dwMask) = 0;
  virtual bool RemoveReader(kit::AudioSink* reader) = 0;
  virtual const SkimEncoderParams* GetParams() = 0;
  // Audio dropped since Open, in ms of input: what arrived while the encoder
  // was too far behind, and what was still queued when Close's drain time ran
  // out. Each drop is also posted with its length.
  virtual uint64_t GetDroppedMs() = 0;

 protected:
  ~ISkimEncoder() = default;
};

// The library's file name and entry point. The result is an ILiveEncoder* for a
// live record and an ISkimEncoder* for a skim record, or null.
inline constexpr char kEncoderLibrary[] = "audenc.so";
inline constexpr char kEncoderEntry[] = "_6A7B31";
using EncoderEntryFn = void* (*)(const void* pParams);

}  // namespace logrum::audenc
