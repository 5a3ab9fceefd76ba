#include "Lib/Platform/WaveIn.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "Lib/Platform/Clock.h"
#include "Lib/Platform/WaveInBackend.h"

namespace logrum::platform {

const char* WaveInResultText(int result) {
  switch (result) {
    case kWaveInOk: return "no error";
    case kWaveInError: return "device failure";
    case kWaveInBadDeviceId: return "no such capture device";
    case kWaveInAllocated: return "device busy";
    case kWaveInInvalidHandle: return "device closed";
    case kWaveInNoDriver: return "device cannot be opened";
    case kWaveInNoMem: return "out of memory";
    case kWaveInInvalidParam: return "invalid parameter";
    case kWaveInBadFormat: return "format not supported";
    case kWaveInStillRecording: return "buffer still with the device";
    case kWaveInUnprepared: return "buffer not prepared";
    default: return "unknown error";
  }
}

int WaveInResultOf(const Status& status) {
  switch (status.code()) {
    case Status::kOk: return kWaveInOk;
    case Status::kNotFound: return kWaveInBadDeviceId;
    case Status::kBusy: return kWaveInAllocated;
    case Status::kInvalidArgument: return kWaveInBadFormat;
    default: return kWaveInNoDriver;
  }
}

namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::vector<WaveInDeviceEntry> AllDevices() {
  std::vector<WaveInDeviceEntry> devices = EnumerateAlsaDevices();
  std::vector<WaveInDeviceEntry> virtuals = EnumerateVirtualDevices();
  for (auto& entry : virtuals) devices.push_back(std::move(entry));
  MakeDeviceNamesUnique(&devices);
  return devices;
}

}  // namespace

void MakeDeviceNamesUnique(std::vector<WaveInDeviceEntry>* devices) {
  // Callers keep names in 64-byte fields and compare them without regard to case, so
  // uniqueness is judged on what they keep. The first device of a name keeps it as it
  // always had it: names stored before still find that device.
  auto kept = [](const std::string& name) {
    return std::string_view(name).substr(0, kWaveInNameChars);
  };
  for (size_t i = 0; i < devices->size(); ++i) {
    std::string& name = (*devices)[i].name;
    auto taken = [&](std::string_view candidate) {
      for (size_t j = 0; j < i; ++j) {
        if (SameName(kept((*devices)[j].name), candidate)) return true;
      }
      return false;
    };
    if (!taken(kept(name))) continue;
    for (int n = 2;; ++n) {
      const std::string suffix = " #" + std::to_string(n);
      std::string candidate =
          name.substr(0, std::min(name.size(), kWaveInNameChars - suffix.size())) + suffix;
      if (!taken(candidate)) {
        name = std::move(candidate);
        break;
      }
    }
  }
}

int WaveInDeviceCount() { return static_cast<int>(AllDevices().size()); }

int WaveInFindDevice(std::string_view name) {
  std::vector<WaveInDeviceEntry> devices = AllDevices();
  for (size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

int WaveInDeviceName(uint32_t device, std::string* name) {
  std::vector<WaveInDeviceEntry> devices = AllDevices();
  if (device >= devices.size()) return kWaveInBadDeviceId;
  *name = devices[device].name;
  return kWaveInOk;
}

// The device thread owns the stream. Callers post one command at a time (Start,
// Reset, Close) and wait for the thread to carry it out, so the stream is only ever
// touched by one thread and Reset can promise that every buffer is back when it returns.
struct WaveIn::Impl {
  enum class Command { kNone, kStart, kReset, kClose };
  enum class State { kStopped, kRunning, kFailed };

  std::unique_ptr<WaveInStream> stream;
  std::string name;
  WaveFormat format;
  WaveInCallback callback = nullptr;
  void* instance = nullptr;

  std::mutex call_mutex;  // serialises Start, Reset and Close of callers

  std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  std::condition_variable command_done;
  WaveInBuffer* head = nullptr;
  WaveInBuffer* tail = nullptr;
  Command command = Command::kNone;
  int command_result = kWaveInOk;
  State state = State::kStopped;
  bool closed = false;

  std::atomic<uint64_t> frames_captured{0};
  std::atomic<uint64_t> overruns{0};
  std::atomic<uint64_t> frames_lost{0};

  std::thread thread;

  int Post(Command c) {
    std::lock_guard call(call_mutex);
    std::unique_lock lock(mutex);
    if (closed) return kWaveInInvalidHandle;
    command = c;
    wake.notify_all();
    // A Read in progress gives way to a stop. Interrupting under the lock means the thread
    // cannot have taken the command yet, so the Stop it runs for the command clears it.
    if (c != Command::kStart) stream->Interrupt();
    command_done.wait(lock, [&] { return command == Command::kNone; });
    return command_result;
  }

  WaveInBuffer* PopHead() {
    WaveInBuffer* b = head;
    head = b->next;
    if (head == nullptr) tail = nullptr;
    b->next = nullptr;
    return b;
  }

  void HandBack(WaveInBuffer* b) {
    b->flags = (b->flags & ~WaveInBuffer::kQueued) | WaveInBuffer::kDone;
    callback(instance, WaveInMessage::kData, b, 0);
  }

  void ReportLost(uint64_t lost) {
    // Counted only: this is the capture thread, which must not format or write text.
    overruns.fetch_add(1, std::memory_order_relaxed);
    frames_lost.fetch_add(lost, std::memory_order_relaxed);
    callback(instance, WaveInMessage::kOverrun, nullptr, lost);
  }

  // The capture time of the first of `frames` frames that Read has just returned.
  int64_t FirstFrameUs(uint32_t frames) const {
    if (int64_t at = stream->LastReadStartUs(); at != 0) return at;
    return DefaultClock().NowUs() -
           static_cast<int64_t>(frames) * 1000000 / static_cast<int64_t>(format.sample_rate);
  }

  // Fills the head buffer from the stream. Returns false when interrupted or failed.
  bool Fill(WaveInBuffer* b) {
    const uint32_t frame_bytes = format.block_align();
    const uint32_t capacity = b->buffer_length / frame_bytes;
    while (b->bytes_recorded / frame_bytes < capacity) {
      uint32_t done = b->bytes_recorded / frame_bytes;
      uint64_t lost = 0;
      long n = stream->Read(reinterpret_cast<int16_t*>(b->data + b->bytes_recorded),
                            capacity - done, &lost);
      if (lost > 0) ReportLost(lost);
      if (n > 0) {
        if (done == 0) b->capture_us = FirstFrameUs(static_cast<uint32_t>(n));
        b->bytes_recorded += static_cast<uint32_t>(n) * frame_bytes;
        frames_captured.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
        continue;
      }
      if (n < 0) {
        // The callback's owner reports the failure from its own thread.
        callback(instance, WaveInMessage::kError, nullptr, static_cast<uint64_t>(-n));
        std::lock_guard lock(mutex);
        if (state == State::kRunning) state = State::kFailed;
      }
      return false;
    }
    return true;
  }

  void ThreadMain() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [&] {
        return command != Command::kNone || (state == State::kRunning && head != nullptr);
      });
      switch (command) {
        case Command::kStart: {
          int result = kWaveInOk;
          if (state != State::kRunning) {
            lock.unlock();
            stream->Stop();  // clears a stale interrupt and any earlier capture
            result = stream->Start();
            lock.lock();
            state = result == kWaveInOk ? State::kRunning : State::kFailed;
          }
          Finish(result);
          continue;
        }
        case Command::kReset:
        case Command::kClose: {
          lock.unlock();
          stream->Stop();
          lock.lock();
          state = State::kStopped;
          // Only the buffers queued now go back; one the callback adds stays for the next Start.
          WaveInBuffer* list = head;
          head = tail = nullptr;
          lock.unlock();
          while (list != nullptr) {
            WaveInBuffer* b = list;
            list = b->next;
            b->next = nullptr;
            HandBack(b);
          }
          lock.lock();
          bool close = command == Command::kClose;
          if (close) closed = true;
          Finish(kWaveInOk);
          if (close) return;
          continue;
        }
        case Command::kNone:
          break;
      }
      WaveInBuffer* b = head;
      lock.unlock();
      bool full = Fill(b);
      lock.lock();
      if (full && head == b) {
        PopHead();
        lock.unlock();
        HandBack(b);
        lock.lock();
      }
    }
  }

  void Finish(int result) {
    command_result = result;
    command = Command::kNone;
    command_done.notify_all();
  }
};

WaveIn::WaveIn(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WaveIn::~WaveIn() {
  if (!impl_) return;
  impl_->Post(Impl::Command::kClose);
  if (impl_->thread.joinable()) impl_->thread.join();
}

Status WaveIn::Open(uint32_t device, const WaveFormat& format, WaveInCallback callback,
                    void* instance, std::unique_ptr<WaveIn>* out) {
  out->reset();
  std::vector<WaveInDeviceEntry> devices = AllDevices();
  if (device >= devices.size()) {
    return Status::Error(Status::kNotFound, "no capture device " + std::to_string(device));
  }
  if (format.bits_per_sample != 16 || (format.channels != 1 && format.channels != 2) ||
      format.sample_rate < 1000 || format.sample_rate > 384000) {
    return Status::Error(Status::kInvalidArgument, "format not supported");
  }
  std::unique_ptr<WaveInStream> stream;
  if (Status status = devices[device].open(format, &stream); !status.ok()) {
    return Status::Error(status.code(), devices[device].name + ": " + status.message());
  }
  if (int result = OpenStream(std::move(stream), devices[device].name, format, callback,
                              instance, out);
      result != kWaveInOk) {
    return Status::Error(Status::kInvalidArgument,
                         devices[device].name + ": " + WaveInResultText(result));
  }
  return Status::Ok();
}

int WaveIn::OpenStream(std::unique_ptr<WaveInStream> stream, std::string name,
                       const WaveFormat& format, WaveInCallback callback, void* instance,
                       std::unique_ptr<WaveIn>* out) {
  out->reset();
  if (!stream || callback == nullptr) return kWaveInInvalidParam;
  auto impl = std::make_unique<Impl>();
  impl->stream = std::move(stream);
  impl->name = std::move(name);
  impl->format = format;
  impl->callback = callback;
  impl->instance = instance;
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->ThreadMain(); });
  out->reset(new WaveIn(std::move(impl)));
  return kWaveInOk;
}

int WaveIn::Prepare(WaveInBuffer* buffer) {
  if (buffer == nullptr || buffer->data == nullptr) return kWaveInInvalidParam;
  std::lock_guard lock(impl_->mutex);
  if (impl_->closed) return kWaveInInvalidHandle;
  buffer->flags |= WaveInBuffer::kPrepared;
  return kWaveInOk;
}

int WaveIn::Unprepare(WaveInBuffer* buffer) {
  if (buffer == nullptr) return kWaveInInvalidParam;
  std::lock_guard lock(impl_->mutex);
  if (buffer->flags & WaveInBuffer::kQueued) return kWaveInStillRecording;
  buffer->flags &= ~WaveInBuffer::kPrepared;
  return kWaveInOk;
}

int WaveIn::AddBuffer(WaveInBuffer* buffer) {
  if (buffer == nullptr || buffer->data == nullptr ||
      buffer->buffer_length < impl_->format.block_align()) {
    return kWaveInInvalidParam;
  }
  std::lock_guard lock(impl_->mutex);
  if (impl_->closed) return kWaveInInvalidHandle;
  if (!(buffer->flags & WaveInBuffer::kPrepared)) return kWaveInUnprepared;
  if (buffer->flags & WaveInBuffer::kQueued) return kWaveInStillRecording;
  buffer->flags = (buffer->flags & ~WaveInBuffer::kDone) | WaveInBuffer::kQueued;
  buffer->bytes_recorded = 0;
  buffer->capture_us = 0;
  buffer->next = nullptr;
  if (impl_->tail != nullptr) {
    impl_->tail->next = buffer;
  } else {
    impl_->head = buffer;
  }
  impl_->tail = buffer;
  impl_->wake.notify_all();
  return kWaveInOk;
}

int WaveIn::Start() { return impl_->Post(Impl::Command::kStart); }

int WaveIn::Reset() { return impl_->Post(Impl::Command::kReset); }

WaveInStats WaveIn::stats() const {
  WaveInStats s;
  s.frames_captured = impl_->frames_captured.load(std::memory_order_relaxed);
  s.overruns = impl_->overruns.load(std::memory_order_relaxed);
  s.frames_lost = impl_->frames_lost.load(std::memory_order_relaxed);
  return s;
}

const std::string& WaveIn::name() const { return impl_->name; }

const WaveFormat& WaveIn::format() const { return impl_->format; }

}  // namespace logrum::platform
