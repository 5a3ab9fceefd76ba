// Fixtures of the audio capture library's tests: virtual devices on a manual clock, a
// sink that records what it receives, a level listener, and the trace lines.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "Lib/AudioSource/AudioTrace.h"
#include "Lib/AudioSource/include/AudioSource.h"
#include "Lib/Platform/Clock.h"
#include "Lib/Platform/WaveIn.h"
#include "Lib/Platform/WaveInVirtual.h"
#include "Lib/Platform/tests/WaveInTestUtil.h"
#include "tests/support/TempDir.h"

namespace logrum::audio::testing {

class RecordingSink : public AudioSink {
 public:
  bool Write(IBlock* block) override {
    std::lock_guard lock(mutex_);
    if (block == nullptr) {
      ++nulls_;
    } else {
      lengths_.push_back(block->GetDataLength());
      flags_.push_back(block->GetFlags());
      const auto* p = reinterpret_cast<const int16_t*>(block->GetData());
      samples_.insert(samples_.end(), p, p + block->GetDataLength() / 2);
    }
    changed_.notify_all();
    return result_;
  }

  bool WaitBlocks(size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return lengths_.size() >= n; });
  }
  bool WaitNulls(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return nulls_ >= n; });
  }
  void set_result(bool result) {
    std::lock_guard lock(mutex_);
    result_ = result;
  }
  std::vector<uint32_t> lengths() {
    std::lock_guard lock(mutex_);
    return lengths_;
  }
  std::vector<uint32_t> flags() {
    std::lock_guard lock(mutex_);
    return flags_;
  }
  std::vector<int16_t> samples() {
    std::lock_guard lock(mutex_);
    return samples_;
  }
  int nulls() {
    std::lock_guard lock(mutex_);
    return nulls_;
  }
  size_t blocks() {
    std::lock_guard lock(mutex_);
    return lengths_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<uint32_t> lengths_;
  std::vector<uint32_t> flags_;
  std::vector<int16_t> samples_;
  int nulls_ = 0;
  bool result_ = true;
};

class RecordingListener : public LevelListener {
 public:
  void OnLevel(int16_t minimum, int16_t maximum, int32_t reserved) override {
    std::lock_guard lock(mutex_);
    levels_.push_back({minimum, maximum, reserved});
  }
  struct Level {
    int16_t minimum, maximum;
    int32_t reserved;
  };
  std::vector<Level> levels() {
    std::lock_guard lock(mutex_);
    return levels_;
  }

 private:
  std::mutex mutex_;
  std::vector<Level> levels_;
};

// Collects every trace line of the library while it lives.
class TraceLines {
 public:
  TraceLines() { SetTraceTap(&Tap, this); }
  ~TraceLines() { SetTraceTap(nullptr, nullptr); }
  bool Contains(const std::string& text) {
    std::lock_guard lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  static void Tap(void* context, const char* line) {
    auto* self = static_cast<TraceLines*>(context);
    std::lock_guard lock(self->mutex_);
    self->lines_.emplace_back(line);
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Virtual devices (declared by the test) paced by a manual clock, in a temporary folder.
class VirtualDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv(platform::kVirtualDevicesVariable);
    alsa_count_ = platform::WaveInDeviceCount();
  }
  void TearDown() override { unsetenv(platform::kVirtualDevicesVariable); }
  void Declare(const std::string& text) {
    setenv(platform::kVirtualDevicesVariable, text.c_str(), 1);
  }
  // A stereo WAV of `frames` distinct frames at 44100 Hz.
  std::string PatternFile(const std::string& name, size_t frames, std::vector<int16_t>* samples,
                          uint32_t seed = 1) {
    *samples = platform::testing::PatternSamples(frames * 2, seed);
    std::string path = dir_ + "/" + name;
    EXPECT_TRUE(platform::testing::WriteWav(path, *samples, 2, 44100));
    return path;
  }
  static DeviceInfo Info(uint32_t index, const char* left, const char* right = "",
                         bool split = false, int32_t block = 36864) {
    DeviceInfo info{};
    info.uDeviceIndex = index;
    info.nSampleRate = 44100;
    info.bSplitMono = split ? 1 : 0;
    info.cbPcmBlock = block;
    std::snprintf(info.szSourceLeft, sizeof info.szSourceLeft, "%s", left);
    std::snprintf(info.szSourceRight, sizeof info.szSourceRight, "%s", right);
    return info;
  }
  // Devices started from now on count their frames from now.
  void MarkStart() { start_us_ = clock_.NowUs(); }
  // Moves the clock to the moment frame `frames` of a device started at MarkStart is due.
  void AdvanceToFrame(int64_t frames) {
    int64_t at = start_us_ + (frames * 1000000 + 44099) / 44100;
    if (at > clock_.NowUs()) clock_.AdvanceUs(at - clock_.NowUs());
  }

  static constexpr int64_t kStartUs = 1'700'000'000'000'000;
  platform::ManualClock clock_{kStartUs};
  int64_t start_us_ = kStartUs;
  platform::ScopedDefaultClock scoped_clock_{clock_};
  logrum::testing::TempDir temp_{"audiosource"};
  std::string dir_ = temp_.path();
  uint32_t alsa_count_ = 0;
};

}  // namespace logrum::audio::testing
