#include "External/Encoder/LiveEncoder.h"

#include "Lib/Diagnostics/Trace.h"

namespace logrum::audenc {
namespace {

constexpr uint32_t kQueueSeconds = 10;

}  // namespace

LiveEncoder::LiveEncoder(const LiveEncoderParams& params)
    : params_(params),
      format_{static_cast<uint16_t>(params.nBitrateK), static_cast<uint16_t>(params.nSampleRate),
              static_cast<uint8_t>(params.nChannels)},
      readers_(params.cbOutBlock > 0 && params.cbOutBlock < (1u << 20) ? params.cbOutBlock : 1),
      worker_(this, "LiveEncoder", params.nInChannels == 1 ? 1 : 2,
              uint64_t{params.nInSampleRate} * kQueueSeconds) {}

LiveEncoder::~LiveEncoder() { Close(); }

void LiveEncoder::Release() { delete this; }

bool LiveEncoder::Open() {
  try {
    kit::MutexLock lock(open_mu_);
    if (open_) return false;
    std::string error;
    std::unique_ptr<Layer3Stream> trial;  // checks that LAME takes the format
    const uint32_t block = kit::FramePattern(format_).empty() ? 0 : BlockSize(format_);
    if (format_.bitrate != params_.nBitrateK || format_.samplerate != params_.nSampleRate ||
        block == 0) {
      error = "format cannot be written";
    } else if (params_.cbOutBlock == 0 || params_.cbOutBlock % block != 0 ||
               params_.cbOutBlock != readers_.block_capacity()) {
      error = "output block size is not a whole number of layer 3 blocks";
    } else if (platform::Status made = Layer3Stream::Create(params_.nInSampleRate,
                                                            params_.nInChannels, format_, &trial);
               !made.ok()) {
      error = made.message();
    } else {
      open_ = worker_.Start();
      return open_;
    }
    diag::DebugTrace("LiveEncoder::Open: %s: %s\n", Describe(format_).c_str(), error.c_str());
    return false;
  } catch (...) {
    return false;
  }
}

void LiveEncoder::Close() {
  try {
    kit::MutexLock lock(open_mu_);
    if (!open_) return;
    worker_.Stop(kLiveCloseDrainMs);
    stream_.reset();
    pending_.clear();
    readers_.EndAll();
    open_ = false;
  } catch (...) {
  }
}

kit::AudioSink* LiveEncoder::GetInputSink() { return &worker_; }

bool LiveEncoder::AddReader(kit::AudioSink* reader, uint32_t dwMask) {
  return readers_.Add(reader, dwMask);
}

bool LiveEncoder::RemoveReader(kit::AudioSink* reader) { return readers_.Remove(reader); }

const LiveEncoderParams* LiveEncoder::GetParams() { return &params_; }

void LiveEncoder::Process(const InputItem& item, const int16_t* pcm) {
  if (!stream_) {
    platform::Status made =
        Layer3Stream::Create(params_.nInSampleRate, params_.nInChannels, format_, &stream_);
    if (made.ok()) made = stream_->Prime(nullptr);
    if (!made.ok()) {
      stream_.reset();
      diag::DebugTrace("LiveEncoder: %s\n", made.message().c_str());
      return;
    }
  }
  if (platform::Status encoded = stream_->Encode(pcm, item.frames, &pending_); !encoded.ok()) {
    diag::DebugTrace("LiveEncoder: %s\n", encoded.message().c_str());
    stream_.reset();
    return;
  }
  SendWhole();
}

void LiveEncoder::SendWhole() {
  const size_t size = params_.cbOutBlock;
  size_t sent = 0;
  while (pending_.size() - sent >= size) {
    // Live listeners hear the stream as it comes; its blocks carry no capture time.
    readers_.Send({}, std::span<const uint8_t>(pending_).subspan(sent, size), 0);
    sent += size;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(sent));
}

void LiveEncoder::EndStream() {
  if (!stream_) return;
  if (platform::Status finished = stream_->Finish(&pending_); !finished.ok()) {
    diag::DebugTrace("LiveEncoder: %s\n", finished.message().c_str());
  }
  stream_.reset();
  SendWhole();
}

void LiveEncoder::Gap(uint64_t, uint64_t frames, int64_t) {
  diag::DebugTrace("LiveEncoder: could not keep up, %llu ms of audio dropped\n",
                   static_cast<unsigned long long>(frames * 1000 / params_.nInSampleRate));
  EndStream();
}

void LiveEncoder::EndOfInput(const char*, int64_t) { EndStream(); }

}  // namespace logrum::audenc
