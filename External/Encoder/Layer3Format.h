// MPEG audio layer 3 formats as this encoder writes them.
//
// Every frame is a standard layer 3 frame: a bit-rate index of the standard
// table, padding bit 0, no CRC, main_data_begin 0 (no bit reservoir). So the
// size of every frame follows from its header alone, a byte offset converts to
// a time without reading the stream, and a decoder can start at any block.
//
// A "block" is the smallest run of frames with a whole byte size and the
// format's nominal bit rate: one frame for the standard rates; for the odd
// rates 12, 14, 18 and 20 kbit/s (below 32000 Hz only) a fixed run of standard
// frames of alternating rates:
//   12 = 16 + 8        14 = 16 + 16 + 16 + 8
//   18 = 24 + 16 + 16 + 16                  20 = 24 + 16
// Thread safety: plain values and pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace logrum::audenc {

struct Layer3Format {
  uint16_t bitrate_kbps = 0;
  uint16_t sample_rate = 0;
  uint8_t channels = 0;

  bool operator==(const Layer3Format&) const = default;
};

// Sample rates of MPEG-1 (1152 samples a frame) are 32000 Hz and above; the
// lower ones are MPEG-2 and MPEG-2.5 (576 samples a frame).
bool IsMpeg1Rate(uint32_t sample_rate);
bool IsLayer3SampleRate(uint32_t sample_rate);

// Bytes of one unpadded standard frame: 144000·kbps/rate (MPEG-1),
// 72000·kbps/rate below. 0 for an invalid pair.
uint32_t StandardFrameBytes(uint32_t bitrate_kbps, uint32_t sample_rate);

// The 4-bit header index of a standard bit rate at this sample rate; 0 when
// the rate is not in that version's table.
uint32_t BitrateIndex(uint32_t bitrate_kbps, uint32_t sample_rate);

// The standard frame rates a block is made of, in stream order; empty when
// this encoder cannot write the format. Fills *why then.
std::vector<uint32_t> FramePattern(const Layer3Format& format, std::string* why = nullptr);

uint32_t FrameSamples(const Layer3Format& format);  // per channel
uint32_t FramesPerBlock(const Layer3Format& format);
uint32_t BlockBytes(const Layer3Format& format);     // 0 when not writable

// "128 kbit/s 44100 Hz stereo", for messages.
std::string Describe(const Layer3Format& format);

}  // namespace logrum::audenc
