#include "Lib/ArchiveManager/Storage/StorageManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

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

  TempDir folder_;
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
  ASSERT_TRUE(
      storage.database()
          ->GetIndex(Local(2026, 1, 10, 0, 0, 0), Local(2026, 1, 11, 0, 0, 0), CollectRow, &rows)
          .ok());
  ASSERT_EQ(rows.size(), 3u);  // 10:14:00, 10:15:00 (boundary), 10:15:30 (skim on)
  EXPECT_EQ(Text(rows[0].start), "2026.01.10-10:14:00-S");
  EXPECT_EQ(Text(rows[1].start), "2026.01.10-10:15:00-S");
  EXPECT_EQ(Text(rows[2].start), "2026.01.10-10:15:30-S");
  for (const Row& row : rows) {
    CArchiveFileRead reader(folder_.path(), ".mp3");
    const std::string path = FindSegmentFile(folder_.path(), row.start, ".mp3");
    ASSERT_TRUE(reader.ReadInfo(path).ok()) << path;
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

// The clock set back by two hours over two hours of recordings: every earlier
// segment keeps its bytes and its row; the new ones start a second after the
// names they would have taken.
TEST_F(StorageManagerTest, ClockSetBackKeepsEverySegmentAndRow) {
  SetLocal(2026, 1, 10, 10, 0, 0);
  CStorageManager storage(&encoder_, Settings(), &log_);
  ASSERT_TRUE(storage.Open());
  auto feed = [&](uint8_t fill) {
    ASSERT_TRUE(encoder_.Push(0, kFormat128, 417, fill));
    ++pushed_;
    ASSERT_TRUE(storage.recorder()->WaitHandled(pushed_, 10000));
  };
  for (int i = 0; i < 240; ++i) {  // 10:00 to 11:59:30, a block every 30 s
    feed(1);
    TestClock().AdvanceUs(30'000'000);
  }
  feed(1);  // 12:00:00 opens the ninth segment
  std::map<std::string, std::vector<char>> before;
  auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)), {});
  };
  for (const std::string& name : SegmentFiles(folder_.path())) {
    before[name] = read(folder_.path() + "/" + name);
  }
  ASSERT_EQ(before.size(), 9u);
  std::vector<Row> rows_before;
  ASSERT_TRUE(storage.database()
                  ->GetIndex(Local(2026, 1, 10, 0, 0, 0), Local(2026, 1, 11, 0, 0, 0), CollectRow,
                             &rows_before)
                  .ok());
  ASSERT_EQ(rows_before.size(), 8u);  // the ninth is still being written

  TestClock().SetUs(TestClock().NowUs() - 7200'000'000LL);  // back to 10:00:00
  for (int i = 0; i < 241; ++i) {
    feed(2);
    TestClock().AdvanceUs(30'000'000);
  }
  storage.Close();

  for (const auto& [name, bytes] : before) {
    if (name == "2026.01.10/2026.01.10-12.00.00-S.mp3") continue;  // closed by the step since
    EXPECT_EQ(read(folder_.path() + "/" + name), bytes) << name;
  }
  ASSERT_TRUE(storage.Open());
  std::vector<Row> rows;
  ASSERT_TRUE(
      storage.database()
          ->GetIndex(Local(2026, 1, 10, 0, 0, 0), Local(2026, 1, 11, 0, 0, 0), CollectRow, &rows)
          .ok());
  std::vector<std::string> starts;
  for (const Row& row : rows) starts.push_back(Text(row.start));
  for (const Row& row : rows_before) {
    auto it = std::find_if(rows.begin(), rows.end(), [&](const Row& r) {
      return CZoneTime::IsSame(r.start, row.start);
    });
    ASSERT_NE(it, rows.end()) << Text(row.start);
    EXPECT_EQ(it->duration_ms, row.duration_ms) << Text(row.start);
  }
  // 10:00:01, 10:15:01, ... 12:00:01 after the step, beside 10:00:00 ... 12:00:00.
  EXPECT_EQ(rows.size(), 18u);
  for (const char* moved : {"2026.01.10-10:00:01-S", "2026.01.10-10:15:01-S",
                            "2026.01.10-11:45:01-S", "2026.01.10-12:00:01-S"}) {
    EXPECT_NE(std::find(starts.begin(), starts.end(), moved), starts.end()) << moved;
  }
  EXPECT_TRUE(log_.Contains("WARNING: Segment file '" + folder_.path() +
                            "/2026.01.10/2026.01.10-10.15.00-S.mp3' already exists! The new "
                            "segment starts at 2026.01.10-10:15:01-S instead.\n"));
}

// A damaged database is set aside and a new one made; recording goes on and
// is indexed in it.
TEST_F(StorageManagerTest, DamagedDatabaseIsSetAsideAndRecordingGoesOn) {
  SetLocal(2026, 1, 10, 10, 14, 0);
  std::ofstream(folder_.path() + "/archive.db3", std::ios::binary) << std::string(8192, 'x');
  CStorageManager storage(&encoder_, Settings(), &log_);
  ASSERT_TRUE(storage.Open());
  ASSERT_TRUE(encoder_.has_reader());
  Feed(storage, 0);
  storage.Close();
  std::vector<std::string> aside;
  for (const auto& entry : std::filesystem::directory_iterator(folder_.path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("archive.db3.damaged-", 0) == 0) aside.push_back(name);
  }
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(std::filesystem::file_size(folder_.path() + "/" + aside[0]), 8192u);
  EXPECT_EQ(log_.LevelsOf("WARNING: The segment database " + folder_.path() +
                          "/archive.db3 was damaged"),
            std::vector<int32_t>{1});
  EXPECT_TRUE(log_.Contains(aside[0] + " and a new one was created."));
  ASSERT_TRUE(storage.Open());
  EXPECT_EQ(Text(storage.GetFirstTime()), "2026.01.10-10:14:00-S");
}

TEST_F(StorageManagerTest, RecordingWithoutEncoderFailsTheOpen) {
  CStorageManager storage(nullptr, Settings(), &log_);
  EXPECT_FALSE(storage.Open());
  storage.Close();
  EXPECT_FALSE(storage.IsOpen());
}

}  // namespace
}  // namespace logrum::archive::testing
