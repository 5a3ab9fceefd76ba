// Whole-system recording: archsvc.so records a virtual `file:` device through
// audiosrc.so and the real encoder audenc.so, on an accelerated clock that
// crosses the start of daylight-saving time, with the skim switch flipped on
// and off. Checked afterwards: segment names, trailers and database rows agree;
// the segments end on the right boundaries with the right skim flags; and the
// joined, decoded audio lines up with the source file with nothing missing or
// repeated.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "Lib/ArchiveManager/Archive/testing/ArchiveHost.h"
#include "Lib/ArchiveManager/Archive/testing/HostOptions.h"
#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"
#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/ArchiveManager/Time/TimeFormat.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Platform/Clock.h"
#include "Lib/Platform/TimeZone.h"
#include "tests/support/InProcessArchive.h"
#include "tests/support/SystemTest.h"
#include "tests/support/TestSupport.h"

namespace logrum::archive {
namespace {

constexpr int kRate = 44100;
constexpr int kLoopSeconds = 20;
constexpr double kSpeed = 4.0;
// 29 March 2026: at 02:00 standard time the clocks go forward to 03:00.
constexpr char kClockSpec[] = "start=2026-03-29T01:58:40,speed=4";
constexpr char kZone[] = "CET-1CEST,M3.5.0,M10.5.0/3";

std::string TempRoot() {
  return logrum::testing::ProgramFolder("recording");
}

// Stereo chirps (left up, right down) over the loop: every position of the
// source has its own frequency, so an alignment is unambiguous.
std::vector<int16_t> MakeSource() {
  const int frames = kRate * kLoopSeconds;
  std::vector<int16_t> pcm(static_cast<size_t>(frames) * 2);
  const double f0 = 200, f1 = 4000, T = kLoopSeconds;
  for (int i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double up = 2 * M_PI * (f0 * t + (f1 - f0) * t * t / (2 * T));
    const double down = 2 * M_PI * (f1 * t - (f1 - f0) * t * t / (2 * T));
    pcm[2 * i] = static_cast<int16_t>(9000 * std::sin(up));
    pcm[2 * i + 1] = static_cast<int16_t>(9000 * std::sin(down));
  }
  return pcm;
}

void WriteWav(const std::string& path, const std::vector<int16_t>& pcm) {
  logrum::testing::WriteStereoWav(path, pcm, kRate);
}

struct Segment {
  std::string path;
  CZoneTime start;
  uint32_t size = 0;
  uint32_t duration_ms = 0;
  bool skim = false;
  CZoneTime end;
};

std::string Text(const CZoneTime& t) {
  char buffer[40];
  return Format(t, "%x", buffer, sizeof buffer) < 0 ? "?" : buffer;
}

// Decodes a layer 3 stream with mpg123 into 16-bit stereo samples.
bool Decode(const std::string& mp3, std::vector<int16_t>* pcm) {
  const std::string raw = mp3 + ".raw";
  const std::string command = "mpg123 -q -s -e s16 -r 44100 --stereo " + mp3 + " > " + raw;
  if (std::system(command.c_str()) != 0) return false;
  std::ifstream in(raw, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  pcm->assign(reinterpret_cast<const int16_t*>(bytes.data()),
              reinterpret_cast<const int16_t*>(bytes.data()) + bytes.size() / 2);
  return true;
}

// The source frame offset (within the loop) that best matches decoded frames
// [at, at + window), searched over [from, to).
int64_t Align(const std::vector<int16_t>& source, const std::vector<int16_t>& decoded, size_t at,
              int64_t from, int64_t to) {
  const int64_t frames = static_cast<int64_t>(source.size() / 2);
  const int window = 2048;
  double best = -1e300;
  int64_t best_offset = from;
  for (int64_t off = from; off < to; ++off) {
    double sum = 0;
    for (int i = 0; i < window; ++i) {
      const int64_t s = ((off + i) % frames + frames) % frames;
      sum += static_cast<double>(source[2 * s]) * decoded[2 * (at + i)];
    }
    if (sum > best) {
      best = sum;
      best_offset = off;
    }
  }
  return best_offset;
}

// Signal-to-noise ratio (dB) of decoded frames [at, at + count) against the
// source from frame `offset` on, both channels.
double Snr(const std::vector<int16_t>& source, const std::vector<int16_t>& decoded, size_t at,
           size_t count, int64_t offset) {
  const int64_t frames = static_cast<int64_t>(source.size() / 2);
  double signal = 0, noise = 0;
  for (size_t i = 0; i < count; ++i) {
    const int64_t s = (offset + static_cast<int64_t>(i)) % frames;
    for (int c = 0; c < 2; ++c) {
      const double a = source[2 * s + c];
      const double b = decoded[2 * (at + i) + c];
      signal += a * a;
      noise += (a - b) * (a - b);
    }
  }
  return 10 * std::log10(signal / std::max(noise, 1.0));
}

class RecordingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    source_ = MakeSource();
    WriteWav(TempRoot() + "/source.wav", source_);
  }
  // Waits until the process clock reads at least the local time.
  static void WaitUntilLocal(int hour, int minute, int second, int daylight) {
    CZoneTime t;
    ASSERT_TRUE(t.Set(2026, 3, 29, hour, minute, second, daylight));
    platform::DefaultClock().WaitUntil(t.ToUnixSeconds() * 1000000, std::stop_token());
  }

  static std::vector<int16_t> source_;
};
std::vector<int16_t> RecordingTest::source_;

TEST_F(RecordingTest, SegmentsAreGapFreeAndAgreeWithTheirIndex) {
  testing::ArchiveHost host;
  ASSERT_NO_FATAL_FAILURE(logrum::testing::LoadBuiltLibraries(host, "Studio"));

  testing::HostOptions options;
  logrum::testing::PlaceArchive(&options, TempRoot(), "Studio");
  options.live_bitrate_k = 32;  // the default live encoder runs alongside
  options.live_block_duration = 1000;
  options.off_bitrate_k = 128;
  options.off_sample_rate = 44100;
  options.off_channels = 2;
  options.on_bitrate_k = 128;
  options.segment_minutes = 1;
  options.segment_align = 1;
  options.max_time_adjust_sec = 5;
  testing::HostSkimSwitch skim_switch;
  logrum::testing::ArchiveLogLines listener;

  IArchive* archive = nullptr;
  ASSERT_NO_FATAL_FAILURE(
      logrum::testing::OpenArchive(host, "Studio A", options, skim_switch, &listener, &archive));
  EXPECT_TRUE(archive->IsActive());
  const CZoneTime opened = CZoneTime::Now();

  // Skim on for 40 s, then off again.
  WaitUntilLocal(3, 0, 40, 1);
  skim_switch.on = true;
  WaitUntilLocal(3, 1, 20, 1);
  skim_switch.on = false;
  WaitUntilLocal(3, 1, 50, 1);
  const CZoneTime closing = CZoneTime::Now();
  archive->Close();
  EXPECT_FALSE(archive->IsActive());
  archive->Release();
  host.Unload();

  // Every segment file, in start order, with its trailer.
  std::vector<Segment> segments;
  for (const std::string& file : logrum::testing::SegmentFiles(options.archive_path)) {
    CArchiveFileRead reader(options.archive_path, ".mp3");
    const auto read = reader.ReadInfo(file);
    ASSERT_TRUE(read.ok()) << read.message();
    segments.push_back({file, reader.GetStartTime(), reader.GetSizeBytes(), reader.GetDurationMs(),
                        reader.IsSkim(), reader.GetEndTime()});
  }
  std::sort(segments.begin(), segments.end(), [](const Segment& a, const Segment& b) {
    return CZoneTime::Difference(a.start, b.start) < 0;
  });
  std::vector<std::string> names;
  for (const Segment& s : segments) names.push_back(Text(s.start) + (s.skim ? " skim" : ""));
  for (const std::string& line : listener.Lines()) std::printf("  log: %s", line.c_str());
  for (const std::string& name : names) std::printf("  segment: %s\n", name.c_str());

  // The boundaries: the start, the daylight switch (02:00 standard = 03:00
  // daylight), and the two skim changes (at the encoder's block edges, within
  // a second of the switch). The segment begun by the first change at about
  // 03:00:40 runs to 03:02:00, not 03:01:00: alignment starts no segment
  // shorter than a minute.
  ASSERT_EQ(segments.size(), 4u);
  EXPECT_LE(std::abs(CZoneTime::Difference(segments[0].start, opened)) / 1e7, 1.0);
  EXPECT_EQ(Text(segments[1].start), "2026.03.29-03:00:00-D");
  std::vector<bool> flags;
  for (const Segment& s : segments) flags.push_back(s.skim);
  EXPECT_EQ(flags, (std::vector<bool>{false, false, true, false}));
  EXPECT_NEAR(CZoneTime::Difference(segments[2].start, segments[1].start) / 1e7, 40, 2);
  EXPECT_NEAR(CZoneTime::Difference(segments[3].start, segments[2].start) / 1e7, 40, 2);
  for (size_t i = 0; i + 1 < segments.size(); ++i) {
    EXPECT_EQ(Text(segments[i].end), Text(segments[i + 1].start)) << i;
  }
  EXPECT_TRUE(segments.back().end.IsNull());

  // Names and database rows agree with the trailers.
  AudioDatabaseSql db;
  ASSERT_TRUE(db.Open(options.archive_path).ok());
  struct Row {
    CZoneTime start;
    uint32_t duration;
    bool skim;
  };
  std::vector<Row> rows;
  CZoneTime day_start, day_end;
  ASSERT_TRUE(day_start.Set(2026, 3, 29, 0, 0, 0, 0));
  ASSERT_TRUE(day_end.Set(2026, 3, 30, 0, 0, 0, 1));
  const platform::Status index = db.GetIndex(
      day_start, day_end,
      [](const CZoneTime& start, uint32_t duration, bool skim, void* context) {
        static_cast<std::vector<Row>*>(context)->push_back({start, duration, skim});
        return true;
      },
      &rows);
  ASSERT_TRUE(index.ok()) << index.message();
  ASSERT_EQ(rows.size(), segments.size());
  uint64_t total_ms = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(Text(rows[i].start), Text(segments[i].start));
    EXPECT_EQ(rows[i].duration, segments[i].duration_ms);
    EXPECT_EQ(rows[i].skim, segments[i].skim);
    EXPECT_EQ(segments[i].path, SegmentFileName(options.archive_path, segments[i].start, ".mp3"));
    EXPECT_EQ(std::filesystem::file_size(segments[i].path), segments[i].size + 109u);
    total_ms += segments[i].duration_ms;
  }
  db.Close();

  // The recorded time: from the first segment's start to the close. The sum
  // of the durations is shorter only by what was still in the pipeline
  // (capture block, encoder) at the close, and by the start's truncation to
  // a whole second.
  const double recorded_ms = CZoneTime::Difference(closing, segments[0].start) / 1e4;
  std::printf("  recorded %.0f ms, segments hold %llu ms\n", recorded_ms,
              static_cast<unsigned long long>(total_ms));
  EXPECT_NEAR(static_cast<double>(total_ms), recorded_ms, 1000 + 836 + 2 * 26.2);

  // Join the segments' audio and decode it in one go.
  const std::string joined = TempRoot() + "/joined.mp3";
  {
    std::ofstream out(joined, std::ios::binary);
    for (const Segment& s : segments) {
      std::ifstream in(s.path, std::ios::binary);
      std::vector<char> data(s.size);
      in.read(data.data(), s.size);
      out.write(data.data(), s.size);
    }
  }
  std::vector<int16_t> decoded;
  ASSERT_TRUE(Decode(joined, &decoded));
  const size_t frames = decoded.size() / 2;
  // Every byte of audio decodes: 1152 samples per 417-byte block.
  uint64_t total_bytes = 0;
  for (const Segment& s : segments) total_bytes += s.size;
  EXPECT_EQ(total_bytes % 417, 0u);
  EXPECT_EQ(frames, total_bytes / 417 * 1152);

  // Align the start (past the encoder's start delay), then hold that
  // alignment to the end: a missing or repeated stretch anywhere would break
  // it for the rest of the recording.
  const size_t skip = 4096;
  const int64_t offset = Align(source_, decoded, skip, 0, 5 * kRate);
  std::printf("  source offset of decoded frame %zu: %lld (encoder delay %lld frames)\n", skip,
              static_cast<long long>(offset), static_cast<long long>(skip - offset));
  double worst = 1e9;
  size_t worst_at = 0;
  for (size_t at = skip; at + kRate <= frames; at += kRate / 2) {
    const double snr = Snr(source_, decoded, at, kRate / 2, offset + (at - skip));
    if (snr < worst) {
      worst = snr;
      worst_at = at;
    }
  }
  std::printf("  worst half-second SNR %.1f dB at %.2f s of %.2f s\n", worst,
              static_cast<double>(worst_at) / kRate, static_cast<double>(frames) / kRate);
  EXPECT_GT(worst, 12.0);
}

// A stop records every sample handed over: the skim encoder holds back
// PreDelay of audio (and its last partial block), and its closing flush must
// reach the segment before the recording thread stops.
TEST_F(RecordingTest, StopRecordsTheAudioHeldBackForPreDelay) {
  testing::ArchiveHost host;
  ASSERT_NO_FATAL_FAILURE(logrum::testing::LoadBuiltLibraries(host, "Studio"));

  testing::HostOptions options;
  options.log_path = TempRoot() + "/logs-stop";
  options.archive_path = TempRoot() + "/archive-stop";
  options.source_name = "Studio";
  options.live_bitrate_k = 0;
  options.off_bitrate_k = 128;
  options.off_sample_rate = 44100;
  options.off_channels = 2;
  options.pre_delay = 3000;
  options.segment_minutes = 60;
  testing::HostSkimSwitch skim_switch;
  logrum::testing::ArchiveLogLines listener;

  IArchive* archive = host.manager()->CreateArchive("Studio Stop");
  ASSERT_NE(archive, nullptr);
  const int64_t opened_us = platform::DefaultClock().NowUs();
  ASSERT_TRUE(archive->Open(&options, &skim_switch, nullptr, true, &listener));
  platform::DefaultClock().WaitUntil(opened_us + 10'030'000, std::stop_token());
  archive->Close();
  const int64_t closed_us = platform::DefaultClock().NowUs();
  archive->Release();
  host.Unload();

  uint64_t total_ms = 0;
  for (const std::string& file : logrum::testing::SegmentFiles(options.archive_path)) {
    CArchiveFileRead reader(options.archive_path, ".mp3");
    const auto read = reader.ReadInfo(file);
    ASSERT_TRUE(read.ok()) << read.message();
    total_ms += reader.GetDurationMs();
  }
  const double elapsed_ms = static_cast<double>(closed_us - opened_us) / 1000;
  std::printf("  input for %.0f ms, segments hold %llu ms\n", elapsed_ms,
              static_cast<unsigned long long>(total_ms));
  // Short only by what had not reached the encoder at the stop (the capture
  // buffer in flight, the start of capture), never by the 3 s held back.
  EXPECT_GT(static_cast<double>(total_ms), elapsed_ms - 1000);
  EXPECT_LT(static_cast<double>(total_ms), elapsed_ms + 100);
}

}  // namespace
}  // namespace logrum::archive

int main(int argc, char** argv) {
  logrum::testing::SetUpVirtualStation(
      logrum::archive::kZone, logrum::archive::kClockSpec,
      "Studio=file:" + logrum::archive::TempRoot() + "/source.wav");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
