// WaveInSource: the device side of a capture thread. It keeps ten buffers of the block
// size circulating between the wave input device (Lib/Platform/WaveIn.h) and a queue of
// filled buffers, and lets its reader take the captured bytes at its own pace.
//
// The device's callback (on the device's thread) computes the buffer's peak levels,
// hands them to the level target, and queues the buffer. It allocates nothing, does no
// file I/O and never waits for a lock: the filled queue is a single-producer single-consumer
// ring, and the events are atomics that sleepers wait on.
//
// A device error (a USB interface pulled out, an I/O error) stops the source like Stop
// does, and failed() tells the two apart. Opening again after that finds the device by
// the name it had when it was first opened, so a card that comes back under another
// number is found, and another card that took its number is never opened instead.
//
// Thread safety: one reader thread calls Read; Open and Close come from one thread at a
// time (the owner's, or the reader's while it recovers from a device error); Stop and
// failed may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Lib/Kit/Mutex.h"
#include "Lib/Kit/EventSource.h"
#include "Lib/Platform/WaveIn.h"

namespace logrum::audio {

// Receives the four peaks of each filled buffer (the feed thread's level interface).
class LevelTarget {
 public:
  virtual void Levels(int16_t sLeftMin, int16_t sLeftMax, int16_t sRightMin,
                      int16_t sRightMax) = 0;

 protected:
  ~LevelTarget() = default;
};

// The minima and maxima of each channel of `bytes` of 16-bit PCM. Minima start at
// 32767 and maxima at -32767, so no samples give (32767, -32767). One channel gives
// the same pair for left and right.
struct Peaks {
  int16_t left_min, left_max, right_min, right_max;
};
Peaks ComputePeaks(const int16_t* samples, uint32_t bytes, uint16_t channels);

class WaveInSource : public kit::BlockSource {
 public:
  static constexpr uint32_t kBufferCount = 10;

  WaveInSource(uint32_t uDeviceIndex, uint32_t nSampleRate, uint16_t nChannels,
               uint16_t nBitsPerSample, uint32_t cbBuffer, uint32_t nBuffers,
               LevelTarget* level_target);
  ~WaveInSource() override;

  // Stops, resets the device (every buffer comes back) and closes it. Harmless twice.
  void Close() override;
  // (Re)opens the device and starts capture. The Status names the device (or the
  // block size) and why it failed.
  platform::Status OpenCapture();
  // The same for the slot: 0, or the WaveInResult of the failure.
  int32_t Open() override;
  bool IsOpen() override;
  // Fills the buffer's free space with captured bytes, waiting for them. Returns the
  // bytes copied, or -1 when the source is closed or stopped (what was copied so far
  // stays in the buffer).
  int32_t Read(kit::ByteBuffer* buffer) override;

  // Makes a waiting Read return -1 at once; capture goes on until Close. Any thread.
  void Stop();
  // The device's error code since the last Open, 0 when it has not failed. Any thread.
  int failed() const { return failure_.load(std::memory_order_acquire); }
  uint32_t sample_rate() const { return format_.sample_rate; }
  // The device's name as it was first opened; empty before.
  const std::string& device_name() const { return device_name_; }

  // The device's counters since this source was made, across reopens. Any thread.
  platform::WaveInStats stats() const;
  // When the first byte that the last Read copied was captured (microseconds on the
  // process clock); 0 before any. The reader's thread only.
  int64_t read_time_us() const { return read_time_us_; }

 private:
  static void Callback(void* instance, platform::WaveInMessage message,
                       platform::WaveInBuffer* buffer, uint64_t frames);
  int GiveToDevice(platform::WaveInBuffer* header);
  void Signal();

  platform::WaveFormat format_;
  std::unique_ptr<platform::WaveIn> device_;
  LevelTarget* level_target_;
  uint32_t device_index_;
  uint32_t buffer_bytes_;

  // Events. Each change bumps signals_, which Read and Close wait on.
  std::atomic<bool> stopped_{true};      // signalled while not running
  std::atomic<uint32_t> with_device_{0}; // all-returned is "with_device_ == 0"
  std::atomic<uint32_t> signals_{0};
  std::atomic<int> failure_{0};

  std::vector<std::vector<char>> storage_;
  std::vector<platform::WaveInBuffer> headers_;  // user word: bytes already taken by Read

  // The filled queue: written by the callback, read by Read.
  static constexpr uint32_t kRing = 16;  // more than kBufferCount
  platform::WaveInBuffer* ring_[kRing] = {};
  std::atomic<uint32_t> ring_head_{0};  // next to read; Read's
  std::atomic<uint32_t> ring_tail_{0};  // next to write; the callback's

  std::string device_name_;
  int64_t read_time_us_ = 0;  // the reader's

  // Counts of the devices closed before the one open now; a reopen after a device
  // error must not start the device's counts again from 0.
  mutable kit::Mutex stats_mutex_;
  platform::WaveInStats closed_stats_ GUARDED_BY(stats_mutex_);
};

}  // namespace logrum::audio
