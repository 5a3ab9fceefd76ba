// Recycling on a real archive folder: segment files and their rows, the
// manual clock of StorageTestMain.cc for ages, and a fake disk for the free
// space.
#include "Lib/ArchiveManager/Storage/RecycleThread.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Storage/StorageManager.h"
#include "Lib/ArchiveManager/Storage/tests/RecordingFixture.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"

namespace logrum::archive::testing {
namespace {

namespace fs = std::filesystem;

constexpr size_t kFrames = 24;  // 10,008 bytes: 10 KiB in the index

// Free space that grows by what is deleted from the folder: `base` bytes plus
// 10,008 for every segment file gone since construction.
class FakeDisk : public platform::DiskSpace {
 public:
  FakeDisk(std::string folder, uint64_t base) : folder_(std::move(folder)), base_(base) {
    initial_ = SegmentFiles(folder_).size();
  }
  void Recount() { initial_ = SegmentFiles(folder_).size(); }
  bool FreeBytes(const std::string& folder, uint64_t* bytes) override {
    EXPECT_EQ(folder, folder_);
    if (broken) return false;
    *bytes = base_ + (initial_ - SegmentFiles(folder_).size()) * Frames128(kFrames).size();
    return true;
  }
  bool broken = false;

 private:
  std::string folder_;
  uint64_t base_;
  size_t initial_ = 0;
};

class RecycleThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLocal(2026, 1, 10, 13, 0, 0);
    ASSERT_TRUE(db_.Open(folder_.path()).ok());
  }
  // A segment file and its row.
  std::string Add(const CZoneTime& start) {
    const std::string path = MakeSegment(folder_.path(), start, kFrames);
    CArchiveFileRead reader(folder_.path(), ".mp3");
    EXPECT_TRUE(reader.ReadInfo(path).ok());
    EXPECT_TRUE(
        db_.AddSegment(start, reader.GetDurationMs(), false, reader.GetSizeBytes(), CZoneTime())
            .ok());
    disk_.Recount();
    return path;
  }
  std::unique_ptr<RecycleThread> Recycler(uint32_t quota_kb, uint32_t max_days, bool erase,
                                          uint32_t recording_bytes = 0) {
    return std::make_unique<RecycleThread>(
        folder_.path(), ".mp3", quota_kb, max_days, 10000, erase, &db_,
        [recording_bytes] { return recording_bytes; }, &log_, &disk_);
  }
  std::vector<std::string> Rows() {
    std::vector<std::string> rows;
    const platform::Status status = db_.GetIndex(
        Local(2011, 1, 1, 0, 0, 0), Local(2041, 1, 1, 0, 0, 0),
        [](const CZoneTime& start, uint32_t, bool, void* context) {
          static_cast<std::vector<std::string>*>(context)->push_back(Text(start));
          return true;
        },
        &rows);
    EXPECT_TRUE(status.ok()) << status.message();
    return rows;
  }

  TempDir folder_;
  AudioDatabaseSql db_;
  MessageLog log_;
  FakeDisk disk_{folder_.path(), 1'000'000'000};
};

TEST_F(RecycleThreadTest, QuotaTakesTheOldestFirstWithTheirRowsAndEmptyDayFolders) {
  const std::string first = Add(Local(2026, 1, 8, 10, 0, 0));
  Add(Local(2026, 1, 8, 11, 0, 0));
  Add(Local(2026, 1, 9, 10, 0, 0));
  Add(Local(2026, 1, 9, 11, 0, 0));
  Add(Local(2026, 1, 10, 10, 0, 0));
  ASSERT_EQ(db_.GetTotalKB(), 50u);
  // 50 KiB in the index + 5,000 bytes being recorded = 55 KB against 36.
  auto recycler = Recycler(36, 0, true, 5000);
  recycler->RunPasses();
  EXPECT_EQ(SegmentFiles(folder_.path()),
            (std::vector<std::string>{"2026.01.09/2026.01.09-10.00.00-S.mp3",
                                      "2026.01.09/2026.01.09-11.00.00-S.mp3",
                                      "2026.01.10/2026.01.10-10.00.00-S.mp3"}));
  EXPECT_EQ(Rows(), (std::vector<std::string>{"2026.01.09-10:00:00-S", "2026.01.09-11:00:00-S",
                                              "2026.01.10-10:00:00-S"}));
  EXPECT_EQ(db_.GetTotalKB(), 30u);  // 35 KB used: below the quota
  EXPECT_FALSE(fs::exists(folder_.path() + "/2026.01.08"));  // emptied day folder removed
  EXPECT_TRUE(fs::exists(folder_.path() + "/2026.01.09"));
  EXPECT_EQ(log_.LevelsOf("INFO: Deleted file '" + first + "'!"), std::vector<int32_t>{0});
  EXPECT_FALSE(recycler->IsStorageFull());

  // A day folder that holds anything else stays when its last segment goes.
  std::ofstream(folder_.path() + "/2026.01.09/notes.txt") << "kept";
  Recycler(15, 0, true)->RunPasses();
  EXPECT_EQ(Rows(), std::vector<std::string>{"2026.01.10-10:00:00-S"});
  EXPECT_TRUE(fs::exists(folder_.path() + "/2026.01.09/notes.txt"));
}

TEST_F(RecycleThreadTest, LowFreeSpaceDeletesUntil72000KBAreFree) {
  Add(Local(2026, 1, 8, 10, 0, 0));
  Add(Local(2026, 1, 8, 11, 0, 0));
  Add(Local(2026, 1, 9, 10, 0, 0));
  // Quota 1,000,000 KB far away; 71,999 KB free: one segment (10,008 bytes) frees enough.
  disk_ = FakeDisk(folder_.path(), 71'999'000);
  auto recycler = Recycler(1'000'000, 0, true);
  EXPECT_EQ(recycler->GetFreeSpaceKB(), 71'999u);
  recycler->RunPasses();
  EXPECT_EQ(Rows(), (std::vector<std::string>{"2026.01.08-11:00:00-S", "2026.01.09-10:00:00-S"}));
  EXPECT_EQ(recycler->GetFreeSpaceKB(), 72'009u);

  // A disk that cannot be asked deletes nothing while the quota holds.
  disk_.broken = true;
  recycler->RunPasses();
  EXPECT_EQ(Rows().size(), 2u);
  EXPECT_EQ(recycler->GetFreeSpaceKB(), 0u);
}

struct AgeCase {
  uint32_t max_days;
  std::vector<std::string> kept;
};

TEST_F(RecycleThreadTest, AgePassDeletesFromExactlyMaxDaysAndIsOffAbove3650) {
  // Now: 2026-01-10 13:00:00 standard time; 3650 days before is 2016-01-13
  // 13:00:00 (three leap days between).
  const std::vector<std::string> all = {"2016.01.13-13:00:00-S", "2016.01.13-13:00:01-S",
                                        "2026.01.08-13:00:00-S", "2026.01.08-13:00:01-S",
                                        "2026.01.10-12:00:00-S"};
  const AgeCase cases[] = {
      {2, {"2026.01.08-13:00:01-S", "2026.01.10-12:00:00-S"}},
      {3650, {"2016.01.13-13:00:01-S", "2026.01.08-13:00:00-S", "2026.01.08-13:00:01-S",
              "2026.01.10-12:00:00-S"}},
      {3651, all},
      {0, all},
  };
  for (const AgeCase& c : cases) {
    SCOPED_TRACE(c.max_days);
    for (const CZoneTime& t : {Local(2016, 1, 13, 13, 0, 0), Local(2016, 1, 13, 13, 0, 1),
                               Local(2026, 1, 8, 13, 0, 0), Local(2026, 1, 8, 13, 0, 1),
                               Local(2026, 1, 10, 12, 0, 0)}) {
      if (!db_.HasSegment(t)) Add(t);
    }
    Recycler(1'000'000, c.max_days, true)->RunPasses();
    EXPECT_EQ(Rows(), c.kept);
    EXPECT_EQ(SegmentFiles(folder_.path()).size(), c.kept.size());
  }
}

TEST_F(RecycleThreadTest, AgePassOnAnEmptyDatabaseDeletesNothing) {
  // A file without a row.
  const std::string stray = MakeSegment(folder_.path(), Local(2016, 1, 10, 13, 0, 0), kFrames);
  auto recycler = Recycler(1'000'000, 1, false);
  recycler->RunPasses();
  EXPECT_TRUE(fs::exists(stray));
  EXPECT_FALSE(recycler->IsStorageFull());
  EXPECT_FALSE(log_.Contains("Maximum storage reached"));
}

TEST_F(RecycleThreadTest, NeverEraseRaisesTheFlagInsteadAndLowersItWhenRoomReturns) {
  Add(Local(2026, 1, 8, 10, 0, 0));
  Add(Local(2026, 1, 9, 10, 0, 0));
  // Quota reached, nothing too old (MaxDays 356): the age pass keeps the
  // size pass's verdict.
  auto recycler = Recycler(20, 356, false);
  recycler->RunPasses();
  EXPECT_TRUE(recycler->IsStorageFull());
  EXPECT_EQ(Rows().size(), 2u);
  EXPECT_FALSE(log_.Contains("Maximum storage reached"));  // the size pass says nothing

  // Segments removed by hand (the scanner drops their rows): room again.
  db_.DeleteSegment(Local(2026, 1, 8, 10, 0, 0));
  recycler->RunPasses();
  EXPECT_FALSE(recycler->IsStorageFull());

  // The segment being recorded alone fills the quota: nothing to wait for.
  db_.DeleteSegment(Local(2026, 1, 9, 10, 0, 0));
  auto recording = Recycler(20, 356, false, 20'000);
  recording->RunPasses();
  EXPECT_TRUE(recording->IsStorageFull());
  // Its file is still there; a segment is never written over, so make it anew.
  fs::remove(SegmentFileName(folder_.path(), Local(2026, 1, 9, 10, 0, 0), ".mp3"));
  Add(Local(2026, 1, 9, 10, 0, 0));

  // Too old with erasing not allowed: the flag, with the warning.
  auto by_age = Recycler(1'000'000, 1, false);
  by_age->RunPasses();
  EXPECT_TRUE(by_age->IsStorageFull());
  EXPECT_EQ(log_.LevelsOf("WARNING: Maximum storage reached! Recording was stopped!"),
            std::vector<int32_t>{2});
  EXPECT_EQ(Rows().size(), 1u);
}

TEST_F(RecycleThreadTest, UndeletableSegmentIsTriedOncePerPeriodAndDroppedAtTheSixthFailure) {
  Add(Local(2026, 1, 8, 10, 0, 0));
  const CZoneTime stuck_time = Local(2026, 1, 7, 10, 0, 0);
  // A folder where the segment file should be: unlink refuses it, even for root.
  const std::string stuck = SegmentFileName(folder_.path(), stuck_time, ".mp3");
  fs::create_directories(stuck + "/inside");
  ASSERT_TRUE(db_.AddSegment(stuck_time, 1000, false, 10008, CZoneTime()).ok());
  // Over quota and too old: both passes try it, and it counts once per period.
  auto recycler = Recycler(5, 2, true);
  for (int period = 1; period <= 5; ++period) {
    recycler->RunPasses();
    EXPECT_EQ(Rows().front(), "2026.01.07-10:00:00-S") << period;
  }
  EXPECT_EQ(log_.LevelsOf("ERROR: Unable to delete file '" + stuck + "'!\n").size(), 10u);
  EXPECT_EQ(recycler->GetUndeletableCount(), 0u);
  recycler->RunPasses();
  EXPECT_EQ(recycler->GetUndeletableCount(), 1u);
  EXPECT_TRUE(log_.Contains("ERROR: Unable to delete file '" + stuck +
                            "'! Removed it from the archive database but it is still present "
                            "on disk!"));
  EXPECT_TRUE(fs::exists(stuck));
  // With its row gone, the next oldest went in the same period.
  EXPECT_EQ(Rows(), std::vector<std::string>{});
}

TEST_F(RecycleThreadTest, ThreadRunsAPassAtStartAndThenEveryPeriodOfTheClock) {
  Add(Local(2026, 1, 8, 10, 0, 0));
  auto recycler = Recycler(1'000'000, 0, true);
  recycler->Start();
  ASSERT_TRUE(recycler->WaitPasses(1, 10000));
  Add(Local(2026, 1, 9, 10, 0, 0));
  Add(Local(2026, 1, 10, 10, 0, 0));
  EXPECT_EQ(Rows().size(), 3u);
  RecycleThread quota(folder_.path(), ".mp3", 15, 0, 10000, true, &db_, nullptr, &log_, &disk_);
  quota.Start();
  ASSERT_TRUE(quota.WaitPasses(1, 10000));
  EXPECT_EQ(Rows().size(), 1u);
  Add(Local(2026, 1, 10, 11, 0, 0));
  EXPECT_EQ(quota.PassesDone(), 1u);
  TestClock().AdvanceUs(10'000'000);  // one period later
  ASSERT_TRUE(quota.WaitPasses(2, 10000));
  EXPECT_EQ(Rows(), std::vector<std::string>{"2026.01.10-11:00:00-S"});
  quota.Stop();
  recycler->Stop();
}

TEST(RecycleStorageTest, NeverEraseStopsRecordingAtTheQuotaAndResumesWhenFilesAreRemovedByHand) {
  SetLocal(2026, 1, 10, 13, 0, 0);
  TempDir folder;
  MessageLog log;
  FakeSkimEncoder encoder;
  StorageSettings settings;
  settings.folder = folder.path();
  settings.ext = ".mp3";
  settings.disk_space_kb = 3;
  settings.max_days = 356;
  settings.recycle_period_ms = 1000;
  settings.erase = false;
  settings.max_time_adjust_sec = 3600;
  settings.segment_minutes = 1;
  settings.segment_align = false;
  CStorageManager storage(&encoder, settings, &log);
  ASSERT_TRUE(storage.Open());
  RecycleThread* recycler = storage.recycler();
  ASSERT_TRUE(recycler->WaitPasses(1, 10000));
  EXPECT_FALSE(storage.IsStorageFull());

  // Three one-minute segments of one 417-byte block: 3 KiB, the quota.
  uint64_t pushed = 0;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(encoder.Push(0, kFormat128, 417));
    ASSERT_TRUE(storage.recorder()->WaitHandled(++pushed, 10000));
    TestClock().AdvanceUs(60'000'000);
  }
  const uint64_t passes = recycler->PassesDone();
  TestClock().AdvanceUs(1'000'000);
  ASSERT_TRUE(recycler->WaitPasses(passes + 1, 10000));
  EXPECT_TRUE(storage.IsStorageFull());
  EXPECT_EQ(SegmentFiles(folder.path()).size(), 4u);  // nothing deleted

  // The engineer makes room by hand; the watcher takes the rows away.
  const std::vector<std::string> files = SegmentFiles(folder.path());
  for (size_t i = 0; i < 2; ++i) fs::remove(folder.path() + "/" + files[i]);
  const std::string marker = folder.path() + "/sync.mp3";
  std::ofstream(marker) << "x";
  ASSERT_TRUE(log.WaitFor("File ignored! (" + marker + ")"));
  fs::remove(marker);
  const uint64_t later = recycler->PassesDone();
  TestClock().AdvanceUs(1'000'000);
  ASSERT_TRUE(recycler->WaitPasses(later + 1, 10000));
  EXPECT_FALSE(storage.IsStorageFull());
  EXPECT_EQ(SegmentFiles(folder.path()).size(), 2u);
}

}  // namespace
}  // namespace logrum::archive::testing
