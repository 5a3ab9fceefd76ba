// recserver as a station runs it, through a crash and through a full disk
// quota: a child process with its own state folder, a virtual file device on
// an accelerated clock, the built libraries, logrum-client and ffmpeg.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/Platform/Registry.h"
#include "tests/support/Recserver.h"
#include "tests/support/SystemTest.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestSupport.h"
#include "tests/support/Users.h"

namespace logrum::archive {
namespace {

namespace fs = std::filesystem;
using namespace logrum::testing;  // the whole-system fixtures

constexpr int kRate = 44100;
constexpr int kSourceSeconds = 20;
constexpr char kClock[] = "start=2026-06-01T10:00:00,speed=8";
// The restart comes later in the day, as it would: a recorder started at the
// same time would make a new segment of the same name.
constexpr char kLaterClock[] = "start=2026-06-01T10:30:00,speed=8";

// The source: three tones of incommensurate pitch under a slow swell, so that
// no stretch of it looks like another and a recording can be placed in it.
std::vector<int16_t> SourcePcm() {
  std::vector<int16_t> pcm(static_cast<size_t>(kRate) * kSourceSeconds * 2);
  for (size_t i = 0; i < pcm.size() / 2; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double swell = 0.6 + 0.4 * std::sin(2 * M_PI * 0.37 * t);
    const double v = swell * (0.5 * std::sin(2 * M_PI * 313.3 * t) +
                              0.3 * std::sin(2 * M_PI * 1171.7 * t + 0.5) +
                              0.2 * std::sin(2 * M_PI * 2711.1 * t + 1.0));
    pcm[2 * i] = static_cast<int16_t>(9000 * v);
    pcm[2 * i + 1] = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 523.0 * t));
  }
  return pcm;
}

class UpkeepTest : public RecserverFixture<> {
 protected:
  void SetUp() override {
    RecserverFixture::SetUp();
    WriteStereoWav(root_ + "/source.wav", SourcePcm(), kRate);
    devices_ = "Tone=file:" + root_ + "/source.wav";
  }
  // An auto-started archive recording 128 kbit/s stereo; returns its folder.
  std::string AddArchive(const std::string& name, uint32_t segment_minutes) {
    const std::string key = std::string(kLogrum2Key) + "\\Archives\\" + name;
    const std::string folder = root_ + "/" + name;
    fs::create_directories(folder);
    PutString(key, "ArchivePath", folder);
    PutString(key, "LogPath", root_ + "/logs");
    PutString(key, "LogPrefix", name);
    PutString(key, "SourceName", "Studio");
    PutInt(key, "SegmentSizeMinutes", segment_minutes);
    PutInt(key, "OffBitrateK", 128);
    PutInt(key, "OffSampleRate", kRate);
    PutInt(key, "OffChannels", 2);
    PutInt(key, "AutoStart", 1);
    return folder;
  }
  std::string ArchiveLog(const std::string& name) {
    return ReadFileText(root_ + "/logs/" + name + "2026-06-01.log");
  }
  CommandRun Client(const std::string& arguments) {
    return RunLogrumClient(port_, "--user anna --password secret " + arguments,
                           root_ + "/client.err");
  }
  // The program, recording from the source file on `clock`.
  RecserverOptions Server(const char* clock = kClock) const {
    return {home_, devices_, {std::string("LOGRUM2_CLOCK=") + clock, "TZ=UTC0"}};
  }

  std::string devices_;
};

// Where in the (looping) source the decoded left channel starts: every
// offset against a thinned-out stretch of the recording, then the best one
// nearby against all of it. (The correlation peak is a few samples wide, so
// the offsets themselves cannot be thinned out.)
size_t PlaceInSource(const std::vector<int16_t>& decoded, const std::vector<int16_t>& source) {
  const size_t length = source.size() / 2;
  const size_t frames = decoded.size() / 2;
  auto score = [&](size_t offset, size_t from, size_t to, size_t step) {
    double sum = 0;
    for (size_t i = from; i < to && i < frames; i += step) {
      sum -= std::abs(double(decoded[2 * i]) - source[2 * ((offset + i) % length)]);
    }
    return sum;
  };
  size_t best = 0;
  double best_score = -1e300;
  for (size_t offset = 0; offset < length; ++offset) {
    const double s = score(offset, 2048, 2048 + 8192, 16);
    if (s > best_score) best_score = s, best = offset;
  }
  size_t fine = best;
  best_score = -1e300;
  for (size_t offset = best + length - 8; offset <= best + length + 8; ++offset) {
    const double s = score(offset, 2048, 2048 + kRate, 1);
    if (s > best_score) best_score = s, fine = offset % length;
  }
  return fine;
}

TEST_F(UpkeepTest, SegmentCutByAKillIsRepairedAtTheNextStartIndexedAndPlayed) {
  const std::string folder = AddArchive("News", 15);
  AddUser(store_.get(), "anna", "secret", "News", 3);
  store_.reset();  // the program opens the store itself

  std::string segment;
  uint64_t cut_size = 0;
  {
    RecserverProcess server(Server());
    // Several seconds of audio in the first segment, then the power goes.
    ASSERT_TRUE(Eventually([&] {
      std::vector<std::string> files = SegmentFiles(folder);
      std::error_code ec;
      return !files.empty() && fs::file_size(files[0], ec) > 200'000 && !ec;
    })) << ArchiveLog("News");
    server.Signal(SIGKILL);
    EXPECT_EQ(server.Wait(), -1);
    segment = SegmentFiles(folder).at(0);
    cut_size = fs::file_size(segment);
  }
  CArchiveFileRead cut(folder, ".mp3");
  ASSERT_FALSE(cut.ReadInfo(segment).ok());  // no trailer: it would never be indexed

  RecserverProcess server(Server(kLaterClock));
  ASSERT_TRUE(Eventually([&] {
    return ArchiveLog("News").find("INFO: Repaired segment " + segment + ": ") != std::string::npos;
  })) << ArchiveLog("News");
  CArchiveFileRead repaired(folder, ".mp3");
  const auto read = repaired.ReadInfo(segment);
  ASSERT_TRUE(read.ok()) << read.message();
  // Cut back to the last whole frame of 417 bytes, nothing more.
  EXPECT_EQ(repaired.GetSizeBytes(), cut_size - cut_size % 417);
  EXPECT_GT(repaired.GetSizeBytes(), 200'000u - 417);
  const uint32_t duration_ms = repaired.GetDurationMs();
  EXPECT_NE(ArchiveLog("News").find("INFO: Repaired segment " + segment + ": " +
                                    std::to_string(duration_ms) + " ms of audio."),
            std::string::npos);

  // Listed by the client, with the repaired duration.
  const std::string stem = fs::path(segment).stem().string();
  CommandRun index;
  ASSERT_TRUE(Eventually([&] {
    index = Client("index News 2026-06-01T10:00:00 2026-06-01T11:00:00");
    return index.out.find(stem) != std::string::npos;
  })) << index.out
      << ReadFileText(root_ + "/client.err");
  EXPECT_NE(index.out.find(stem + " " + std::to_string(duration_ms)),
            std::string::npos)
      << index.out;

  // Played whole, and decoded: the source, frame for frame, to the cut.
  const std::string played = root_ + "/played.mp3";
  const CommandRun play = Client("play News " + stem + " -o " + played);
  ASSERT_EQ(play.status, 0) << ReadFileText(root_ + "/client.err");
  EXPECT_EQ(fs::file_size(played), repaired.GetSizeBytes());
  const std::vector<int16_t> decoded = DecodeWithFfmpeg(played, 2, kRate);
  const size_t frames = decoded.size() / 2;
  EXPECT_NEAR(static_cast<double>(frames) * 1000 / kRate, duration_ms, 1152.0 * 1000 / kRate);
  const std::vector<int16_t> source = SourcePcm();
  const size_t length = source.size() / 2;
  const size_t offset = PlaceInSource(decoded, source);
  // Each 1152-sample frame of the left channel after the decoder's first
  // against the source at that place: the error stays far below the signal.
  int bad_frames = 0;
  size_t checked = 0;
  for (size_t start = 1152; start + 1152 <= frames; start += 1152) {
    double signal = 0, error = 0;
    for (size_t i = start; i < start + 1152; ++i) {
      const double s = source[2 * ((offset + i) % length)];
      const double d = decoded[2 * i];
      signal += s * s;
      error += (d - s) * (d - s);
    }
    if (error * 10 > signal) ++bad_frames;  // less than 10 dB apart
    ++checked;
  }
  EXPECT_GT(checked, 100u);
  EXPECT_EQ(bad_frames, 0) << "offset " << offset;

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
}

TEST_F(UpkeepTest, NeverEraseStopsRecordingAtTheQuotaAndResumesWhenSegmentsAreRemovedByHand) {
  const std::string folder = AddArchive("Court", 1);
  const std::string key = std::string(kLogrum2Key) + "\\Archives\\Court";
  PutInt(key, "DiskSpaceToUseKB", 100);  // about six seconds at 128 kbit/s
  PutInt(key, "EraseBehavior", 1);       // never erase
  PutInt(key, "RecyclePeriodMsec", 1000);
  store_.reset();

  RecserverProcess server(Server());
  const std::string stopped = "recording stopped at ";
  ASSERT_TRUE(Eventually([&] { return ArchiveLog("Court").find(stopped) != std::string::npos; }))
      << ArchiveLog("Court");
  std::string log = ArchiveLog("Court");
  EXPECT_NE(log.find("(storage full)", log.find(stopped)), std::string::npos) << log;
  // The segment is closed (state 255) and nothing more is recorded.
  ASSERT_TRUE(Eventually(
      [&] { return ArchiveLog("Court").find("(encoder closed)") != std::string::npos; }));
  const std::vector<std::string> kept = SegmentFiles(folder);
  ASSERT_EQ(kept.size(), 1u);
  CArchiveFileRead reader(folder, ".mp3");
  // The message comes just before the trailer is written.
  logrum::platform::Status read;
  ASSERT_TRUE(Eventually([&] { return (read = reader.ReadInfo(kept[0])).ok(); })) << read.message();
  EXPECT_GE(reader.GetSizeBytes(), 100'000u - 417 * 8);
  EXPECT_LE(reader.GetSizeBytes(), 260'000u);  // the flag is read every 500 ms, on a fast clock
  EXPECT_EQ(ArchiveLog("Court").find("deleted", log.find(stopped)), std::string::npos);

  // The engineer removes it; recording resumes in a new segment.
  const size_t before = ArchiveLog("Court").size();
  fs::remove(kept[0]);
  ASSERT_TRUE(Eventually([&] {
    const std::string later = ArchiveLog("Court").substr(before);
    return later.find("INFO: Skim encoder: skim OFF") != std::string::npos &&
           later.find("INFO: Open file '") != std::string::npos;
  })) << ArchiveLog("Court");
  ASSERT_TRUE(Eventually([&] {
    const std::vector<std::string> files = SegmentFiles(folder);
    std::error_code ec;
    return files.size() == 1 && files[0] != kept[0] && fs::file_size(files[0], ec) > 8192;
  }));

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
}

}  // namespace
}  // namespace logrum::archive
