#include "Lib/ArchiveManager/Storage/ArchiveThread.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <cstdio>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>

#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Segment/SegmentTrailer.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/ArchiveManager/Storage/tests/RecordingFixture.h"

namespace logrum::archive::testing {
namespace {

struct BoundaryCase {
  int hour, minute, second;
  int minutes;
  bool align;
  int day_after, hour_after, minute_after, second_after;  // expected end (day of January 2026)
};

class NextBoundaryTest : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(NextBoundaryTest, EndsOnTheExpectedTime) {
  const BoundaryCase& c = GetParam();
  CZoneTime start = Local(2026, 1, 10, c.hour, c.minute, c.second);
  CZoneTime end = ArchiveThread::NextBoundary(start, c.minutes, c.align);
  EXPECT_EQ(Text(end), Text(Local(2026, 1, c.day_after, c.hour_after, c.minute_after,
                                  c.second_after)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, NextBoundaryTest,
    ::testing::Values(
        // Less than a minute to the hour: the next hour is skipped.
        BoundaryCase{10, 59, 30, 60, true, 10, 12, 0, 0},
        BoundaryCase{10, 58, 30, 60, true, 10, 11, 0, 0},
        BoundaryCase{10, 59, 0, 60, true, 10, 11, 0, 0},
        BoundaryCase{10, 59, 30, 15, false, 10, 11, 14, 30},
        BoundaryCase{10, 7, 0, 15, true, 10, 10, 15, 0},
        BoundaryCase{10, 14, 10, 15, true, 10, 10, 30, 0},
        BoundaryCase{0, 0, 0, 15, true, 10, 0, 15, 0},
        // Past midnight into the next day.
        BoundaryCase{23, 50, 0, 15, true, 11, 0, 0, 0},
        BoundaryCase{23, 59, 30, 60, true, 11, 1, 0, 0},
        // A size that does not divide the day still counts from midnight.
        BoundaryCase{10, 0, 0, 25, true, 10, 10, 25, 0},
        // A size of 0 would end each segment at its start: it counts as 1.
        BoundaryCase{10, 0, 0, 0, true, 10, 10, 1, 0},
        BoundaryCase{10, 0, 0, 0, false, 10, 10, 1, 0}));

class ArchiveThreadTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (thread_) thread_->Stop();
  }

  void Make(int32_t max_adjust = 5, int32_t minutes = 15, bool align = true,
            uint32_t pre_delay_ms = 0) {
    encoder_ = std::make_unique<FakeSkimEncoder>(pre_delay_ms);
    thread_ = std::make_unique<ArchiveThread>(encoder_.get(), folder_.path(), ".mp3", "Studio A",
                                              &reports_, &log_, max_adjust, minutes, align);
    thread_->SetRetryDelays(10, 100);
    ASSERT_TRUE(thread_->Start());
  }

  // Hands one block to the thread and waits until it has dealt with it.
  void Feed(uint8_t state, uint32_t blocks = 1, const kit::AudioFormat& format = kFormat128) {
    ASSERT_TRUE(encoder_->Push(state, format, blocks * BlockSize(format)));
    ++pushed_;
    ASSERT_TRUE(thread_->WaitHandled(pushed_, 10000)) << "block " << pushed_ << " not handled";
  }
  void Push(uint8_t state, uint32_t blocks = 1, const kit::AudioFormat& format = kFormat128) {
    ASSERT_TRUE(encoder_->Push(state, format, blocks * BlockSize(format)));
    ++pushed_;
  }
  static void Advance(int64_t seconds) { TestClock().AdvanceUs(seconds * 1000000); }

  std::vector<std::string> ReportStarts() const {
    std::vector<std::string> out;
    for (const auto& r : reports_.Reports()) out.push_back(Text(r.start));
    return out;
  }
  uint64_t ReportedBytes() const {
    uint64_t sum = 0;
    for (const auto& r : reports_.Reports()) sum += r.size_bytes;
    return sum;
  }
  std::string PathOf(const std::string& relative) const { return folder_.path() + "/" + relative; }

  // Every report matches the trailer of its file, and each segment ends where
  // the next begins.
  void ExpectReportsMatchFiles() {
    auto reports = reports_.Reports();
    for (size_t i = 0; i < reports.size(); ++i) {
      const SegmentReport& r = reports[i];
      CArchiveFileRead reader(folder_.path(), ".mp3");
      std::string path = FindSegmentFile(folder_.path(), r.start, ".mp3");
      const auto read = reader.ReadInfo(path);
      ASSERT_TRUE(read.ok()) << path << ": " << read.message();
      EXPECT_EQ(Text(reader.GetStartTime()), Text(r.start));
      EXPECT_EQ(reader.GetSizeBytes(), r.size_bytes) << path;
      EXPECT_EQ(reader.GetDurationMs(), r.duration_ms) << path;
      EXPECT_EQ(reader.IsSkim(), r.skim) << path;
      EXPECT_EQ(reader.GetEndTime().GetWord(), r.end.GetWord()) << path;
      EXPECT_EQ(std::filesystem::file_size(path), r.size_bytes + kTrailerSize) << path;
      if (i + 1 < reports.size() && !r.end.IsNull()) {
        EXPECT_EQ(Text(r.end), Text(reports[i + 1].start));
      }
    }
  }

  TempDir folder_;
  MessageLog log_;
  ReportLog reports_;
  std::unique_ptr<FakeSkimEncoder> encoder_;
  std::unique_ptr<ArchiveThread> thread_;
  uint64_t pushed_ = 0;
};

TEST_F(ArchiveThreadTest, StartRefusesWithoutEncoder) {
  ArchiveThread thread(nullptr, folder_.path(), ".mp3", "S", &reports_, &log_, 5, 15, true);
  EXPECT_FALSE(thread.Start());
  thread.Stop();
  EXPECT_TRUE(reports_.Reports().empty());
}

TEST_F(ArchiveThreadTest, TwoHoursOfAlignedQuarterHourSegments) {
  SetLocal(2026, 1, 10, 10, 7, 0);
  Make(60, 15, true);  // blocks every 30 s are no clock step
  Feed(0);
  for (int i = 0; i < 240; ++i) {  // two hours, a block every 30 s
    Advance(30);
    Feed(0);
  }
  thread_->Stop();
  std::vector<std::string> expected = {"2026.01.10/2026.01.10-10.07.00-S.mp3"};
  for (int q = 1; q <= 8; ++q) {
    char name[64];
    std::snprintf(name, sizeof name, "2026.01.10/2026.01.10-%02d.%02d.00-S.mp3", 10 + q / 4,
                  (q % 4) * 15);
    expected.push_back(name);
  }
  EXPECT_EQ(SegmentFiles(folder_.path()), expected);
  ASSERT_EQ(reports_.Reports().size(), 9u);
  EXPECT_TRUE(reports_.Reports().back().end.IsNull());
  EXPECT_EQ(ReportedBytes(), 241u * 417u);
  ExpectReportsMatchFiles();
  EXPECT_TRUE(log_.Contains("INFO: Reason[0x1]: end_block: end=2026.01.10-10:15:00-S, "
                            "now=2026.01.10-10:15:00-S | "));
  EXPECT_EQ(log_.LevelsOf("INFO: Begin archive thread!\n"), std::vector<int32_t>{2});
  EXPECT_EQ(log_.LevelsOf("INFO: Exit archive thread!\n"), std::vector<int32_t>{2});
  EXPECT_TRUE(log_.Contains("INFO: Open new file " + PathOf("2026.01.10/2026.01.10-10.07.00-S.mp3") +
                            ". (skim OFF)\n"));
}

TEST_F(ArchiveThreadTest, UnalignedSegmentsCountFromTheirStart) {
  SetLocal(2026, 1, 10, 10, 59, 30);
  Make(60, 15, false);
  Feed(0);
  for (int i = 0; i < 40; ++i) {
    Advance(60);
    Feed(0);
  }
  thread_->Stop();
  EXPECT_EQ(ReportStarts(),
            (std::vector<std::string>{"2026.01.10-10:59:30-S", "2026.01.10-11:14:30-S",
                                      "2026.01.10-11:29:30-S"}));
}

TEST_F(ArchiveThreadTest, DaylightEndGivesDaylightThenStandardFilesOfTheSameNames) {
  // 25 October 2026: at 03:00 daylight time the clocks go back to 02:00.
  SetLocal(2026, 10, 25, 2, 10, 0, 1);
  Make(60, 15, true);
  Feed(0);
  for (int i = 0; i < 100; ++i) {
    Advance(60);
    Feed(0);
  }
  thread_->Stop();
  EXPECT_EQ(SegmentFiles(folder_.path()),
            (std::vector<std::string>{
                "2026.10.25/2026.10.25-02.00.00-S.mp3", "2026.10.25/2026.10.25-02.10.00-D.mp3",
                "2026.10.25/2026.10.25-02.15.00-D.mp3", "2026.10.25/2026.10.25-02.15.00-S.mp3",
                "2026.10.25/2026.10.25-02.30.00-D.mp3", "2026.10.25/2026.10.25-02.30.00-S.mp3",
                "2026.10.25/2026.10.25-02.45.00-D.mp3", "2026.10.25/2026.10.25-02.45.00-S.mp3"}));
  EXPECT_EQ(ReportStarts(),
            (std::vector<std::string>{"2026.10.25-02:10:00-D", "2026.10.25-02:15:00-D",
                                      "2026.10.25-02:30:00-D", "2026.10.25-02:45:00-D",
                                      "2026.10.25-02:00:00-S", "2026.10.25-02:15:00-S",
                                      "2026.10.25-02:30:00-S", "2026.10.25-02:45:00-S"}));
  EXPECT_TRUE(log_.Contains("INFO: Reason[0x3]: end_block: end=2026.10.25-02:00:00-S, "
                            "now=2026.10.25-02:00:00-S | dst_change: prev=ON, now=OFF\n"));
  ExpectReportsMatchFiles();
}

TEST_F(ArchiveThreadTest, DaylightStartSplitsAtTheSwitch) {
  // 29 March 2026: at 02:00 standard time the clocks go forward to 03:00.
  SetLocal(2026, 3, 29, 1, 50, 0, 0);
  Make(60, 60, false);
  Feed(0);
  for (int i = 0; i < 20; ++i) {
    Advance(60);
    Feed(0);
  }
  thread_->Stop();
  EXPECT_EQ(ReportStarts(),
            (std::vector<std::string>{"2026.03.29-01:50:00-S", "2026.03.29-03:00:00-D"}));
  EXPECT_TRUE(log_.Contains("INFO: Reason[0x2]: dst_change: prev=OFF, now=ON\n"));
}

struct StepCase {
  int64_t step_seconds;
  bool splits;
  const char* reason;
};

class ClockStepTest : public ArchiveThreadTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(ClockStepTest, StepBeyondTheMaximumSplits) {
  const StepCase& c = GetParam();
  SetLocal(2026, 1, 10, 10, 0, 0);
  Make(5, 240, false);
  Feed(0);
  Advance(1);
  Feed(0);
  TestClock().SetUs(TestClock().NowUs() + c.step_seconds * 1000000);
  const CZoneTime stepped = CZoneTime::Now();
  Feed(0);
  Advance(1);
  Feed(0);
  thread_->Stop();
  auto reports = reports_.Reports();
  if (!c.splits) {
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].size_bytes, 4u * 417u);
    EXPECT_FALSE(log_.Contains("Reason["));
    return;
  }
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(Text(reports[0].start), "2026.01.10-10:00:00-S");
  EXPECT_EQ(Text(reports[0].end), Text(stepped));
  EXPECT_EQ(Text(reports[1].start), Text(stepped));
  EXPECT_EQ(reports[0].size_bytes, 2u * 417u);
  EXPECT_EQ(reports[1].size_bytes, 2u * 417u);
  EXPECT_TRUE(log_.Contains(c.reason)) << c.reason;
  ExpectReportsMatchFiles();
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClockStepTest,
    ::testing::Values(
        StepCase{7200, true,
                 "INFO: Reason[0x8]: clock_change_fwd: prev=2026.01.10-10:00:01-S, "
                 "now=2026.01.10-12:00:01-S, diff=7200, max=5 |\n"},
        StepCase{-7200, true,
                 "INFO: Reason[0x4]: clock_change_back: prev=2026.01.10-10:00:01-S, "
                 "now=2026.01.10-08:00:01-S, diff=-7200, max=5 |\n"},
        StepCase{6, true, "diff=6, max=5 |"}, StepCase{-6, true, "diff=-6, max=5 |"},
        StepCase{5, false, ""}, StepCase{-5, false, ""}));

// A poster that holds the recording thread inside the first post that
// contains `text` until Release: the thread stalls there as it would on a
// slow fdatasync or a busy disk.
class StallingLog : public MessageLog {
 public:
  explicit StallingLog(std::string text) : text_(std::move(text)) {}
  void Post(int32_t level, const char* message) override {
    MessageLog::Post(level, message);
    if (message == nullptr || std::string(message).find(text_) == std::string::npos) return;
    std::unique_lock lock(gate_mu_);
    stalled_ = true;
    gate_cv_.notify_all();
    gate_cv_.wait(lock, [this] { return released_; });
  }
  bool WaitStalled() {
    std::unique_lock lock(gate_mu_);
    return gate_cv_.wait_for(lock, std::chrono::seconds(10), [this] { return stalled_; });
  }
  void Release() {
    std::lock_guard lock(gate_mu_);
    released_ = true;
    gate_cv_.notify_all();
  }

 private:
  const std::string text_;
  std::mutex gate_mu_;
  std::condition_variable gate_cv_;
  bool stalled_ = false;
  bool released_ = false;
};

// The recording thread is stuck for 30 s (MaxTimeAdjustSec 5) while capture
// goes on; the blocks captured meanwhile reach it late, all at once. They
// keep their capture times: no split, and the segment starts at its first
// block's capture (the encoder's pre-delay is already out of those times).
// A real step of the clock between two captured blocks still splits there.
TEST_F(ArchiveThreadTest, StalledRecordingThreadKeepsCaptureTimesARealStepSplits) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  const int64_t t0 = TestClock().NowUs();
  constexpr int64_t kBlockUs = 200000;
  constexpr int64_t kStepUs = 7200LL * 1000000;
  StallingLog log("INFO: Open file");
  encoder_ = std::make_unique<FakeSkimEncoder>(3000);
  thread_ = std::make_unique<ArchiveThread>(encoder_.get(), folder_.path(), ".mp3", "Studio A",
                                            &reports_, &log, 5, 240, false);
  ASSERT_TRUE(thread_->Start());
  ASSERT_TRUE(encoder_->PushCaptured(t0, 0, kFormat128, 417));
  ASSERT_TRUE(log.WaitStalled());
  TestClock().AdvanceUs(30 * 1000000);
  for (int64_t i = 1; i <= 150; ++i) {
    ASSERT_TRUE(encoder_->PushCaptured(t0 + i * kBlockUs, 0, kFormat128, 417));
  }
  log.Release();
  ASSERT_TRUE(thread_->WaitHandled(151, 10000));
  TestClock().SetUs(TestClock().NowUs() + kStepUs);
  ASSERT_TRUE(encoder_->PushCaptured(t0 + 151 * kBlockUs + kStepUs, 0, kFormat128, 417));
  ASSERT_TRUE(thread_->WaitHandled(152, 10000));
  thread_->Stop();

  auto reports = reports_.Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(Text(reports[0].start), "2026.01.10-10:00:00-S");
  EXPECT_EQ(reports[0].size_bytes, 151u * 417u);
  EXPECT_EQ(Text(reports[1].start), "2026.01.10-12:00:30-S");
  EXPECT_EQ(reports[1].size_bytes, 417u);
  const auto texts = log.Texts();
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                          [](const std::string& t) { return t.find("Reason[") != t.npos; }),
            1);
  EXPECT_TRUE(log.Contains("INFO: Reason[0x8]: clock_change_fwd: prev=2026.01.10-10:00:30-S, "
                           "now=2026.01.10-12:00:30-S, diff=7200, max=5 |\n"));
  ExpectReportsMatchFiles();
}

TEST_F(ArchiveThreadTest, SkimChangesSplitWithTheirTrailerFlags) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  Make(5, 60, true);
  Feed(0);
  Advance(10);
  Feed(1, 1, kFormat32);
  Feed(1, 1, kFormat32);  // same state: same file
  Advance(10);
  Feed(0);
  Feed(7, 1, kFormat32);  // another change within the same second: one second later
  thread_->Stop();
  EXPECT_EQ(ReportStarts(),
            (std::vector<std::string>{"2026.01.10-10:00:00-S", "2026.01.10-10:00:10-S",
                                      "2026.01.10-10:00:20-S", "2026.01.10-10:00:21-S"}));
  auto reports = reports_.Reports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_FALSE(reports[0].skim);
  EXPECT_TRUE(reports[1].skim);
  EXPECT_FALSE(reports[2].skim);
  EXPECT_TRUE(reports[3].skim);
  EXPECT_EQ(reports[1].size_bytes, 2 * BlockSize(kFormat32));
  CArchiveFileRead reader(folder_.path(), ".mp3");
  ASSERT_TRUE(reader.ReadInfo(PathOf("2026.01.10/2026.01.10-10.00.10-S.mp3")).ok());
  EXPECT_EQ(reader.GetFormat(), kFormat32);
  EXPECT_EQ(reader.GetTrailer().skim, '1');
  ExpectReportsMatchFiles();
  EXPECT_TRUE(log_.Contains(". (skim ON)\n"));
}

TEST_F(ArchiveThreadTest, EncoderClosedStateClosesWithoutOpening) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  Make(5, 15, true);
  Feed(0);
  Advance(5);
  Feed(255, 0);
  ASSERT_EQ(reports_.Reports().size(), 1u);
  EXPECT_TRUE(reports_.Reports()[0].end.IsNull());
  EXPECT_TRUE(log_.Contains("INFO: Close file " + PathOf("2026.01.10/2026.01.10-10.00.00-S.mp3") +
                            ". (encoder closed)\n"));
  // More closed blocks past the segment end open nothing.
  Advance(3600);
  Feed(255, 0);
  Feed(255, 0);
  EXPECT_EQ(SegmentFiles(folder_.path()).size(), 1u);
  Advance(5);
  Feed(0);
  thread_->Stop();
  EXPECT_EQ(ReportStarts(),
            (std::vector<std::string>{"2026.01.10-10:00:00-S", "2026.01.10-11:00:10-S"}));
  ExpectReportsMatchFiles();
}

TEST_F(ArchiveThreadTest, HeaderOnlyBlocksDriveSegmentsButWriteNothing) {
  SetLocal(2026, 1, 10, 10, 14, 0);
  Make(5, 15, true);
  Feed(0, 0);
  Advance(60);
  Feed(0, 0);
  thread_->Stop();
  auto reports = reports_.Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(Text(reports[1].start), "2026.01.10-10:15:00-S");
  EXPECT_EQ(reports[0].size_bytes, 0u);
  EXPECT_EQ(reports[0].duration_ms, 0u);
  ExpectReportsMatchFiles();
}

TEST_F(ArchiveThreadTest, PreDelayShiftsTheTimesByWholeSeconds) {
  SetLocal(2026, 1, 10, 10, 0, 10);
  Make(5, 15, true, 3900);
  Feed(0);
  thread_->Stop();
  EXPECT_EQ(ReportStarts(), std::vector<std::string>{"2026.01.10-10:00:07-S"});
}

TEST_F(ArchiveThreadTest, StopWritesEverythingQueued) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  Make(5, 15, true);
  for (int i = 0; i < 300; ++i) Push(0);
  thread_->Stop();
  EXPECT_FALSE(encoder_->has_reader());
  EXPECT_EQ(ReportedBytes(), 300u * 417u);
  ExpectReportsMatchFiles();
  EXPECT_FALSE(log_.Contains("not written"));
}

// A segment that cannot be created (its day folder is blocked by a file) is
// retried until it can, and no block waiting meanwhile is lost.
TEST_F(ArchiveThreadTest, FailedCreateIsRetriedWithoutLosingBlocks) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  const std::string day = folder_.path() + "/2026.01.10";
  { std::ofstream(day) << "in the way"; }
  Make(5, 15, true);
  Push(0);
  ASSERT_TRUE(log_.WaitFor("ERROR: Unable to open file!\n"));
  for (int i = 0; i < 5; ++i) Push(0);
  std::filesystem::remove(day);
  ASSERT_TRUE(thread_->WaitHandled(pushed_, 10000));
  Advance(1);
  Feed(0);
  thread_->Stop();
  EXPECT_EQ(ReportStarts(), std::vector<std::string>{"2026.01.10-10:00:00-S"});
  EXPECT_EQ(ReportedBytes(), 7u * 417u);
  EXPECT_EQ(log_.LevelsOf("ERROR: Unable to open file!\n"), std::vector<int32_t>{2});
  EXPECT_TRUE(log_.Contains("INFO: Recording resumed after"));
  ExpectReportsMatchFiles();
}

// A later segment's create failing (day folder blocked at midnight) is retried too.
TEST_F(ArchiveThreadTest, FailedCreateAtTheNextDayIsRetried) {
  SetLocal(2026, 1, 10, 23, 59, 0);
  Make(5, 15, true);
  Feed(0);
  { std::ofstream(folder_.path() + "/2026.01.11") << "in the way"; }
  Advance(60);
  Push(0);
  ASSERT_TRUE(log_.WaitFor("ERROR: Unable to open file!\n"));
  Push(0);
  std::filesystem::remove(folder_.path() + "/2026.01.11");
  ASSERT_TRUE(thread_->WaitHandled(pushed_, 10000));
  thread_->Stop();
  EXPECT_EQ(ReportStarts(),
            (std::vector<std::string>{"2026.01.10-23:59:00-S", "2026.01.11-00:00:00-S"}));
  EXPECT_EQ(ReportedBytes(), 3u * 417u);
  ExpectReportsMatchFiles();
}

// Writes failing for lack of room (the file size limit stands in for a full
// disk) are retried in the same file; the block that failed is written once
// room returns, and the file keeps its trailer.
TEST_F(ArchiveThreadTest, FailedWritesAreRetriedUntilThereIsRoom) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  Make(5, 15, true);
  Feed(0, 2);
  struct rlimit old_limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 1000;  // the file holds 834 bytes: no further block fits
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  Push(0);
  const bool failed = log_.WaitFor("ERROR: Write to file failed!\n");
  Push(0);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(failed);
  ASSERT_TRUE(thread_->WaitHandled(pushed_, 10000));
  thread_->Stop();
  EXPECT_EQ(log_.LevelsOf("ERROR: Write to file failed!\n"), std::vector<int32_t>{2});
  EXPECT_TRUE(log_.Contains("INFO: Write to file succeeded after"));
  auto reports = reports_.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].size_bytes, 4u * 417u);
  ExpectReportsMatchFiles();
}

// A day folder deleted while its segment is written: recording goes on in a
// new segment within the check interval, and no row is made for the lost file.
TEST_F(ArchiveThreadTest, RemovedSegmentFileMovesRecordingToANewSegment) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  Make(5, 15, true);
  Feed(0);
  std::filesystem::remove_all(folder_.path() + "/2026.01.10");
  Advance(1);
  Feed(0);  // within the check interval: still into the removed file
  Advance(2);
  Feed(0);
  Advance(1);
  Feed(0);
  thread_->Stop();
  EXPECT_TRUE(log_.Contains("ERROR: Segment file '" +
                            PathOf("2026.01.10/2026.01.10-10.00.00-S.mp3") +
                            "' was removed while recording!\n"));
  EXPECT_EQ(ReportStarts(), std::vector<std::string>{"2026.01.10-10:00:03-S"});
  EXPECT_EQ(ReportedBytes(), 2u * 417u);
  ExpectReportsMatchFiles();
}

// Writes that keep failing move the waiting block into a new segment after
// 30 s; that segment starts at the time the block was handed over, not at the
// time of the move.
TEST_F(ArchiveThreadTest, SegmentBegunAfterFailedWritesStartsAtItsFirstBlock) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  Make(5, 60, true);
  Feed(0, 2);
  Advance(5);
  struct rlimit old_limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 1000;  // 834 bytes and a trailer fit, a third block does not
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  Push(0);
  bool moved = log_.WaitFor("ERROR: Write to file failed!\n");
  Advance(40);
  moved = moved && log_.WaitFor(". (write failed)\n");
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(moved);
  ASSERT_TRUE(thread_->WaitHandled(pushed_, 10000));
  thread_->Stop();
  EXPECT_EQ(ReportStarts(),
            (std::vector<std::string>{"2026.01.10-10:00:00-S", "2026.01.10-10:00:05-S"}));
  auto reports = reports_.Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].size_bytes, 2u * 417u);
  EXPECT_EQ(reports[1].size_bytes, 417u);
  EXPECT_TRUE(log_.Contains("INFO: Open new file " +
                            PathOf("2026.01.10/2026.01.10-10.00.05-S.mp3") + ". (write failed)\n"));
  ExpectReportsMatchFiles();
}

// Ten minutes in which nothing can be written: the backlog keeps the newest
// five minutes and drops the oldest audio, so memory stops growing; the loss
// is posted with its length, and recording resumes, in a new segment at the
// gap, as soon as the disk takes writes again.
TEST_F(ArchiveThreadTest, LongWriteOutageKeepsMemoryFlatAndRecordingResumes) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  Make(5, 60, true);
  constexpr uint32_t kBlocksPerPush = 38;  // 992.65 ms of audio, 15846 bytes
  const double push_ms = kBlocksPerPush * BlockDurationMs(kFormat128);
  Feed(0, kBlocksPerPush);
  struct rlimit old_limit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 20000;  // the segment holds 15846 bytes: no further push fits
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  // One push per second of wall-clock time. The real-time ticks stand still,
  // so the outage stays in one file (no move after 30 s).
  auto push_second = [&](int i) {
    TestClock().SetUs(Local(2026, 1, 10, 10, 0, 0).ToUnixSeconds() * 1000000 + i * 1000000LL);
    Push(0, kBlocksPerPush);
  };
  push_second(1);
  const bool failing = log_.WaitFor("ERROR: Write to file failed!\n");
  uint32_t created_at_7_minutes = 0;
  for (int i = 2; i <= 600; ++i) {
    push_second(i);
    if (i == 420) created_at_7_minutes = encoder_->PoolBlocksCreated();
  }
  const uint32_t created_at_10_minutes = encoder_->PoolBlocksCreated();
  const double backlog_ms = thread_->BacklogMs();
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(failing);

  EXPECT_EQ(created_at_10_minutes, created_at_7_minutes);
  EXPECT_LE(backlog_ms, ArchiveThread::kBacklogMs);
  EXPECT_GT(backlog_ms, ArchiveThread::kBacklogMs * 0.9 - push_ms);
  EXPECT_EQ(log_.LevelsOf("WARNING: Nothing could be written and the backlog is full: dropping "
                          "the oldest audio waiting to be recorded!\n"),
            std::vector<int32_t>{2});

  // Back to normal: the block that waited, then the audio kept, then
  // what comes next.
  ASSERT_TRUE(log_.WaitFor("INFO: Write to file succeeded after"));
  const uint64_t kept = static_cast<uint64_t>(std::lround(backlog_ms / push_ms));
  ASSERT_TRUE(thread_->WaitHandled(2 + kept, 10000));
  push_second(601);
  ASSERT_TRUE(thread_->WaitHandled(3 + kept, 10000));
  thread_->Stop();
  const uint64_t dropped_ms = thread_->DroppedMs();
  const int dropped_pushes = static_cast<int>(std::lround(dropped_ms / push_ms));
  EXPECT_NEAR(dropped_ms, dropped_pushes * push_ms, 1.0);
  EXPECT_EQ(dropped_pushes, 600 - 1 - static_cast<int>(kept));  // all but the waiting and the kept
  EXPECT_TRUE(log_.Contains("WARNING: " + std::to_string(dropped_ms) +
                            " ms of audio were dropped while nothing could be written!\n"));
  EXPECT_TRUE(log_.Contains("audio_dropped: " + std::to_string(dropped_ms) + " ms |"));
  auto reports = reports_.Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(Text(reports[0].start), "2026.01.10-10:00:00-S");
  EXPECT_EQ(reports[0].size_bytes, 2u * kBlocksPerPush * 417u);
  // The first push kept was handed over at second 2 + dropped_pushes.
  CZoneTime first_kept = Local(2026, 1, 10, 10, 0, 0);
  first_kept.AddSeconds(2 + dropped_pushes);
  EXPECT_EQ(Text(reports[1].start), Text(first_kept));
  EXPECT_EQ(reports[1].size_bytes, (601u - 1u - dropped_pushes) * kBlocksPerPush * 417u);
  ExpectReportsMatchFiles();
}

// The clock set back over earlier recordings, or a file whose name differs
// only in case: the new segment never takes the name of a file that is there;
// it starts a second later, and says so.
TEST_F(ArchiveThreadTest, TakenNamesMoveTheStartOnBySeconds) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  std::filesystem::create_directories(PathOf("2026.01.10"));
  for (const char* name : {"2026.01.10-10.00.00-s.mp3", "2026.01.10-10.00.01.MP3"}) {
    std::ofstream(PathOf(std::string("2026.01.10/") + name)) << "not ours";
  }
  Make(5, 60, true);
  Feed(0);
  thread_->Stop();
  EXPECT_EQ(ReportStarts(), std::vector<std::string>{"2026.01.10-10:00:02-S"});
  EXPECT_TRUE(log_.Contains("WARNING: Segment file '" +
                            PathOf("2026.01.10/2026.01.10-10.00.00-s.mp3") +
                            "' already exists! The new segment starts at 2026.01.10-10:00:02-S "
                            "instead.\n"));
  for (const char* name : {"2026.01.10-10.00.00-s.mp3", "2026.01.10-10.00.01.MP3"}) {
    std::ifstream in(PathOf(std::string("2026.01.10/") + name));
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "not ours") << name;
  }
  ExpectReportsMatchFiles();
}

TEST_F(ArchiveThreadTest, StopGivesUpARetryAndCountsWhatWasNotWritten) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  { std::ofstream(folder_.path() + "/2026.01.10") << "in the way"; }
  Make(5, 15, true);
  Push(0);
  ASSERT_TRUE(log_.WaitFor("ERROR: Unable to open file!\n"));
  Push(0);
  Push(0);
  thread_->Stop();
  EXPECT_TRUE(log_.Contains("ERROR: Recording stopped with 3 blocks not written!\n"));
  EXPECT_TRUE(log_.Contains("INFO: Exit archive thread!\n"));
  EXPECT_TRUE(reports_.Reports().empty());
}

// The recording thread as slow as it gets: its poster holds it at the first
// "Open file" until the test lets it go, as a starved thread or a stalled
// disk would.
class GatedLog : public MessageLog {
 public:
  explicit GatedLog(std::string gate_text) : gate_text_(std::move(gate_text)) {}
  void Post(int32_t level, const char* text) override {
    MessageLog::Post(level, text);
    if (text == nullptr || std::string(text).find(gate_text_) == std::string::npos) return;
    std::unique_lock lock(mu_);
    held_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  bool WaitHeld() {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return held_; });
  }
  void Open() {
    std::lock_guard lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  const std::string gate_text_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool held_ = false, open_ = false;
};

// Past its drain time Stop writes no more: what waits is dropped, counted
// with its length, and the segment gets its trailer as it stands. The
// backlog's memory stays within its bound meanwhile.
TEST_F(ArchiveThreadTest, StopPastItsDrainTimeDropsTheRestAndFinishesTheSegment) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  GatedLog gated("INFO: Open file '");
  encoder_ = std::make_unique<FakeSkimEncoder>();
  encoder_->SetDroppedMs(250);  // the encoder's own drops count in the same figure
  thread_ = std::make_unique<ArchiveThread>(encoder_.get(), folder_.path(), ".mp3", "Studio A",
                                            &reports_, &gated, 5, 15, true);
  thread_->SetStopDrainMs(0);
  ASSERT_TRUE(thread_->Start());
  constexpr uint32_t kBlocksPerPush = 38;  // 992.65 ms, 15846 bytes in a 16 KiB block
  const double push_ms = kBlocksPerPush * BlockDurationMs(kFormat128);
  Push(0, kBlocksPerPush);
  ASSERT_TRUE(gated.WaitHeld());
  // Far more than the backlog keeps: it drops the oldest, within its bounds.
  constexpr int kPushes = ArchiveThread::kBacklogBlocks + 500;
  uint64_t most_bytes = 0;
  for (int i = 0; i < kPushes; ++i) {
    Push(0, kBlocksPerPush);
    most_bytes = std::max(most_bytes, thread_->BacklogBytes());
  }
  EXPECT_LE(most_bytes, uint64_t{ArchiveThread::kBacklogBlocks} * FakeSkimEncoder::kPoolBlockBytes);
  EXPECT_LE(most_bytes, ArchiveThread::kBacklogBytes);
  const double kept_ms = thread_->BacklogMs();
  const uint64_t backlog_dropped_ms = thread_->DroppedMs() - 250;
  EXPECT_GT(backlog_dropped_ms, 0u);

  auto stopped = std::async(std::launch::async, [this] { thread_->Stop(); });
  ASSERT_TRUE(encoder_->WaitReaderRemoved());  // Stop's drain time has begun (and ended)
  gated.Open();
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "hang guard";

  // The block that was being written when Stop came, and nothing after it.
  auto reports = reports_.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].size_bytes, kBlocksPerPush * 417u);
  ExpectReportsMatchFiles();
  unsigned long long late_ms = 0, late_blocks = 0;
  for (const std::string& text : gated.Texts()) {
    std::sscanf(text.c_str(),
                "WARNING: Recording stopped: %llu ms of audio (%llu blocks) could not be written",
                &late_ms, &late_blocks);
  }
  EXPECT_NEAR(static_cast<double>(late_ms), kept_ms, 1.0);
  EXPECT_EQ(late_blocks, static_cast<unsigned long long>(std::lround(kept_ms / push_ms)));
  EXPECT_TRUE(gated.Contains("blocks) could not be written in time and were dropped!\n"));
  EXPECT_NEAR(static_cast<double>(thread_->DroppedMs()),
              250.0 + static_cast<double>(backlog_dropped_ms) + kept_ms, 2.0);
  EXPECT_NEAR(static_cast<double>(thread_->DroppedMs() - 250), kPushes * push_ms, kPushes * 0.01);
  EXPECT_EQ(thread_->BacklogBytes(), 0u);
}

}  // namespace
}  // namespace logrum::archive::testing
