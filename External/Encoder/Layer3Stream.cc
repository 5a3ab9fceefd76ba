#include "External/Encoder/Layer3Stream.h"

#include <lame/lame.h>

#include <algorithm>
#include <cstring>

namespace logrum::audenc {
namespace {

using platform::Status;

// Samples that an MPEG layer 3 decoder's synthesis adds in front of the audio.
constexpr uint32_t kDecoderDelay = 529;

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

}  // namespace

Status Layer3Stream::Create(uint32_t input_rate, uint32_t input_channels,
                            const kit::AudioFormat& format, std::unique_ptr<Layer3Stream>* stream) {
  stream->reset();
  if (input_channels != 1 && input_channels != 2) {
    return Status::Error(Status::kInvalidArgument, "input channels must be 1 or 2");
  }
  if (input_rate < 8000 || input_rate > 192000) {
    return Status::Error(Status::kInvalidArgument, "input sample rate out of range");
  }
  std::unique_ptr<Layer3Stream> made(new Layer3Stream(input_rate, input_channels, format));
  if (Status ready = made->Init(); !ready.ok()) return ready;
  *stream = std::move(made);
  return Status::Ok();
}

Layer3Stream::Layer3Stream(uint32_t input_rate, uint32_t input_channels, const kit::AudioFormat& format)
    : input_rate_(input_rate), input_channels_(input_channels), format_(format) {}

Layer3Stream::~Layer3Stream() {
  if (lame_) lame_close(lame_);
}

Status Layer3Stream::Init() {
  std::string why;
  pattern_ = kit::FramePattern(format_, &why);
  if (pattern_.empty()) {
    return Status::Error(Status::kInvalidArgument, Describe(format_) + ": " + why);
  }
  lame_rate_ = *std::min_element(pattern_.begin(), pattern_.end());
  lame_frame_bytes_ = kit::StandardFrameBytes(lame_rate_, format_.samplerate);
  block_bytes_ = BlockSize(format_);
  frame_samples_ = SamplesPerFrame(format_);

  lame_ = lame_init();
  if (!lame_) return Status::Error(Status::kIoError, "LAME could not be initialised");
  const bool spread = input_channels_ == 1 && format_.channels == 2;
  lame_set_in_samplerate(lame_, static_cast<int>(input_rate_));
  lame_set_num_channels(lame_, spread ? 2 : static_cast<int>(input_channels_));
  lame_set_out_samplerate(lame_, format_.samplerate);
  lame_set_mode(lame_, format_.channels == 1 ? MONO : JOINT_STEREO);
  // Every frame at one standard rate with no padding: VBR held to one rate.
  lame_set_VBR(lame_, vbr_mtrh);
  // Quality 2 wants more than the frame at the usual rates, so frames are
  // filled; 0 and 1 gain little for half as much CPU again.
  lame_set_VBR_quality(lame_, 2);
  lame_set_VBR_min_bitrate_kbps(lame_, static_cast<int>(lame_rate_));
  lame_set_VBR_max_bitrate_kbps(lame_, static_cast<int>(lame_rate_));
  lame_set_VBR_hard_min(lame_, 1);
  lame_set_disable_reservoir(lame_, 1);
  lame_set_bWriteVbrTag(lame_, 0);
  lame_set_error_protection(lame_, 0);
  if (lame_init_params(lame_) < 0) {
    return Status::Error(Status::kInvalidArgument, "LAME refused " + Describe(format_));
  }
  if (static_cast<uint32_t>(lame_get_framesize(lame_)) != frame_samples_ ||
      static_cast<uint32_t>(lame_get_out_samplerate(lame_)) != format_.samplerate) {
    return Status::Error(Status::kInvalidArgument,
                         "LAME chose another frame layout for " + Describe(format_));
  }
  // Drop the whole frames that hold only delay; prime with the input that the
  // rest of the last dropped frame stands for.
  const uint32_t delay = static_cast<uint32_t>(lame_get_encoder_delay(lame_)) + kDecoderDelay;
  drop_frames_ = static_cast<uint32_t>(CeilDiv(delay, frame_samples_));
  const uint64_t prime_out = uint64_t{drop_frames_} * frame_samples_ - delay;
  priming_frames_ = static_cast<uint32_t>((prime_out * input_rate_ + format_.samplerate / 2) /
                                          format_.samplerate);
  return Status::Ok();
}

Status Layer3Stream::Prime(const int16_t* pcm) {
  if (primed_ || finished_) return Status::Error(Status::kInvalidArgument, "stream already primed");
  primed_ = true;
  if (priming_frames_ == 0) return Status::Ok();
  std::vector<int16_t> silence;
  if (!pcm) {
    silence.assign(size_t{priming_frames_} * input_channels_, 0);
    pcm = silence.data();
  }
  return Feed(pcm, priming_frames_);
}

Status Layer3Stream::Feed(const int16_t* pcm, size_t frames) {
  // LAME wants at most a few thousand frames per call for a bounded buffer.
  constexpr size_t kChunk = 4096;
  while (frames > 0) {
    const size_t n = std::min(frames, kChunk);
    const size_t capacity = n * 5 / 4 + 7200;
    const size_t used = pending_.size();
    pending_.resize(used + capacity);
    int written;
    if (input_channels_ == 1 && format_.channels == 2) {
      stereo_.resize(n * 2);
      for (size_t i = 0; i < n; ++i) stereo_[2 * i] = stereo_[2 * i + 1] = pcm[i];
      written = lame_encode_buffer_interleaved(lame_, stereo_.data(), static_cast<int>(n),
                                               pending_.data() + used, static_cast<int>(capacity));
    } else if (input_channels_ == 1) {
      written = lame_encode_buffer(lame_, pcm, nullptr, static_cast<int>(n), pending_.data() + used,
                                   static_cast<int>(capacity));
    } else {
      written = lame_encode_buffer_interleaved(lame_, const_cast<int16_t*>(pcm), static_cast<int>(n),
                                               pending_.data() + used, static_cast<int>(capacity));
    }
    if (written < 0) {
      pending_.resize(used);
      return Status::Error(Status::kIoError,
                           "LAME encoding failed (" + std::to_string(written) + ")");
    }
    pending_.resize(used + static_cast<size_t>(written));
    pcm += n * input_channels_;
    frames -= n;
  }
  return Status::Ok();
}

Status Layer3Stream::Encode(const int16_t* pcm, size_t frames, std::vector<uint8_t>* out) {
  if (finished_) return Status::Error(Status::kInvalidArgument, "stream already finished");
  if (!primed_) {
    if (Status primed = Prime(nullptr); !primed.ok()) return primed;
  }
  if (Status fed = Feed(pcm, frames); !fed.ok()) return fed;
  fed_ += frames;
  return Drain(out, UINT64_MAX);
}

Status Layer3Stream::Drain(std::vector<uint8_t>* out, uint64_t limit) {
  const uint32_t want_index = kit::BitrateIndex(lame_rate_, format_.samplerate);
  const bool mpeg1 = kit::IsMpeg1Rate(format_.samplerate);
  const uint32_t per_block = frames_per_block();
  size_t pos = 0;
  while (pending_.size() - pos >= lame_frame_bytes_) {
    const uint64_t kept = frames_seen_ >= drop_frames_ ? frames_seen_ - drop_frames_ : 0;
    if (frames_seen_ >= drop_frames_ && kept >= limit) break;
    const uint8_t* h = pending_.data() + pos;
    const bool sync = h[0] == 0xFF && (h[1] & 0xE0) == 0xE0;
    const bool layer3_no_crc = ((h[1] >> 1) & 3) == 1 && (h[1] & 1) == 1;
    const bool rate_ok = (h[2] >> 4) == want_index;
    const bool unpadded = ((h[2] >> 1) & 1) == 0;
    const uint32_t main_data_begin = mpeg1 ? (uint32_t{h[4]} << 1) | (h[5] >> 7) : h[4];
    if (!sync || !layer3_no_crc || !rate_ok || !unpadded || main_data_begin != 0) {
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
      return Status::Error(Status::kCorrupt, "LAME wrote a frame of an unexpected shape");
    }
    if (frames_seen_++ >= drop_frames_) {
      const uint32_t target = pattern_[kept % per_block];
      const size_t start = block_.size();
      block_.insert(block_.end(), h, h + lame_frame_bytes_);
      if (target != lame_rate_) {
        block_[start + 2] = static_cast<uint8_t>(
            (block_[start + 2] & 0x0F) | (kit::BitrateIndex(target, format_.samplerate) << 4));
        block_.resize(start + kit::StandardFrameBytes(target, format_.samplerate), 0);
      }
      if ((kept + 1) % per_block == 0) {
        out->insert(out->end(), block_.begin(), block_.end());
        block_.clear();
        ++blocks_out_;
      }
    }
    pos += lame_frame_bytes_;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
  return Status::Ok();
}

uint64_t Layer3Stream::BlockEndFrame(uint64_t block) const {
  // A block is frames_per_block × frame_samples output samples; in input frames
  // that is a rational length, rounded up at each boundary.
  const uint64_t num = uint64_t{frames_per_block()} * frame_samples_ * input_rate_;
  return CeilDiv(block * num, format_.samplerate);
}

uint64_t Layer3Stream::BlocksToCover(uint64_t frames) const {
  // The fewest blocks whose (rounded up) end is at or after `frames`.
  if (frames == 0) return 0;
  const uint64_t num = uint64_t{frames_per_block()} * frame_samples_ * input_rate_;
  return (frames - 1) * format_.samplerate / num + 1;
}

uint64_t Layer3Stream::FramesToBlockEnd() const { return BlockEndFrame(BlocksToCover(fed_)) - fed_; }

Status Layer3Stream::Finish(std::vector<uint8_t>* out) {
  if (finished_) return Status::Ok();
  if (!primed_) {
    if (Status primed = Prime(nullptr); !primed.ok()) return primed;
  }
  finished_ = true;
  const uint64_t blocks = BlocksToCover(fed_);
  const uint64_t want = blocks * frames_per_block();
  // Zeros to the block end, then a block and the delay more, so that LAME has
  // written every frame wanted before its own flush pads the rest.
  const uint64_t zeros = BlockEndFrame(blocks) - fed_ + BlockEndFrame(1) +
                         CeilDiv(uint64_t{drop_frames_ + 1} * frame_samples_ * input_rate_,
                                 format_.samplerate);
  std::vector<int16_t> silence(4096 * input_channels_, 0);
  for (uint64_t left = zeros; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, 4096));
    if (Status fed = Feed(silence.data(), n); !fed.ok()) return fed;
    left -= n;
  }
  const size_t used = pending_.size();
  pending_.resize(used + 16384);
  const int written = lame_encode_flush(lame_, pending_.data() + used, 16384);
  pending_.resize(used + static_cast<size_t>(std::max(written, 0)));
  if (written < 0) return Status::Error(Status::kIoError, "LAME flush failed");
  if (Status drained = Drain(out, want); !drained.ok()) return drained;
  if (blocks_out_ != blocks) return Status::Error(Status::kIoError, "LAME ended the stream early");
  pending_.clear();
  return Status::Ok();
}

}  // namespace logrum::audenc
