#include "Lib/ArchiveManager/Storage/tests/RecordingFixture.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "Lib/ArchiveManager/Segment/ArchiveFileWrite.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/ArchiveManager/Time/TimeFormat.h"

namespace logrum::archive::testing {

void SetLocal(int year, int month, int day, int hour, int minute, int second, int daylight) {
  CZoneTime t = Local(year, month, day, hour, minute, second, daylight);
  TestClock().SetUs(t.ToUnixSeconds() * 1000000);
}

CZoneTime Local(int year, int month, int day, int hour, int minute, int second, int daylight) {
  CZoneTime t;
  EXPECT_TRUE(t.Set(year, month, day, hour, minute, second, daylight));
  return t;
}

FakeSkimEncoder::FakeSkimEncoder(uint32_t pre_delay_ms)
    : pool_(kit::CMemBlockFactory::Create(8, 8, kit::kPoolUnlimited, kPoolBlockBytes)) {
  params_.cbSize = sizeof params_;
  params_.nKind = audenc::kSkimEncoderKind;
  params_.nPreDelayMs = pre_delay_ms;
}

FakeSkimEncoder::~FakeSkimEncoder() {
  if (pool_ != nullptr) pool_->Release();  // blocks still held keep it alive
}

uint32_t FakeSkimEncoder::PoolBlocksCreated() const { return pool_->Statistics().created; }

bool FakeSkimEncoder::AddReader(kit::AudioSink* reader, uint32_t mask) {
  std::lock_guard lock(mu_);
  if (reader == nullptr || reader_ != nullptr || (mask & audenc::kBlockFlagLayer3) == 0) return false;
  reader_ = reader;
  return true;
}

bool FakeSkimEncoder::RemoveReader(kit::AudioSink* reader) {
  std::lock_guard lock(mu_);
  if (reader != reader_ || reader == nullptr) return false;
  reader_->Write(nullptr);
  reader_ = nullptr;
  removed_.notify_all();
  return true;
}

bool FakeSkimEncoder::WaitReaderRemoved(int timeout_ms) {
  std::unique_lock lock(mu_);
  return removed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [this] { return reader_ == nullptr; });
}

bool FakeSkimEncoder::has_reader() const {
  std::lock_guard lock(mu_);
  return reader_ != nullptr;
}

bool FakeSkimEncoder::Push(uint8_t state, const kit::AudioFormat& format, uint32_t audio_bytes,
                           uint8_t fill) {
  return PushBlock(0, state, format, audio_bytes, fill);
}

bool FakeSkimEncoder::PushCaptured(int64_t capture_us, uint8_t state, const kit::AudioFormat& format,
                                   uint32_t audio_bytes) {
  return PushBlock(capture_us, state, format, audio_bytes, 0x55);
}

bool FakeSkimEncoder::PushBlock(int64_t capture_us, uint8_t state, const kit::AudioFormat& format,
                                uint32_t audio_bytes, uint8_t fill) {
  std::lock_guard lock(mu_);
  if (reader_ == nullptr) return false;
  const uint32_t size = audenc::kSkimHeaderBytes + audio_bytes;
  kit::MemBlock* block = size <= kPoolBlockBytes ? pool_->GetBlock() : new kit::MemBlock(size);
  if (block == nullptr) return false;
  uint8_t* d = block->data();
  std::memset(d, 0, audenc::kSkimHeaderBytes);
  d[0] = state;
  d[1] = format.channels;
  d[4] = static_cast<uint8_t>(format.bitrate & 0xFF);
  d[5] = static_cast<uint8_t>(format.bitrate >> 8);
  d[6] = static_cast<uint8_t>(format.samplerate & 0xFF);
  d[7] = static_cast<uint8_t>(format.samplerate >> 8);
  std::memset(d + audenc::kSkimHeaderBytes, fill, audio_bytes);
  block->set_data_length(audenc::kSkimHeaderBytes + audio_bytes);
  block->set_flags(audenc::kBlockFlagLayer3);
  block->set_time_us(capture_us);
  reader_->Write(block->block());
  block->Release();
  return true;
}

void MessageLog::Post(int32_t level, const char* text) {
  {
    std::lock_guard lock(mu_);
    messages_.emplace_back(level, text ? text : "");
  }
  cv_.notify_all();
}

void MessageLog::Format(int32_t level, const char* format, va_list args) {
  char buffer[1024];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  Post(level, buffer);
}

std::vector<std::string> MessageLog::Texts() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> out;
  for (const auto& m : messages_) out.push_back(m.second);
  return out;
}

bool MessageLog::Contains(const std::string& part) const {
  std::lock_guard lock(mu_);
  return std::any_of(messages_.begin(), messages_.end(),
                     [&](const auto& m) { return m.second.find(part) != std::string::npos; });
}

std::vector<int32_t> MessageLog::LevelsOf(const std::string& part) const {
  std::lock_guard lock(mu_);
  std::vector<int32_t> out;
  for (const auto& m : messages_)
    if (m.second.find(part) != std::string::npos) out.push_back(m.first);
  return out;
}

bool MessageLog::WaitFor(const std::string& part, int timeout_ms) {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return std::any_of(messages_.begin(), messages_.end(),
                       [&](const auto& m) { return m.second.find(part) != std::string::npos; });
  });
}

void ReportLog::OnSegmentFinished(const CZoneTime& start, uint32_t duration_ms, bool skim,
                                  uint32_t size_bytes, const CZoneTime& end) {
  std::lock_guard lock(mu_);
  reports_.push_back({start, duration_ms, skim, size_bytes, end});
}

std::vector<SegmentReport> ReportLog::Reports() const {
  std::lock_guard lock(mu_);
  return reports_;
}

std::vector<std::string> SegmentFiles(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       it != std::filesystem::recursive_directory_iterator(); ++it) {
    if (!it->is_regular_file()) continue;
    const std::string name = it->path().filename().string();
    if (it->path().extension() != ".mp3") continue;
    out.push_back(it->path().parent_path().filename().string() + "/" + name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string Text(const CZoneTime& t) {
  char buffer[40];
  if (archive::Format(t, "%x", buffer, sizeof buffer) < 0) return "?";
  return buffer;
}

std::vector<uint8_t> Frames128(size_t count) {
  std::vector<uint8_t> bytes(count * 417, 0x5A);
  for (size_t i = 0; i < count; ++i) {
    uint8_t* frame = bytes.data() + i * 417;
    frame[0] = 0xFF;
    frame[1] = 0xFB;  // MPEG 1 layer 3, no CRC
    frame[2] = 0x90;  // 128 kbit/s, 44.1 kHz, no padding
    frame[3] = 0x44;  // joint stereo
    frame[4] = static_cast<uint8_t>(i);
  }
  return bytes;
}

std::string MakeSegment(const std::string& folder, const CZoneTime& start, size_t frames,
                        bool skim) {
  CArchiveFileWrite writer(folder, ".mp3", "Studio A");
  const auto opened = writer.Open(start, kFormat128, skim);
  EXPECT_TRUE(opened.ok()) << opened.message();
  const std::vector<uint8_t> audio = Frames128(frames);
  EXPECT_TRUE(writer.Write(audio.data(), audio.size()).ok());
  const std::string path = writer.GetFileName();
  EXPECT_TRUE(writer.Close(CZoneTime()).ok());
  return path;
}

std::string MakeCutSegment(const std::string& folder, const CZoneTime& start, size_t frames) {
  const std::string path = SegmentFileName(folder, start, ".mp3");
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::vector<uint8_t> bytes = Frames128(frames + 1);
  bytes.resize(bytes.size() - 150);
  WriteBytes(path, bytes);
  return path;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace logrum::archive::testing
