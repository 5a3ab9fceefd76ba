#include "Lib/AudioSource/WaveInSource.h"

#include <algorithm>
#include <new>

#include "Lib/AudioSource/AudioTrace.h"
#include "Lib/Kit/KitTrace.h"

namespace logrum::audio {
namespace {
int ErrorCode(int code) { return code != 0 ? code : platform::kWaveInError; }
}  // namespace

using platform::WaveInBuffer;
using platform::WaveInMessage;

Peaks ComputePeaks(const int16_t* samples, uint32_t bytes, uint16_t channels) {
  Peaks p{32767, -32767, 32767, -32767};
  const uint32_t count = bytes / 2;
  if (channels == 1) {
    for (uint32_t i = 0; i < count; ++i) {
      p.left_min = std::min(p.left_min, samples[i]);
      p.left_max = std::max(p.left_max, samples[i]);
    }
    p.right_min = p.left_min;
    p.right_max = p.left_max;
    return p;
  }
  for (uint32_t i = 0; i + 1 < count; i += 2) {
    p.left_min = std::min(p.left_min, samples[i]);
    p.left_max = std::max(p.left_max, samples[i]);
    p.right_min = std::min(p.right_min, samples[i + 1]);
    p.right_max = std::max(p.right_max, samples[i + 1]);
  }
  return p;
}

WaveInSource::WaveInSource(uint32_t uDeviceIndex, uint32_t nSampleRate, uint16_t nChannels,
                           uint16_t nBitsPerSample, uint32_t cbBuffer, uint32_t nBuffers,
                           LevelTarget* level_target)
    : kit::BlockSource(kit::CaptureTraceRoute()),
      level_target_(level_target),
      device_index_(uDeviceIndex),
      buffer_bytes_(cbBuffer) {
  format_.channels = nChannels;
  format_.sample_rate = nSampleRate;
  format_.bits_per_sample = nBitsPerSample;
  headers_.resize(std::min(nBuffers, kRing - 1));
}

WaveInSource::~WaveInSource() { Close(); }

void WaveInSource::Signal() {
  signals_.fetch_add(1, std::memory_order_release);
  signals_.notify_all();
}

void WaveInSource::Stop() {
  stopped_.store(true, std::memory_order_release);
  Signal();
}

bool WaveInSource::IsOpen() { return device_ != nullptr; }

platform::WaveInStats WaveInSource::stats() const {
  kit::MutexLock lock(stats_mutex_);
  platform::WaveInStats sum = closed_stats_;
  if (device_) {
    const platform::WaveInStats now = device_->stats();
    sum.frames_captured += now.frames_captured;
    sum.overruns += now.overruns;
    sum.frames_lost += now.frames_lost;
  }
  return sum;
}

int WaveInSource::GiveToDevice(WaveInBuffer* header) {
  header->bytes_recorded = 0;
  header->user = 0;
  header->flags &= ~WaveInBuffer::kDone;
  with_device_.fetch_add(1, std::memory_order_acq_rel);
  int result = device_->AddBuffer(header);
  if (result != platform::kWaveInOk && with_device_.fetch_sub(1) == 1) with_device_.notify_all();
  return result;
}

// On the device's thread. Nothing here allocates, blocks or touches a file.
void WaveInSource::Callback(void* instance, WaveInMessage message, WaveInBuffer* buffer,
                            uint64_t frames) {
  auto* self = static_cast<WaveInSource*>(instance);
  switch (message) {
    case WaveInMessage::kData: {
      if (self->level_target_ != nullptr) {
        Peaks p = ComputePeaks(reinterpret_cast<const int16_t*>(buffer->data),
                               buffer->bytes_recorded, self->format_.channels);
        self->level_target_->Levels(p.left_min, p.left_max, p.right_min, p.right_max);
      }
      uint32_t tail = self->ring_tail_.load(std::memory_order_relaxed);
      self->ring_[tail % kRing] = buffer;
      self->ring_tail_.store(tail + 1, std::memory_order_release);
      if (self->with_device_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        self->with_device_.notify_all();
      }
      self->Signal();
      break;
    }
    case WaveInMessage::kOverrun:
      // The platform layer has counted and reported the gap; the stream goes on.
      break;
    case WaveInMessage::kError:
      // The device stopped delivering: the reader ends, and its owner reopens it.
      self->failure_.store(ErrorCode(static_cast<int>(frames)),
                           std::memory_order_release);
      self->Stop();
      break;
  }
}

int32_t WaveInSource::Open() { return platform::WaveInResultOf(OpenCapture()); }

platform::Status WaveInSource::OpenCapture() {
  using platform::Status;
  Close();
  failure_.store(0, std::memory_order_release);
  if (!device_name_.empty()) {
    int found = platform::WaveInFindDevice(device_name_);
    if (found < 0) {
      return Status::Error(Status::kNotFound, "device '" + device_name_ + "' is not present");
    }
    device_index_ = static_cast<uint32_t>(found);
  }
  // Ten buffers of a block each are allocated up front; a block of more than 64 MiB (six
  // minutes of CD-quality stereo) is a mistyped definition, not a plan.
  constexpr uint32_t kMaxBlockBytes = 64u << 20;
  if (format_.channels == 0 || buffer_bytes_ < format_.block_align() ||
      buffer_bytes_ > kMaxBlockBytes || headers_.empty()) {
    return Status::Error(
        Status::kInvalidArgument,
        std::string(buffer_bytes_ > kMaxBlockBytes ? "block size above 64 MiB"
                                                   : "block size too small for one frame") +
            " (" + std::to_string(buffer_bytes_) + " bytes)");
  }
  try {
    if (storage_.size() != headers_.size()) {
      storage_.assign(headers_.size(), std::vector<char>(buffer_bytes_));
    }
  } catch (const std::bad_alloc&) {
    storage_.clear();
    return Status::Error(Status::kIoError, "out of memory for the capture buffers (" +
                                               std::to_string(headers_.size()) + " x " +
                                               std::to_string(buffer_bytes_) + " bytes)");
  }
  std::unique_ptr<platform::WaveIn> device;
  if (Status status = platform::WaveIn::Open(device_index_, format_, &Callback, this, &device);
      !status.ok()) {
    Close();
    return status;
  }
  {
    kit::MutexLock lock(stats_mutex_);  // stats() reads the device from other threads
    device_ = std::move(device);
  }
  if (device_name_.empty()) device_name_ = device_->name();
  ring_head_.store(ring_tail_.load());  // nothing from an earlier run is left to read
  auto failed = [this](int result) {
    return Status::Error(Status::kIoError,
                         device_name_ + ": " + platform::WaveInResultText(result));
  };
  for (size_t i = 0; i < headers_.size(); ++i) {
    headers_[i] = WaveInBuffer{};
    headers_[i].data = storage_[i].data();
    headers_[i].buffer_length = buffer_bytes_;
    if (int result = device_->Prepare(&headers_[i]); result != platform::kWaveInOk) {
      return failed(result);
    }
  }
  for (auto& header : headers_) {
    if (int result = GiveToDevice(&header); result != platform::kWaveInOk) return failed(result);
  }
  stopped_.store(false, std::memory_order_release);
  if (int result = device_->Start(); result != platform::kWaveInOk) return failed(result);
  return Status::Ok();
}

void WaveInSource::Close() {
  Stop();
  if (device_) {
    device_->Reset();  // every buffer comes back through the callback before this returns
    for (uint32_t n; (n = with_device_.load(std::memory_order_acquire)) != 0;) {
      with_device_.wait(n);
    }
    for (auto& header : headers_) device_->Unprepare(&header);
    kit::MutexLock lock(stats_mutex_);
    const platform::WaveInStats last = device_->stats();
    closed_stats_.frames_captured += last.frames_captured;
    closed_stats_.overruns += last.overruns;
    closed_stats_.frames_lost += last.frames_lost;
    device_.reset();
  }
  ring_head_.store(ring_tail_.load());
}

int32_t WaveInSource::Read(kit::ByteBuffer* buffer) {
  if (!IsOpen()) return -1;
  int32_t copied = 0;
  while (buffer->FreeSpace() > 0) {
    uint32_t seen = signals_.load(std::memory_order_acquire);
    uint32_t head = ring_head_.load(std::memory_order_relaxed);
    if (head == ring_tail_.load(std::memory_order_acquire)) {
      // Nothing filled: stop wins, else sleep until the device hands something back.
      if (stopped_.load(std::memory_order_acquire)) return -1;
      signals_.wait(seen, std::memory_order_acquire);
      continue;
    }
    WaveInBuffer* header = ring_[head % kRing];
    uint32_t taken = static_cast<uint32_t>(header->user);
    if (copied == 0) {
      const uint32_t frame_bytes = format_.block_align();
      read_time_us_ = header->capture_us + static_cast<int64_t>(taken / frame_bytes) * 1000000 /
                                               static_cast<int64_t>(format_.sample_rate);
    }
    uint32_t n = buffer->Append(header->data + taken, header->bytes_recorded - taken);
    header->user = taken + n;
    copied += static_cast<int32_t>(n);
    if (header->user >= header->bytes_recorded) {
      ring_head_.store(head + 1, std::memory_order_release);
      GiveToDevice(header);
    }
  }
  return copied;
}

}  // namespace logrum::audio
