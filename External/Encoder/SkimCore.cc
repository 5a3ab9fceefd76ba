#include "External/Encoder/SkimCore.h"

#include <algorithm>

namespace logrum::audenc {

platform::Status SkimCore::Create(const SkimConfig& config, Sink* sink,
                                  std::unique_ptr<SkimCore>* core) {
  core->reset();
  std::unique_ptr<SkimCore> made(new SkimCore(config, sink));
  // Trial streams check the formats and tell how much history priming needs.
  for (const kit::AudioFormat* format : {&config.on, &config.off}) {
    if (format->bitrate == 0) continue;
    std::unique_ptr<Layer3Stream> stream;
    platform::Status trial =
        Layer3Stream::Create(config.input_rate, config.input_channels, *format, &stream);
    if (!trial.ok()) return trial;
    made->history_frames_ = std::max(made->history_frames_, stream->priming_frames());
  }
  *core = std::move(made);
  return platform::Status::Ok();
}

SkimCore::SkimCore(const SkimConfig& config, Sink* sink)
    : config_(config),
      sink_(sink),
      channels_(config.input_channels),
      pre_frames_(uint64_t{config.pre_delay_ms} * config.input_rate / 1000),
      post_frames_(uint64_t{config.post_delay_ms} * config.input_rate / 1000) {}

const kit::AudioFormat& SkimCore::FormatOf(int state) const {
  static const kit::AudioFormat kNoFormat{};
  if (state == kSkimStateOn) return config_.on;
  if (state == kSkimStateOff) return config_.off;
  return kNoFormat;
}

uint8_t SkimCore::StateAt(uint64_t p, std::string* why) const {
  const Piece* at = nullptr;
  for (auto it = pieces_.rbegin(); it != pieces_.rend(); ++it) {
    if (it->begin <= p && p < it->end) {
      at = &*it;
      break;
    }
  }
  if (!at) {
    *why = "no input";
    return kSkimStateStopped;
  }
  if (!at->sample.enabled) {
    *why = "schedule paused";
    return kSkimStateStopped;
  }
  if (at->sample.full) {
    *why = "storage full";
    return kSkimStateStopped;
  }
  bool on = false;
  for (const Piece& piece : pieces_) {
    if (piece.sample.on && piece.begin <= p + pre_frames_ && piece.end + post_frames_ > p) {
      on = true;
      break;
    }
  }
  if ((on ? config_.on : config_.off).bitrate == 0) {
    *why = on ? "skim on, no bit rate for skim on" : "skim off, no bit rate for skim off";
    return kSkimStateStopped;
  }
  *why = on ? "skim on" : "skim off";
  return on ? kSkimStateOn : kSkimStateOff;
}

uint64_t SkimCore::NextChange(uint64_t p, uint64_t limit) const {
  std::vector<uint64_t> candidates;
  auto consider = [&](uint64_t c) {
    if (c > p && c < limit) candidates.push_back(c);
  };
  for (const Piece& piece : pieces_) {
    consider(piece.begin);
    consider(piece.end);
    if (piece.sample.on) {
      if (piece.begin >= pre_frames_) consider(piece.begin - pre_frames_);
      consider(piece.end + post_frames_);
    }
  }
  std::sort(candidates.begin(), candidates.end());
  std::string why;
  const uint8_t state = StateAt(p, &why);
  for (uint64_t c : candidates) {
    if (StateAt(c, &why) != state) return c;
  }
  return limit;
}

int64_t SkimCore::WallAt(uint64_t p) const {
  if (pieces_.empty()) return 0;
  const Piece* at = &pieces_.back();
  for (const Piece& piece : pieces_) {
    if (p < piece.end) {
      at = &piece;
      break;
    }
  }
  // Past the last piece (or before the first one kept) the piece's own time
  // runs on: positions there have no capture of their own.
  const int64_t offset = static_cast<int64_t>(p) - static_cast<int64_t>(at->begin);
  return at->begin_us + offset * 1000000 / static_cast<int64_t>(config_.input_rate);
}

const int16_t* SkimCore::PcmAt(uint64_t p) const {
  return pcm_.data() + (p - pcm_begin_) * channels_;
}

void SkimCore::Input(const int16_t* pcm, size_t frames, const SwitchSample& sample,
                     int64_t capture_us) {
  if (frames == 0) return;
  pcm_.insert(pcm_.end(), pcm, pcm + frames * channels_);
  pieces_.push_back({now_, now_ + frames, sample, capture_us});
  now_ += frames;
  const uint64_t limit = now_ > pre_frames_ ? now_ - pre_frames_ : 0;
  if (limit > released_) Release(limit);
  // Pieces still needed: those that can make a held-back position on, and those
  // that give the times of blocks still inside the encoder, which lag the
  // released input by its delay (far less than a second).
  const uint64_t lag = config_.input_rate;
  while (pieces_.size() > 1 && pieces_.front().end + std::max(post_frames_, lag) + 1 < released_)
    pieces_.pop_front();
  Trim();
}

void SkimCore::Trim() {
  const uint64_t keep_from = released_ > history_frames_ ? released_ - history_frames_ : 0;
  if (keep_from > pcm_begin_ + config_.input_rate) {
    pcm_.erase(pcm_.begin(), pcm_.begin() + static_cast<std::ptrdiff_t>((keep_from - pcm_begin_) * channels_));
    pcm_begin_ = keep_from;
  }
}

void SkimCore::Release(uint64_t limit) {
  std::string why;
  while (released_ < limit) {
    if (closing_) {
      const uint64_t n = std::min(stream_->FramesToBlockEnd(), limit - released_);
      if (n > 0 && !Feed(released_, n)) return;
      released_ += n;
      if (stream_->FramesToBlockEnd() > 0) continue;
      closing_ = false;
      const uint8_t next = StateAt(released_, &why);
      if (next == state_) continue;  // the change was undone meanwhile: keep the stream
      FinishStream();
      Begin(next, released_, why);
      continue;
    }
    const uint8_t state = StateAt(released_, &why);
    if (state_ == kNone || state != state_) {
      if (stream_ && stream_->FramesToBlockEnd() > 0) {
        closing_ = true;
        continue;
      }
      if (stream_) FinishStream();
      Begin(state, released_, why);
    }
    const uint64_t end = NextChange(released_, limit);
    if (stream_ && !Feed(released_, end - released_)) return;
    released_ = end;
  }
}

void SkimCore::Begin(uint8_t state, uint64_t p, const std::string& why) {
  state_ = state;
  stream_.reset();
  stream_begin_ = p;
  sink_->StateChanged(state, FormatOf(state), p, WallAt(p), why);
  if (state == kSkimStateStopped) return;
  if (platform::Status made =
          Layer3Stream::Create(config_.input_rate, channels_, FormatOf(state), &stream_);
      !made.ok()) {
    return Fail(made.message());
  }
  // Prime with the audio just before p; silence where there is none.
  const uint64_t prime = stream_->priming_frames();
  std::vector<int16_t> buffer(prime * channels_, 0);
  const uint64_t from = p > prime ? p - prime : 0;
  const uint64_t have_from = std::max(from, pcm_begin_);
  if (have_from < p) {
    std::copy(PcmAt(have_from), PcmAt(p),
              buffer.begin() + static_cast<std::ptrdiff_t>((prime - (p - have_from)) * channels_));
  }
  if (platform::Status primed = stream_->Prime(buffer.data()); !primed.ok()) {
    Fail(primed.message());
  }
}

bool SkimCore::Feed(uint64_t p, uint64_t frames) {
  out_.clear();
  const uint64_t first_block = stream_->blocks_out();
  if (platform::Status encoded = stream_->Encode(PcmAt(p), frames, &out_); !encoded.ok()) {
    Fail(encoded.message());
    return false;
  }
  EmitAudio(first_block);
  return true;
}

void SkimCore::EmitAudio(uint64_t first_block) {
  const uint32_t block_bytes = stream_->block_bytes();
  if (out_.empty() || block_bytes == 0) return;
  const size_t per_call =
      config_.max_audio_bytes == 0
          ? out_.size()
          : std::max<size_t>(config_.max_audio_bytes / block_bytes, 1) * block_bytes;
  std::span<const uint8_t> rest(out_);
  for (uint64_t block = first_block; !rest.empty();) {
    const size_t n = std::min(per_call, rest.size());
    const int64_t time_us = WallAt(stream_begin_ + stream_->BlockStartFrame(block));
    sink_->Audio(static_cast<uint8_t>(state_), stream_->format(), rest.first(n), time_us);
    rest = rest.subspan(n);
    block += n / block_bytes;
  }
}

void SkimCore::FinishStream() {
  closing_ = false;
  if (!stream_) return;
  out_.clear();
  const uint64_t first_block = stream_->blocks_out();
  const platform::Status finished = stream_->Finish(&out_);
  EmitAudio(first_block);
  stream_.reset();
  if (!finished.ok()) Fail(finished.message());
}

void SkimCore::Fail(const std::string& what) {
  sink_->Message(1, "ERROR: Skim encoder: " + what + "\n");
  stream_.reset();
  closing_ = false;
  if (state_ != kSkimStateStopped && state_ != kNone)
    sink_->StateChanged(kSkimStateStopped, FormatOf(kSkimStateStopped), released_, WallAt(released_),
                        "encoder error");
  state_ = kNone;  // the next input starts a new stream
}

void SkimCore::End(const std::string& why, int64_t wall_us) {
  // The recording stops where its input stopped, whenever the end is noticed.
  if (!pieces_.empty()) wall_us = WallAt(now_);
  if (now_ > released_) Release(now_);
  FinishStream();
  if (state_ != kSkimStateStopped && state_ != kNone) {
    state_ = kSkimStateStopped;
    sink_->StateChanged(kSkimStateStopped, FormatOf(kSkimStateStopped), now_, wall_us, why);
  }
  state_ = kNone;
  pieces_.clear();
  pcm_.clear();
  pcm_begin_ = released_ = now_;
}

void SkimCore::Gap(uint64_t frames, int64_t wall_us) {
  sink_->Message(1, "WARNING: Skim encoder could not keep up: " +
                        std::to_string(frames * 1000 / config_.input_rate) +
                        " ms of audio dropped\n");
  End("audio dropped", wall_us);
  now_ += frames;
  pcm_begin_ = released_ = now_;
}

}  // namespace logrum::audenc
