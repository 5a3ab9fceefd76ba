#include "External/Encoder/SkimEncoder.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "Lib/Platform/Clock.h"

namespace logrum::audenc {
namespace {

constexpr uint32_t kSampleOn = 1, kSampleEnabled = 2, kSampleFull = 4;
constexpr uint32_t kMaxOutputCapacity = 16384;
constexpr uint32_t kQueueSeconds = 10;

kit::AudioFormat OnFormat(const SkimEncoderParams& p) {
  return {static_cast<uint16_t>(p.nOnBitrateK), static_cast<uint16_t>(p.nOnSampleRate),
          static_cast<uint8_t>(p.nOnChannels)};
}

kit::AudioFormat OffFormat(const SkimEncoderParams& p) {
  return {static_cast<uint16_t>(p.nOffBitrateK), static_cast<uint16_t>(p.nOffSampleRate),
          static_cast<uint8_t>(p.nOffChannels)};
}

// Output blocks sized for what one captured block encodes to (the larger of
// the two formats, plus a layer 3 block of slack), not for the most any call
// could give: the recording thread's backlog may hold thousands of them, and
// a fixed 16 KiB block for 800 bytes of 32 kbit/s audio wasted nine tenths.
// Larger output is split over several blocks (Audio).
uint32_t OutputCapacity(const SkimEncoderParams& p) {
  const uint32_t frame_bytes = (p.nInChannels == 1 ? 1 : 2) * 2;
  const double piece_s = p.nInSampleRate > 0 && p.cbInBlock > 0
                             ? static_cast<double>(p.cbInBlock / frame_bytes) / p.nInSampleRate
                             : 0.25;
  uint32_t capacity = 0;
  for (const kit::AudioFormat& format : {OnFormat(p), OffFormat(p)}) {
    const uint32_t block = BlockSize(format);
    if (block == 0) continue;
    const double bytes = piece_s * format.bitrate * 125.0;
    const uint32_t blocks = static_cast<uint32_t>(bytes / block) + 2;
    capacity = std::max(capacity, kSkimHeaderBytes + blocks * block);
  }
  return std::clamp<uint32_t>(capacity, 1024, kMaxOutputCapacity);
}

std::string TimeText(int64_t wall_us) {
  const platform::LocalTime t = platform::ToLocalTime(wall_us);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

}  // namespace

SkimEncoder::SkimEncoder(const SkimEncoderParams& params)
    : params_(params),
      readers_(OutputCapacity(params)),
      worker_(this, "SkimEncoder", params.nInChannels == 1 ? 1 : 2,
              uint64_t{params.nInSampleRate} * kQueueSeconds) {}

SkimEncoder::~SkimEncoder() { Close(); }

void SkimEncoder::Release() { delete this; }

bool SkimEncoder::Open() {
  try {
    kit::MutexLock lock(open_mu_);
    if (open_) return false;
    SkimConfig config;
    config.input_rate = params_.nInSampleRate;
    config.input_channels = params_.nInChannels;
    config.on = OnFormat(params_);
    config.off = OffFormat(params_);
    config.pre_delay_ms = params_.nPreDelayMs;
    config.post_delay_ms = params_.nPostDelayMs;
    config.max_audio_bytes = readers_.block_capacity() - kSkimHeaderBytes;
    std::string error;
    if (params_.nInChannels != 1 && params_.nInChannels != 2)
      error = "input channels must be 1 or 2";
    else if (params_.nInSampleRate < 8000 || params_.nInSampleRate > 192000)
      error = "input sample rate out of range";
    else if (config.on.bitrate != 0 && config.on.bitrate != params_.nOnBitrateK)
      error = "skim on bit rate out of range";
    else if (config.off.bitrate != 0 && config.off.bitrate != params_.nOffBitrateK)
      error = "skim off bit rate out of range";
    else if (platform::Status made = SkimCore::Create(config, this, &core_); !made.ok())
      error = made.message();
    if (!core_) {
      Message(1, "ERROR: Skim encoder: " + error + "\n");
      return false;
    }
    open_ = worker_.Start();
    return open_;
  } catch (...) {
    return false;
  }
}

void SkimEncoder::Close() {
  try {
    kit::MutexLock lock(open_mu_);
    if (!open_) return;
    worker_.Stop(kSkimCloseDrainMs);  // records what is held back and sends state 255
    core_.reset();
    open_ = false;
  } catch (...) {
  }
}

void SkimEncoder::SetStorageFull(bool bFull) { storage_full_.store(bFull, std::memory_order_relaxed); }

kit::AudioSink* SkimEncoder::GetInputSink() { return &worker_; }

bool SkimEncoder::AddReader(kit::AudioSink* reader, uint32_t dwMask) {
  return readers_.Add(reader, dwMask);
}

bool SkimEncoder::RemoveReader(kit::AudioSink* reader) { return readers_.Remove(reader); }

const SkimEncoderParams* SkimEncoder::GetParams() { return &params_; }

uint64_t SkimEncoder::GetDroppedMs() {
  const uint64_t rate = params_.nInSampleRate > 0 ? params_.nInSampleRate : 1;
  return worker_.dropped_frames() * 1000 / rate;
}

uint32_t SkimEncoder::Sample() {
  uint32_t sample = 0;
  if (!params_.pSkimSwitch) {
    sample |= kSampleEnabled;
  } else {
    if (params_.pSkimSwitch->IsOn()) sample |= kSampleOn;
    if (params_.pSkimSwitch->IsRecordEnabled()) sample |= kSampleEnabled;
  }
  if (storage_full_.load(std::memory_order_relaxed)) sample |= kSampleFull;
  return sample;
}

void SkimEncoder::Process(const InputItem& item, const int16_t* pcm) {
  SwitchSample sample;
  sample.on = (item.sample & kSampleOn) != 0;
  sample.enabled = (item.sample & kSampleEnabled) != 0;
  sample.full = (item.sample & kSampleFull) != 0;
  // A block that nobody stamped was captured just before it arrived.
  const int64_t capture_us =
      item.capture_us != 0
          ? item.capture_us
          : item.wall_us - static_cast<int64_t>(item.frames) * 1000000 / params_.nInSampleRate;
  core_->Input(pcm, item.frames, sample, capture_us);
}

void SkimEncoder::Gap(uint64_t, uint64_t frames, int64_t wall_us) { core_->Gap(frames, wall_us); }

void SkimEncoder::EndOfInput(const char* why, int64_t wall_us) { core_->End(why, wall_us); }

void SkimEncoder::Audio(uint8_t state, const kit::AudioFormat& format, std::span<const uint8_t> data,
                        int64_t time_us) {
  uint8_t head[kSkimHeaderBytes] = {};
  head[0] = state;
  head[1] = format.channels;
  head[4] = static_cast<uint8_t>(format.bitrate);
  head[5] = static_cast<uint8_t>(format.bitrate >> 8);
  head[6] = static_cast<uint8_t>(format.samplerate);
  head[7] = static_cast<uint8_t>(format.samplerate >> 8);
  if (data.empty()) {
    // A state change without audio (state 255).
    if (!readers_.Send(head, {}, time_us))
      Message(1, "ERROR: Skim encoder: no memory for an output block\n");
    return;
  }
  // The core hands out at most one output block's worth (max_audio_bytes).
  if (!readers_.Send(head, data, time_us))
    Message(1, "ERROR: Skim encoder: no memory for an output block, audio lost\n");
}

void SkimEncoder::StateChanged(uint8_t state, const kit::AudioFormat& format, uint64_t position,
                               int64_t wall_us, const std::string& why) {
  char text[256];
  if (state == kSkimStateStopped) {
    std::snprintf(text, sizeof text,
                  "INFO: Skim encoder: recording stopped at %s (%s), input frame %" PRIu64 "\n",
                  TimeText(wall_us).c_str(), why.c_str(), position);
    Audio(kSkimStateStopped, format, {}, wall_us);
  } else {
    std::snprintf(text, sizeof text,
                  "INFO: Skim encoder: skim %s at %s, recording %s, input frame %" PRIu64 "\n",
                  state == kSkimStateOff ? "OFF" : "ON", TimeText(wall_us).c_str(),
                  Describe(format).c_str(), position);
  }
  Message(2, text);
}

void SkimEncoder::Message(int32_t level, const std::string& text) {
  if (params_.pEventLog) params_.pEventLog->Post(level, text.c_str());
}

}  // namespace logrum::audenc
