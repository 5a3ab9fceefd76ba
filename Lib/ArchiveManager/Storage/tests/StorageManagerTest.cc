#include "Lib/ArchiveManager/Storage/StorageManager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/ArchiveManager/Storage/tests/RecordingFixture.h"

namespace logrum::archive::testing {
namespace {

struct Row {
  CZoneTime start;
  uint32_t duration_ms;
  bool skim;
};

bool CollectRow(const CZoneTime& start, uint32_t duration_ms, bool skim, void* context) {
  static_cast<std::vector<Row>*>(context)->push_back({start, duration_ms, skim});
  return true;
}

class StorageManagerTest : public ::testing::Test {
 protected:
  StorageSettings Settings(bool record = true) {
    StorageSettings s;
    s.folder = folder_.path();
    s.ext = ".mp3";
    s.source_name = "Studio A";
    s.disk_space_kb = 5000;
    s.record_to_disk = record;
    s.max_time_adjust_sec = 60;
    s.segment_minutes = 15;
    s.segment_align = true;
    return s;
  }
  void Feed(CStorageManager& storage, uint8_t state) {
    ASSERT_TRUE(encoder_.Push(state, kFormat128, 417));
    ++pushed_;
    ASSERT_TRUE(storage.recorder()->WaitHandled(pushed_, 10000));
  }

  TempFolder folder_;
  MessageLog log_;
  FakeSkimEncoder encoder_;
  uint64_t pushed_ = 0;
};

TEST_F(StorageManagerTest, FinishedSegmentsAreIndexedAsTheirFilesSay) {
  SetLocal(2026, 1, 10, 10, 14, 0);
  CStorageManager storage(&encoder_, Settings(), &log_);
  ASSERT_TRUE(storage.Open());
  ASSERT_TRUE(encoder_.has_reader());
  Feed(storage, 0);
  for (int i = 0; i < 4; ++i) {
    TestClock().AdvanceUs(30'000'000);
    Feed(storage, i < 2 ? 0 : 1);
  }
  EXPECT_EQ(storage.GetCurrentFileBytes(), 417u * 2);
  EXPECT_DOUBLE_EQ(storage.GetUsedStorageMB(), 0.002);  // two closed files of 1 KiB + 834 / 1000
  storage.Close();
  EXPECT_FALSE(encoder_.has_reader());

  // Reopen: the rows survive, and each one agrees with its file.
  ASSERT_TRUE(storage.Open());
  std::vector<Row> rows;
  ASSERT_TRUE(storage.database()->GetIndex(Local(2026, 1, 10, 0, 0, 0), Local(2026, 1, 11, 0, 0, 0),
                                           CollectRow, &rows));
  ASSERT_EQ(rows.size(), 3u);  // 10:14:00, 10:15:00 (boundary), 10:15:30 (skim on)
  EXPECT_EQ(Text(rows[0].start), "2026.01.10-10:14:00-S");
  EXPECT_EQ(Text(rows[1].start), "2026.01.10-10:15:00-S");
  EXPECT_EQ(Text(rows[2].start), "2026.01.10-10:15:30-S");
  for (const Row& row : rows) {
    CArchiveFileRead reader(folder_.path(), ".mp3");
    const std::string path = FindSegmentFile(folder_.path(), row.start, ".mp3");
    ASSERT_TRUE(reader.ReadInfo(path)) << path;
    EXPECT_EQ(reader.GetDurationMs(), row.duration_ms);
    EXPECT_EQ(reader.IsSkim(), row.skim);
    EXPECT_EQ(storage.database()->GetSizeKB(row.start), (reader.GetSizeBytes() + 1023) / 1024);
  }
  EXPECT_EQ(Text(storage.GetFirstTime()), "2026.01.10-10:14:00-S");
  EXPECT_EQ(Text(storage.GetLastTime()), "2026.01.10-10:15:30-S");
  EXPECT_EQ(storage.database()->GetTotalKB(), 1u + 1u + 1u);
  EXPECT_DOUBLE_EQ(storage.GetUsedStorageMB(), 0.003);
}

TEST_F(StorageManagerTest, WithoutRecordingOnlyTheDatabaseOpens) {
  CStorageManager storage(&encoder_, Settings(false), &log_);
  ASSERT_TRUE(storage.Open());
  EXPECT_EQ(storage.recorder(), nullptr);
  EXPECT_FALSE(encoder_.has_reader());
  EXPECT_TRUE(std::filesystem::exists(folder_.path() + "/archive.db3"));
  EXPECT_EQ(storage.GetCurrentFileBytes(), 0u);
  EXPECT_DOUBLE_EQ(storage.GetUsedStorageMB(), 0.0);
  EXPECT_TRUE(storage.GetFirstTime().IsNull());
}

TEST_F(StorageManagerTest, TotalStorageIsTheQuotaOrTheFreeSpace) {
  CStorageManager storage(&encoder_, Settings(false), &log_);
  ASSERT_TRUE(storage.Open());
  EXPECT_DOUBLE_EQ(storage.GetTotalStorageMB(), 5.0);  // 5000 KB quota, more free on the disk
  StorageSettings huge = Settings(false);
  huge.disk_space_kb = 0xFFFFFFFFu;
  CStorageManager storage2(&encoder_, huge, &log_);
  EXPECT_NEAR(storage2.GetTotalStorageMB(), storage2.GetFreeSpaceKB() * 0.001, 1.0);
}

TEST_F(StorageManagerTest, UnusableDatabaseFailsTheOpenAndStartsNoRecording) {
  std::filesystem::create_directory(folder_.path() + "/archive.db3");  // not a file
  CStorageManager storage(&encoder_, Settings(), &log_);
  EXPECT_FALSE(storage.Open());
  EXPECT_FALSE(storage.IsOpen());
  EXPECT_FALSE(encoder_.has_reader());
  EXPECT_TRUE(log_.Contains("ERROR: "));
}

TEST_F(StorageManagerTest, RecordingWithoutEncoderFailsTheOpen) {
  CStorageManager storage(nullptr, Settings(), &log_);
  EXPECT_FALSE(storage.Open());
  storage.Close();
  EXPECT_FALSE(storage.IsOpen());
}

}  // namespace
}  // namespace logrum::archive::testing
