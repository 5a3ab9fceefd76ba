// Repair of segment files cut while recorded: real files in a temporary folder,
// read back through the reader the scanner and the streaming use.
#include "Lib/ArchiveManager/Segment/SegmentRepair.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileWrite.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "tests/support/TempDir.h"

namespace logrum::archive {
namespace {

namespace fs = std::filesystem;

// One layer 3 frame of a standard rate, padding off, body bytes without sync.
std::vector<uint8_t> Frame(uint32_t kbps, uint32_t rate, bool mono) {
  const bool v1 = rate >= 32000;
  static constexpr uint32_t kV1[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  static constexpr uint32_t kV2[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
  const uint32_t* rates = v1 ? kV1 : kV2;
  int index = 0;
  for (int i = 0; i < 14; ++i) {
    if (rates[i] == kbps) index = i + 1;
  }
  int rate_index = 0;
  for (uint32_t r : {44100u, 48000u, 32000u, 22050u, 24000u, 16000u}) {
    if (r == rate) break;
    rate_index = (rate_index + 1) % 3;
  }
  std::vector<uint8_t> frame((v1 ? 144000 : 72000) * kbps / rate, 0x5A);
  frame[0] = 0xFF;
  frame[1] = v1 ? 0xFB : 0xF3;
  frame[2] = static_cast<uint8_t>(index << 4 | rate_index << 2);
  frame[3] = mono ? 0xC0 : 0x40;
  return frame;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

class SegmentRepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(start_.Set(2012, 6, 15, 10, 0, 0, 0));
    path_ = SegmentFileName(dir_.string(), start_, ".mp3");
    fs::create_directories(fs::path(path_).parent_path());
  }
  void Write(const std::vector<uint8_t>& bytes) {
    std::ofstream(path_, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
  }

  logrum::testing::TempDir temp_{"segrepair"};
  fs::path dir_ = temp_.path();
  CZoneTime start_;
  std::string path_;
};

struct CutCase {
  const char* name;
  std::vector<uint32_t> rates;  // kbit/s of each whole frame
  uint32_t samplerate;
  bool mono;
  std::vector<uint8_t> tail;     // what the cut left after the frames
  kit::AudioFormat format;            // expected in the trailer
  size_t kept_frames;            // whole blocks of whole frames
};

TEST_F(SegmentRepairTest, CutFilesAreCutBackToWholeFramesAndGetTheirTrailer) {
  const std::vector<uint8_t> torn(200, 0x5A);
  std::vector<uint8_t> torn_header = Frame(128, 44100, false);
  torn_header.resize(100);
  const CutCase cases[] = {
      {"torn frame", {128, 128, 128}, 44100, false, torn_header, {128, 44100, 2}, 3},
      {"zeros the disk allocated", {128, 128}, 44100, false, std::vector<uint8_t>(4096, 0), {128, 44100, 2}, 2},
      {"nothing after the frames", {64, 64, 64, 64}, 48000, true, {}, {64, 48000, 1}, 4},
      {"12 kbit/s blocks of 8+16, odd frame dropped", {8, 16, 8, 16, 8}, 22050, true, torn,
       {12, 22050, 1}, 4},
      {"14 kbit/s blocks of 3x16+8", {16, 16, 16, 8, 16, 16}, 22050, false, {}, {14, 22050, 2}, 4},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes;
    for (uint32_t kbps : c.rates) {
      std::vector<uint8_t> f = Frame(kbps, c.samplerate, c.mono);
      bytes.insert(bytes.end(), f.begin(), f.end());
    }
    size_t kept_bytes = 0;
    for (size_t i = 0; i < c.kept_frames; ++i) kept_bytes += Frame(c.rates[i], c.samplerate, c.mono).size();
    const std::vector<uint8_t> audio(bytes.begin(), bytes.begin() + static_cast<long>(kept_bytes));
    bytes.insert(bytes.end(), c.tail.begin(), c.tail.end());
    Write(bytes);

    RepairInfo info;
    ASSERT_EQ(RepairSegment(path_, start_, "Studio A", &info), RepairResult::kRepaired) << info.error;
    EXPECT_EQ(info.format, c.format);
    EXPECT_EQ(info.size_bytes, kept_bytes);
    EXPECT_EQ(info.cut_bytes, bytes.size() - kept_bytes);
    EXPECT_EQ(info.duration_ms, DurationMsOfBytes(c.format, kept_bytes));

    CArchiveFileRead reader(dir_.string(), ".mp3");
    const auto read = reader.ReadInfo(path_);
    ASSERT_TRUE(read.ok()) << read.message();
    EXPECT_TRUE(CZoneTime::IsSame(reader.GetStartTime(), start_));
    EXPECT_EQ(reader.GetFormat(), c.format);
    EXPECT_EQ(reader.GetSizeBytes(), kept_bytes);
    EXPECT_EQ(reader.GetDurationMs(), info.duration_ms);
    EXPECT_EQ(reader.GetTrailer().source, "Studio A");
    EXPECT_FALSE(reader.IsSkim());
    EXPECT_TRUE(reader.GetEndTime().IsNull());
    std::vector<uint8_t> on_disk = FileBytes(path_);
    ASSERT_EQ(on_disk.size(), kept_bytes + kTrailerSize);
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), on_disk.begin()));  // audio untouched

    // Repaired once: a second repair finds the trailer.
    EXPECT_EQ(RepairSegment(path_, start_, "Studio A", &info), RepairResult::kHasTrailer);
  }
}

TEST_F(SegmentRepairTest, FilesWithoutAWholeFrameAtTheirStartAreLeftAsTheyAre) {
  std::vector<uint8_t> half = Frame(128, 44100, false);
  half.resize(200);
  const std::vector<std::vector<uint8_t>> contents = {
      {},                                                  // empty
      std::vector<uint8_t>(5000, 0),                       // zeros only
      {'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o', '\n'},  // text
      half,                                                // one torn frame
  };
  for (const std::vector<uint8_t>& bytes : contents) {
    Write(bytes);
    RepairInfo info;
    EXPECT_EQ(RepairSegment(path_, start_, "", &info), RepairResult::kNoAudio) << bytes.size();
    EXPECT_EQ(FileBytes(path_), bytes);
  }
}

TEST_F(SegmentRepairTest, ASegmentBeingWrittenIsNotTouched) {
  CArchiveFileWrite writer(dir_.string(), ".mp3", "Studio A");
  ASSERT_TRUE(writer.Open(start_, {128, 44100, 2}, false).ok());
  std::vector<uint8_t> frame = Frame(128, 44100, false);
  ASSERT_TRUE(writer.Write(frame.data(), frame.size()).ok());
  RepairInfo info;
  EXPECT_EQ(RepairSegment(path_, start_, "", &info), RepairResult::kBusy);
  EXPECT_EQ(FileBytes(path_), frame);
  ASSERT_TRUE(writer.Close(CZoneTime()).ok());
  EXPECT_EQ(RepairSegment(path_, start_, "", &info), RepairResult::kHasTrailer);
}

}  // namespace
}  // namespace logrum::archive
