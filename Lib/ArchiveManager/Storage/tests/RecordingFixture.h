// Test doubles around the recording thread: a skim encoder fed by hand, an
// event poster and a segment sink that keep what they get, and a fixture with
// a temporary archive folder on the manual clock of StorageTestMain.cc.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "External/Encoder/include/Encoder.h"
#include "Lib/Kit/Layer3Format.h"
#include "Lib/ArchiveManager/Storage/SegmentFinished.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Kit/EventLogMT.h"
#include "Lib/Kit/MemBlock.h"
#include "Lib/Kit/ObjectPool.h"
#include "Lib/Platform/Clock.h"
#include "tests/support/TempDir.h"

namespace logrum::archive::testing {

// The manual clock that StorageTestMain.cc installs.
platform::ManualClock& TestClock();

// Sets the test clock to a local time (zone rules decide the daylight flag
// unless daylight is 0 or 1).
void SetLocal(int year, int month, int day, int hour, int minute, int second, int daylight = -1);
CZoneTime Local(int year, int month, int day, int hour, int minute, int second, int daylight = -1);

// Its blocks come from a pool like the real encoder's (16 KiB blocks, no
// maximum), so what the pool had to create shows what was held at once.
class FakeSkimEncoder : public audenc::ISkimEncoder {
 public:
  static constexpr uint32_t kPoolBlockBytes = 16384;

  explicit FakeSkimEncoder(uint32_t pre_delay_ms = 0);
  ~FakeSkimEncoder();
  void Release() override {}
  bool Open() override { return true; }
  void Close() override {}
  void SetStorageFull(bool full) override { storage_full_ = full; }
  kit::AudioSink* GetInputSink() override { return nullptr; }
  bool AddReader(kit::AudioSink* reader, uint32_t mask) override;
  bool RemoveReader(kit::AudioSink* reader) override;
  const audenc::SkimEncoderParams* GetParams() override { return &params_; }
  uint64_t GetDroppedMs() override { return dropped_ms_.load(); }
  // What GetDroppedMs reports, as if the encoder had dropped that much.
  void SetDroppedMs(uint64_t ms) { dropped_ms_.store(ms); }

  // Hands one block to the reader: header (state, format) and `audio_bytes`
  // bytes of audio whose every byte is `fill`. False when no reader is added.
  bool Push(uint8_t state, const kit::AudioFormat& format, uint32_t audio_bytes, uint8_t fill = 0x55);
  // The same for a block that carries the capture time of its first sample
  // (microseconds on the process clock), as the real encoder's blocks do.
  bool PushCaptured(int64_t capture_us, uint8_t state, const kit::AudioFormat& format,
                    uint32_t audio_bytes);
  bool storage_full() const { return storage_full_; }
  bool has_reader() const;
  // Waits (real time) until the reader has been removed.
  bool WaitReaderRemoved(int timeout_ms = 10000);
  // Blocks the pool has created so far.
  uint32_t PoolBlocksCreated() const;

 private:
  bool PushBlock(int64_t capture_us, uint8_t state, const kit::AudioFormat& format,
                 uint32_t audio_bytes, uint8_t fill);

  audenc::SkimEncoderParams params_{};
  mutable std::mutex mu_;
  std::condition_variable removed_;
  kit::AudioSink* reader_ = nullptr;
  bool storage_full_ = false;
  std::atomic<uint64_t> dropped_ms_{0};
  kit::CMemBlockFactory* pool_;
};

class MessageLog : public kit::EventPoster {
 public:
  void Post(int32_t level, const char* text) override;
  void Format(int32_t level, const char* format, va_list args) override;
  std::vector<std::string> Texts() const;
  bool Contains(const std::string& part) const;
  // Waits (real time) until a message containing `part` has been posted.
  bool WaitFor(const std::string& part, int timeout_ms = 10000);
  std::vector<int32_t> LevelsOf(const std::string& part) const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::pair<int32_t, std::string>> messages_;
};

struct SegmentReport {
  CZoneTime start;
  uint32_t duration_ms;
  bool skim;
  uint32_t size_bytes;
  CZoneTime end;
};

class ReportLog : public SegmentFinished {
 public:
  void OnSegmentFinished(const CZoneTime& start, uint32_t duration_ms, bool skim,
                         uint32_t size_bytes, const CZoneTime& end) override;
  std::vector<SegmentReport> Reports() const;

 private:
  mutable std::mutex mu_;
  std::vector<SegmentReport> reports_;
};

// 128 kbit/s, 44.1 kHz stereo: blocks of 417 bytes.
inline constexpr kit::AudioFormat kFormat128{128, 44100, 2};
inline constexpr kit::AudioFormat kFormat32{32, 22050, 1};

using logrum::testing::TempDir;

// Layer 3 frames of kFormat128 (417 bytes, a valid header, filler without
// sync), as the encoder writes them.
std::vector<uint8_t> Frames128(size_t count);
// A finished segment of `frames` frames at its place under the folder, as the
// recorder leaves it; returns its path.
std::string MakeSegment(const std::string& folder, const CZoneTime& start, size_t frames,
                        bool skim = false);
// A segment cut by a crash: `frames` whole frames, a torn one, no trailer.
std::string MakeCutSegment(const std::string& folder, const CZoneTime& start, size_t frames);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// Segment files under a folder (relative names "day/name"), sorted.
std::vector<std::string> SegmentFiles(const std::string& folder);
std::string Text(const CZoneTime& t);  // "%x"

}  // namespace logrum::archive::testing
