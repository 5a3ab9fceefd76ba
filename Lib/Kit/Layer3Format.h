// The audio format of layer 3 blocks and their arithmetic: one definition for
// the encoder that writes the blocks and for the segment files, the seeking
// and the index that read them, so a block size can never differ between them.
//
// Blocks hold MPEG audio layer 3 frames with padding off, so every frame of a
// format has the same size and byte offsets convert to and from milliseconds by
// whole blocks. A block is one frame, except for the four rates that no standard
// frame has: a block of those is a fixed run of standard frames of alternating
// rates, so that it has a whole byte size and the nominal bit rate:
//   12 = 16 + 8        14 = 16 + 16 + 16 + 8
//   18 = 24 + 16 + 16 + 16                  20 = 24 + 16
//
// Two sets of formats: a valid format is one a segment may carry (any positive
// multiple of 8 kbit/s, and 12, 14, 18, 20) and all the arithmetic below answers
// 0 for an invalid one; a writable format is one made of standard frames of the
// version's bit-rate table (FramePattern not empty), which is what the encoder
// produces. For a writable format the block size is the sum of its frames.
//
// Thread safety: plain values and pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace logrum::kit {

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

// Sample rates of MPEG-1 (1152 samples a frame) are 32000 Hz and above; the
// lower ones are MPEG-2 and MPEG-2.5 (576 samples a frame).
bool IsMpeg1Rate(uint32_t samplerate);

// Bytes of one unpadded standard frame: 144000·kbps/rate (MPEG-1),
// 72000·kbps/rate below. 0 for a sample rate that layer 3 does not have.
uint32_t StandardFrameBytes(uint32_t bitrate, uint32_t samplerate);

// The 4-bit header index of a standard bit rate at this sample rate; 0 when
// the rate is not in that version's table.
uint32_t BitrateIndex(uint32_t bitrate, uint32_t samplerate);
// The other way: the bit rate of a header index at this sample rate; 0 for
// free format (index 0), the forbidden index 15 or a rate layer 3 does not have.
uint32_t BitrateOfIndex(uint32_t index, uint32_t samplerate);

// The standard frame rates a block is made of, in stream order; empty when the
// format is not writable. Fills *why then.
std::vector<uint32_t> FramePattern(const AudioFormat& format, std::string* why = nullptr);

// One layer 3 frame header (4 bytes), as a reader of a stream finds it.
struct FrameHeader {
  uint32_t bitrate = 0;     // kbit/s
  uint32_t samplerate = 0;  // Hz
  uint8_t channels = 0;
  uint32_t frame_bytes = 0;  // whole frame, header included
};
// false for anything that is not a layer 3 frame of a standard bit rate
// (free format, reserved values, no sync).
bool ParseFrameHeader(const uint8_t* bytes, size_t length, FrameHeader* header);

// "128 kbit/s 44100 Hz stereo", for messages.
std::string Describe(const AudioFormat& format);

}  // namespace logrum::kit
