// One continuous layer 3 stream of one format, on LAME.
//
// LAME runs in VBR mode with its lowest and highest rate both at the format's
// rate (for the odd rates: the lowest rate of the block's frames) and the bit
// reservoir off. Unlike LAME's CBR mode, which pads one frame in a few at
// 44.1, 22.05 and 11.025 kHz whatever flags are set, this gives standard
// frames of one size, padding bit 0, main_data_begin 0. Each frame is checked
// as it comes out; a frame of any other shape is an error, never passed on.
// For the odd rates the larger frames of a block get their header's bit-rate
// index raised and zero bytes (ancillary data) appended.
//
// Timing. LAME's output starts with its encoder delay, the decoder adds 529
// samples more. The stream hides both: it is first primed with the few input
// frames just before its start (priming_frames(); the caller has them in its
// history, or passes silence), and the whole frames that hold only the delay
// are dropped. So sample n of the decoded stream is input frame n given to
// Encode, and a stream that follows another one decodes to a seamless
// continuation (except for the decoder's start-up inside the first frame,
// which any decoder that starts mid-stream has too).
//
// Ending. Finish() ends the stream at the first block boundary at or after the
// input fed so far; the audio past that boundary is taken from zeros. A caller
// that wants no silence in the stream feeds FramesToBlockEnd() more frames
// first.
//
// Thread safety: none; one thread uses a stream at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Lib/Kit/Layer3Format.h"
#include "Lib/Platform/Status.h"

struct lame_global_struct;

namespace logrum::audenc {

class Layer3Stream {
 public:
  // Input: interleaved 16-bit PCM, 1 or 2 channels. Fails (and *stream is
  // null) when the format cannot be written or LAME refuses the settings.
  static platform::Status Create(uint32_t input_rate, uint32_t input_channels,
                                 const kit::AudioFormat& format,
                                 std::unique_ptr<Layer3Stream>* stream);
  ~Layer3Stream();
  Layer3Stream(const Layer3Stream&) = delete;
  Layer3Stream& operator=(const Layer3Stream&) = delete;

  const kit::AudioFormat& format() const { return format_; }
  uint32_t block_bytes() const { return block_bytes_; }
  uint32_t frames_per_block() const { return static_cast<uint32_t>(pattern_.size()); }
  uint32_t input_channels() const { return input_channels_; }

  // Input frames to pass to Prime() before the first Encode().
  uint32_t priming_frames() const { return priming_frames_; }
  // The priming_frames() input frames just before the start, or null for silence.
  platform::Status Prime(const int16_t* pcm);

  // Feeds input frames; appends every layer 3 block completed by them to *out.
  platform::Status Encode(const int16_t* pcm, size_t frames, std::vector<uint8_t>* out);

  // Input frames still to feed to reach the end of the current block; 0 at a boundary.
  uint64_t FramesToBlockEnd() const;

  // Ends the stream at the first block boundary at or after the input fed so
  // far and appends the remaining blocks. The stream takes no more input.
  platform::Status Finish(std::vector<uint8_t>* out);

  uint64_t input_frames() const { return fed_; }
  uint64_t blocks_out() const { return blocks_out_; }
  // The input frame (counted from the first frame given to Encode) with which
  // block `block` of the output begins: decoded sample 0 of the block is that
  // frame, rounded up to a whole input frame when the stream resamples.
  uint64_t BlockStartFrame(uint64_t block) const { return BlockEndFrame(block); }

 private:
  Layer3Stream(uint32_t input_rate, uint32_t input_channels, const kit::AudioFormat& format);
  platform::Status Init();
  platform::Status Feed(const int16_t* pcm, size_t frames);
  // Takes the whole frames out of pending_, up to `limit` kept frames.
  platform::Status Drain(std::vector<uint8_t>* out, uint64_t limit);
  uint64_t BlockEndFrame(uint64_t block) const;  // input frame where `block` ends
  uint64_t BlocksToCover(uint64_t frames) const;

  const uint32_t input_rate_;
  const uint32_t input_channels_;
  const kit::AudioFormat format_;
  std::vector<uint32_t> pattern_;
  uint32_t block_bytes_ = 0;
  uint32_t lame_rate_ = 0;         // the rate LAME writes every frame at
  uint32_t lame_frame_bytes_ = 0;
  uint32_t frame_samples_ = 0;
  uint32_t drop_frames_ = 0;       // leading frames that hold only the delay
  uint32_t priming_frames_ = 0;
  lame_global_struct* lame_ = nullptr;

  std::vector<uint8_t> pending_;   // LAME output not yet split into frames
  std::vector<uint8_t> block_;     // frames of the block being built
  std::vector<uint8_t> lame_out_;  // scratch for LAME
  std::vector<int16_t> stereo_;    // scratch: mono input spread to two channels
  uint64_t frames_seen_ = 0;       // frames taken out of LAME's output, dropped ones included
  uint64_t fed_ = 0;               // input frames after the priming
  uint64_t blocks_out_ = 0;
  bool primed_ = false;
  bool finished_ = false;
};

}  // namespace logrum::audenc
