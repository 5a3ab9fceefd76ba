// Helpers for the wave input tests: a recorder that owns buffers and collects what the
// device hands back, and a WAV writer.
#pragma once

#include <sndfile.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Lib/Platform/WaveIn.h"

namespace logrum::platform::testing {

struct Recorder {
  explicit Recorder(int buffers, uint32_t bytes) : storage(buffers) {
    for (int i = 0; i < buffers; ++i) {
      storage[i].resize(bytes);
      WaveInBuffer b;
      b.data = storage[i].data();
      b.buffer_length = bytes;
      b.user = static_cast<uintptr_t>(i);
      headers.push_back(b);
    }
  }

  static void Callback(void* instance, WaveInMessage message, WaveInBuffer* buffer,
                       uint64_t frames) {
    auto* self = static_cast<Recorder*>(instance);
    std::lock_guard lock(self->mutex);
    switch (message) {
      case WaveInMessage::kData:
        self->returned.push_back(static_cast<int>(buffer->user));
        self->bytes.push_back(buffer->bytes_recorded);
        self->data.insert(self->data.end(), reinterpret_cast<int16_t*>(buffer->data),
                          reinterpret_cast<int16_t*>(buffer->data + buffer->bytes_recorded));
        if (!(buffer->flags & WaveInBuffer::kDone)) self->bad_flags = true;
        break;
      case WaveInMessage::kOverrun:
        self->overruns.push_back(frames);
        self->overrun_at.push_back(self->data.size());
        break;
      case WaveInMessage::kError:
        self->errors.push_back(static_cast<int>(frames));
        break;
    }
    self->changed.notify_all();
  }

  // Waits (up to a generous real-time limit) until `n` buffers came back.
  bool WaitReturned(size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), [&] { return returned.size() >= n; });
  }

  std::vector<std::vector<char>> storage;
  std::vector<WaveInBuffer> headers;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> returned;       // buffer numbers in the order they came back
  std::vector<uint32_t> bytes;     // bytes recorded of each
  std::vector<int16_t> data;       // all samples, in order
  std::vector<uint64_t> overruns;  // lost frames of each overrun
  std::vector<size_t> overrun_at;  // samples received before each overrun
  std::vector<int> errors;
  bool bad_flags = false;
};

// Writes interleaved 16-bit samples as a WAV file.
inline bool WriteWav(const std::string& path, const std::vector<int16_t>& samples, int channels,
                     int rate) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr) return false;
  sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
  bool ok = sf_writef_short(f, samples.data(), frames) == frames;
  sf_close(f);
  return ok;
}

// Deterministic, varied samples: every position distinct enough to catch a shift.
inline std::vector<int16_t> PatternSamples(size_t count, uint32_t seed = 1) {
  std::vector<int16_t> v(count);
  uint32_t x = seed;
  for (auto& s : v) {
    x = x * 1664525u + 1013904223u;
    s = static_cast<int16_t>(x >> 16);
  }
  return v;
}

}  // namespace logrum::platform::testing
