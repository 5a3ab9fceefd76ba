// The audio format of a segment and the layer 3 block arithmetic.
//
// Segments hold MPEG audio layer 3 frames with padding off, so every frame of a
// format has the same size and byte offsets convert to and from milliseconds by
// whole blocks. A block is one frame, except for the four rates that no standard
// frame has: 12 and 20 kbit/s are made of 2 frames of alternating standard rates
// (8+16, 24+16), 14 and 18 kbit/s of 4 (3x16+8, 3x16+24).
//
// Every function gives 0 for an invalid triple. Thread safety: pure functions.
#pragma once

#include <cstdint>

namespace logrum::archive {

struct AudioFormat {
  uint16_t bitrate = 0;     // kbit/s
  uint16_t samplerate = 0;  // Hz
  uint8_t channels = 0;

  bool operator==(const AudioFormat&) const = default;
};

// Bit rates: positive multiples of 8, and 12, 14, 18, 20; sample rates: 8000,
// 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000; channels 1 or 2.
bool IsValidFormat(const AudioFormat& format);

uint32_t SamplesPerFrame(const AudioFormat& format);  // 1152 from 32 kHz up, else 576
uint32_t FramesPerBlock(const AudioFormat& format);
uint32_t BlockSize(const AudioFormat& format);       // bytes
double FrameDurationMs(const AudioFormat& format);
double BlockDurationMs(const AudioFormat& format);
uint32_t SamplesPerBlock(const AudioFormat& format);  // channels x frames x samples per frame
// Milliseconds of the whole blocks in `bytes`, truncated.
uint32_t DurationMsOfBytes(const AudioFormat& format, uint64_t bytes);
// Whole blocks that start before `ms` (truncated), and blocks needed to cover
// `ms` (rounded up); computed exactly, not in floating point.
uint64_t BlocksBefore(const AudioFormat& format, uint64_t ms);
uint64_t BlocksCovering(const AudioFormat& format, uint64_t ms);

}  // namespace logrum::archive
