#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileWrite.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/ArchiveManager/Time/tests/ZoneTestUtil.h"
#include "tests/support/TempDir.h"

namespace logrum::archive {
namespace {

namespace fs = std::filesystem;

constexpr kit::AudioFormat kFormat{128, 44100, 2};
constexpr size_t kBlock = 417;

CZoneTime T(int y, int mo, int d, int h, int mi, int s, int daylight) {
  CZoneTime t;
  EXPECT_TRUE(t.Set(y, mo, d, h, mi, s, daylight));
  return t;
}

std::vector<uint8_t> Blocks(size_t count) {
  std::vector<uint8_t> data(count * kBlock);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i / kBlock + 1);
  return data;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

class ArchiveFileTest : public ::testing::Test {
 protected:
  std::string Folder() const { return dir_.string(); }

  // Writes a segment of `blocks` blocks and returns its path.
  std::string WriteSegment(const CZoneTime& start, size_t blocks, const CZoneTime& end,
                           bool skim = false) {
    CArchiveFileWrite writer(Folder(), "mp3", "Studio A");
    const auto opened = writer.Open(start, kFormat, skim);
    EXPECT_TRUE(opened.ok()) << opened.message();
    std::vector<uint8_t> data = Blocks(blocks);
    if (!data.empty()) {
      EXPECT_TRUE(writer.Write(data.data(), data.size()).ok());
    }
    std::string path = writer.GetFileName();
    EXPECT_TRUE(writer.Close(end).ok());
    return path;
  }

  logrum::testing::TempDir temp_{"segfile"};
  fs::path dir_ = temp_.path();
};

TEST_F(ArchiveFileTest, TrailerWrittenIsReadBackFieldForField) {
  const CZoneTime start = T(2010, 3, 4, 5, 6, 7, 0);
  const CZoneTime end = T(2010, 3, 4, 5, 21, 7, 0);
  CArchiveFileWrite writer(Folder(), ".mp3", std::string(40, 'n'));
  const auto opened = writer.Open(start, kFormat, true);
  ASSERT_TRUE(opened.ok()) << opened.message();
  EXPECT_EQ(writer.GetFileName(), Folder() + "/2010.03.04/2010.03.04-05.06.07-S.mp3");
  std::vector<uint8_t> data = Blocks(100);
  ASSERT_TRUE(writer.Write(data.data(), 4170).ok());
  ASSERT_TRUE(writer.Write(data.data() + 4170, data.size() - 4170).ok());
  EXPECT_EQ(writer.GetByteCount(), 41700u);
  ASSERT_TRUE(writer.Sync().ok());
  const std::string path = writer.GetFileName();
  ASSERT_TRUE(writer.Close(end).ok());
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(writer.GetByteCount(), 0u);  // counted by the index from now on
  EXPECT_EQ(writer.GetFileName(), "");
  EXPECT_TRUE(writer.Close(end).ok());  // nothing open

  std::vector<uint8_t> bytes = FileBytes(path);
  ASSERT_EQ(bytes.size(), 41700 + kTrailerSize);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), bytes.begin()));

  CArchiveFileRead reader(Folder(), "mp3");
  const auto read = reader.ReadTrailer(path);
  ASSERT_TRUE(read.ok()) << read.message();
  const SegmentTrailer& t = reader.GetTrailer();
  EXPECT_EQ(t.kind, 1u);
  EXPECT_EQ(t.source, std::string(32, 'n'));
  EXPECT_EQ(t.reserved1, 0u);
  EXPECT_EQ(t.size_bytes, 41700u);
  EXPECT_EQ(t.start_time, start.ToPacked());
  EXPECT_EQ(t.duration_ms, 2612u);  // 100 x 26.12 ms
  EXPECT_EQ(t.bitrate, 128u);
  EXPECT_EQ(t.samplerate, 44100u);
  EXPECT_EQ(t.channels, 2u);
  EXPECT_TRUE(t.IsSkim());
  EXPECT_EQ(t.end_time, end.ToPacked());
  EXPECT_EQ(t.version, 200u);
  EXPECT_EQ(t.reserved2, 0u);
  EXPECT_EQ(t.magic, kTrailerMagic);
  EXPECT_EQ(t.length, 109u);
  EXPECT_TRUE(reader.GetFormat() == kFormat);
  EXPECT_TRUE(CZoneTime::IsSame(reader.GetStartTime(), start));
  EXPECT_TRUE(CZoneTime::IsSame(reader.GetEndTime(), end));
  EXPECT_TRUE(reader.IsOpen());

  ASSERT_TRUE(reader.ReadInfo(path).ok());
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_EQ(reader.GetDurationMs(), 2612u);
}

TEST_F(ArchiveFileTest, ZeroByteSegmentGetsAFullTrailer) {
  const CZoneTime start = T(2010, 3, 4, 5, 6, 7, 0);
  std::string path = WriteSegment(start, 0, CZoneTime());
  ASSERT_EQ(fs::file_size(path), kTrailerSize);
  CArchiveFileRead reader(Folder(), "mp3");
  ASSERT_TRUE(reader.ReadTrailer(path).ok());
  EXPECT_EQ(reader.GetSizeBytes(), 0u);
  EXPECT_EQ(reader.GetDurationMs(), 0u);
  EXPECT_EQ(reader.GetTrailer().end_time, 0u);
  EXPECT_TRUE(reader.GetEndTime().IsNull());
  EXPECT_FALSE(reader.OpenAt(start, 0, 1000).ok());  // no audio to stream
}

// A clock set back gives names of segments already recorded: they are never
// replaced, whatever form their name has.
TEST_F(ArchiveFileTest, AnExistingFileIsNeverReplaced) {
  const CZoneTime start = T(2010, 3, 4, 5, 6, 7, 0);
  const std::string path = WriteSegment(start, 10, CZoneTime());
  const std::vector<uint8_t> before = FileBytes(path);
  const std::string older = Folder() + "/2010.03.04/2010.03.04-05.06.08.mp3";
  fs::copy_file(path, older);
  for (const CZoneTime& taken : {start, T(2010, 3, 4, 5, 6, 8, 0)}) {
    CArchiveFileWrite writer(Folder(), "mp3", "Studio A");
    const auto opened = writer.Open(taken, kFormat, false);
    EXPECT_FALSE(opened.ok());
    EXPECT_TRUE(writer.NameTaken());
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_NE(opened.message().find("already exists"), std::string::npos) << opened.message();
    // A failure of another kind is no taken name.
    EXPECT_TRUE(writer.Open(T(2010, 3, 4, 5, 6, 9, 0), kFormat, false).ok());
    EXPECT_FALSE(writer.NameTaken());
    EXPECT_TRUE(writer.Close(CZoneTime()).ok());
    fs::remove(Folder() + "/2010.03.04/2010.03.04-05.06.09-S.mp3");
  }
  EXPECT_EQ(FileBytes(path), before);
  EXPECT_EQ(FileBytes(older), before);
}

TEST_F(ArchiveFileTest, CutOrDamagedFilesFailReadTrailer) {
  const std::string path = WriteSegment(T(2010, 3, 4, 5, 6, 7, 0), 4, CZoneTime());
  const std::vector<uint8_t> whole = FileBytes(path);
  auto write_bytes = [&](const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  };
  CArchiveFileRead reader(Folder(), "mp3");
  // Cut during recording: the audio without its trailer, or cut inside it.
  for (size_t keep : {4 * kBlock, 4 * kBlock + 50, whole.size() - 1, size_t{19}, size_t{0}}) {
    write_bytes(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(keep)));
    const auto read = reader.ReadTrailer(path);
    EXPECT_FALSE(read.ok()) << keep;
    EXPECT_NE(read.message().find(path), std::string::npos);
    EXPECT_FALSE(reader.IsOpen());
  }
  std::vector<uint8_t> bad = whole;
  bad[bad.size() - 10] ^= 0x01;  // magic
  write_bytes(bad);
  EXPECT_FALSE(reader.ReadTrailer(path).ok());
  EXPECT_FALSE(reader.ReadTrailer(Folder() + "/missing.mp3").ok());

  // A size field larger than the file does not turn the trailer into audio.
  bad = whole;
  PackU32(100000, &bad[4 * kBlock + 43]);
  write_bytes(bad);
  ASSERT_TRUE(reader.ReadTrailer(path).ok());
  EXPECT_EQ(reader.GetAudioBytes(), 4 * kBlock);
}

TEST_F(ArchiveFileTest, OlderFormIsReadAndConverted) {
  testing::ScopedZone zone(testing::kBerlin);
  fs::create_directories(dir_ / "2010.07.04");
  const std::string path = Folder() + "/2010.07.04/2010.07.04-05.06.07.mp3";
  SegmentTrailer t;
  t.source = "Old Studio";
  t.size_bytes = 2 * kBlock;
  t.duration_ms = 52;
  t.bitrate = 128;
  t.samplerate = 44100;
  t.channels = 2;
  t.skim = '1';
  std::array<uint8_t, kOldTrailerSize> image;
  // 05:06:07 CEST is 03:06:07 UTC.
  EncodeOldTrailer(t, 1278212767u, 1278213667u, image);
  std::vector<uint8_t> bytes = Blocks(2);
  bytes.insert(bytes.end(), image.begin(), image.end());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

  CArchiveFileRead reader(Folder(), "mp3");
  const auto read = reader.ReadInfo(path);
  ASSERT_TRUE(read.ok()) << read.message();
  const SegmentTrailer& r = reader.GetTrailer();
  EXPECT_TRUE(r.IsOlderForm());
  EXPECT_EQ(r.length, kOldTrailerSize);
  EXPECT_EQ(r.source, "Old Studio");
  EXPECT_EQ(r.start_time, T(2010, 7, 4, 5, 6, 7, 1).ToPacked());
  EXPECT_EQ(r.end_time, T(2010, 7, 4, 5, 21, 7, 1).ToPacked());
  EXPECT_EQ(r.size_bytes, 2 * kBlock);
  EXPECT_EQ(r.duration_ms, 52u);
  EXPECT_TRUE(r.IsSkim());
  EXPECT_TRUE(CZoneTime::IsSame(reader.GetStartTime(), T(2010, 7, 4, 5, 6, 7, 1)));

  // Streaming finds it under its older name.
  ASSERT_TRUE(reader.OpenAt(T(2010, 7, 4, 5, 6, 7, 1), 0, 10000).ok());
  EXPECT_EQ(reader.GetBytesLeft(), 2 * kBlock);
}

TEST_F(ArchiveFileTest, NameWinsOverTrailerAndMustParse) {
  const std::string standard = WriteSegment(T(2010, 3, 4, 5, 6, 7, 0), 1, CZoneTime());
  const std::string daylight = Folder() + "/2010.03.04/2010.03.04-05.06.07-D.mp3";
  fs::rename(standard, daylight);
  CArchiveFileRead reader(Folder(), "mp3");
  ASSERT_TRUE(reader.ReadInfo(daylight).ok());
  EXPECT_TRUE(CZoneTime::IsSame(reader.GetStartTime(), T(2010, 3, 4, 5, 6, 7, 1)));

  // The current form needs the zone letter in the name.
  const std::string bare = Folder() + "/2010.03.04/2010.03.04-05.06.07.mp3";
  fs::rename(daylight, bare);
  EXPECT_FALSE(reader.ReadInfo(bare).ok());
  fs::rename(bare, Folder() + "/2010.03.04/notes.mp3");
  EXPECT_FALSE(reader.ReadInfo(Folder() + "/2010.03.04/notes.mp3").ok());
}

TEST_F(ArchiveFileTest, ReadersAreRefusedWhileASegmentIsWritten) {
  const CZoneTime start = T(2010, 3, 4, 5, 6, 7, 0);
  CArchiveFileWrite writer(Folder(), "mp3", "Studio");
  ASSERT_TRUE(writer.Open(start, kFormat, false).ok());
  std::vector<uint8_t> data = Blocks(3);
  ASSERT_TRUE(writer.Write(data.data(), data.size()).ok());
  CArchiveFileRead reader(Folder(), "mp3");
  const auto read = reader.ReadTrailer(writer.GetFileName());
  EXPECT_FALSE(read.ok());
  // The segment tool tells a segment being written from a damaged one by the code.
  EXPECT_EQ(read.code(), logrum::platform::Status::kBusy);
  EXPECT_NE(read.message().find("being written"), std::string::npos) << read.message();
  EXPECT_FALSE(reader.OpenAt(start, 0, 1000).ok());
  const std::string path = writer.GetFileName();
  ASSERT_TRUE(writer.Close(CZoneTime()).ok());

  ASSERT_TRUE(reader.ReadTrailer(path).ok());
  EXPECT_EQ(reader.GetSizeBytes(), 3 * kBlock);
}

TEST_F(ArchiveFileTest, OpenAtSeeksByWholeBlocksAndStopsAtTheAudioEnd) {
  const CZoneTime start = T(2010, 3, 4, 5, 6, 7, 0);
  WriteSegment(start, 100, CZoneTime());  // 2612 ms
  CArchiveFileRead reader(Folder(), "mp3");

  ASSERT_TRUE(reader.OpenAt(start, 1000, 100).ok());  // block 38, 4 blocks
  EXPECT_EQ(reader.GetBytesLeft(), 4 * kBlock);
  std::vector<uint8_t> buffer(10000);
  ASSERT_EQ(reader.Read(buffer.data(), 100), 100u);
  EXPECT_EQ(buffer[0], 39);  // blocks are numbered from 1
  EXPECT_EQ(reader.Read(buffer.data(), buffer.size()), 4 * kBlock - 100);
  EXPECT_EQ(reader.Read(buffer.data(), buffer.size()), 0u);

  // A length beyond the end reads to the end of the audio, never the trailer.
  ASSERT_TRUE(reader.OpenAt(start, 2600, 60000).ok());
  size_t total = 0;
  while (size_t n = reader.Read(buffer.data(), 300)) {
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(buffer[i], 100);
    total += n;
  }
  EXPECT_EQ(total, kBlock);

  EXPECT_FALSE(reader.OpenAt(start, 2613, 1000).ok());  // block 100: past the audio
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_FALSE(reader.OpenAt(T(2010, 3, 4, 5, 6, 8, 0), 0, 1000).ok());  // no such segment
}

TEST_F(ArchiveFileTest, FailedWritesLeaveAConsistentFile) {
  // The file size limit stands in for a full disk.
  struct sigaction ignore {}, saved {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &saved);
  rlimit old_limit{};
  getrlimit(RLIMIT_FSIZE, &old_limit);

  const CZoneTime start = T(2010, 3, 4, 5, 6, 7, 0);
  CArchiveFileWrite writer(Folder(), "mp3", "Studio");
  ASSERT_TRUE(writer.Open(start, kFormat, false).ok());
  std::vector<uint8_t> data = Blocks(3);
  rlimit limit = old_limit;
  limit.rlim_cur = 900;
  setrlimit(RLIMIT_FSIZE, &limit);
  EXPECT_TRUE(writer.Write(data.data(), 2 * kBlock).ok());
  EXPECT_FALSE(writer.Write(data.data() + 2 * kBlock, kBlock).ok());  // 66 of 417 bytes fit
  EXPECT_EQ(writer.GetByteCount(), 2 * kBlock);
  EXPECT_EQ(fs::file_size(writer.GetFileName()), 2 * kBlock);
  EXPECT_FALSE(writer.Close(CZoneTime()).ok());  // the trailer does not fit either
  EXPECT_TRUE(writer.IsOpen());
  EXPECT_EQ(fs::file_size(writer.GetFileName()), 2 * kBlock);

  setrlimit(RLIMIT_FSIZE, &old_limit);
  sigaction(SIGXFSZ, &saved, nullptr);
  const std::string path = writer.GetFileName();
  ASSERT_TRUE(writer.Close(CZoneTime()).ok());
  CArchiveFileRead reader(Folder(), "mp3");
  ASSERT_TRUE(reader.ReadTrailer(path).ok());
  EXPECT_EQ(reader.GetSizeBytes(), 2 * kBlock);
  EXPECT_EQ(reader.GetAudioBytes(), 2 * kBlock);
}

TEST_F(ArchiveFileTest, DestructorKeepsTheTrailerAndOpenClosesThePreviousFile) {
  std::string first;
  {
    CArchiveFileWrite writer(Folder(), "mp3", "Studio");
    ASSERT_TRUE(writer.Open(T(2010, 3, 4, 5, 6, 7, 0), kFormat, false).ok());
    first = writer.GetFileName();
    std::vector<uint8_t> data = Blocks(2);
    ASSERT_TRUE(writer.Write(data.data(), data.size()).ok());
    ASSERT_TRUE(writer.Open(T(2010, 3, 5, 0, 0, 0, 0), kFormat, true).ok());  // a new day folder
    EXPECT_EQ(writer.GetFileName(), Folder() + "/2010.03.05/2010.03.05-00.00.00-S.mp3");
    ASSERT_TRUE(writer.Write(data.data(), kBlock).ok());
  }
  CArchiveFileRead reader(Folder(), "mp3");
  ASSERT_TRUE(reader.ReadInfo(first).ok());
  EXPECT_EQ(reader.GetSizeBytes(), 2 * kBlock);
  EXPECT_TRUE(reader.GetEndTime().IsNull());
  ASSERT_TRUE(reader.ReadInfo(Folder() + "/2010.03.05/2010.03.05-00.00.00-S.mp3").ok());
  EXPECT_EQ(reader.GetSizeBytes(), kBlock);
  EXPECT_TRUE(reader.IsSkim());
}

}  // namespace
}  // namespace logrum::archive
