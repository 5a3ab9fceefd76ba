#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "Lib/ArchiveManager/Time/tests/ZoneTestUtil.h"
#include "tests/support/TempDir.h"

namespace logrum::archive {
namespace {

namespace fs = std::filesystem;

// The index trace is checked below; debug output is read once, so turn it on early.
const bool kDebugOutputOn = (setenv("LOGRUM2_DEBUG", "1", 1), true);

CZoneTime T(int y, int mo, int d, int h, int mi, int s, int daylight) {
  CZoneTime t;
  EXPECT_TRUE(t.Set(y, mo, d, h, mi, s, daylight));
  return t;
}

struct IndexItem {
  CZoneTime start;
  uint32_t duration_ms;
  bool skim;
};

struct Collector {
  std::vector<IndexItem> items;
  size_t stop_after = SIZE_MAX;

  static bool Callback(const CZoneTime& start, uint32_t duration_ms, bool skim, void* context) {
    auto* self = static_cast<Collector*>(context);
    self->items.push_back({start, duration_ms, skim});
    return self->items.size() < self->stop_after;
  }
};

class AudioDatabaseSqlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(kDebugOutputOn); }
  void TearDown() override { db_.Close(); }

  std::string DbPath() const { return (dir_ / "archive.db3").string(); }

  // Reads one integer straight from the file, past the object under test.
  int64_t Peek(const std::string& sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(DbPath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    int64_t value = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      value = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
  }

  logrum::testing::TempDir temp_{"segdb"};
  fs::path dir_ = temp_.path();
  AudioDatabaseSql db_;
};

TEST_F(AudioDatabaseSqlTest, NewFileGetsTheSchemaAndReopenRecountsTheTotal) {
  ASSERT_TRUE(db_.Open(dir_.string()).ok());
  EXPECT_EQ(db_.GetPath(), DbPath());
  EXPECT_EQ(Peek("select count(*) from sqlite_master where name in ('codecs','formats','orphans',"
                 "'segments','segment_starttime_index','segment_scanned_index')"),
            6);
  EXPECT_EQ(Peek("select count(*) from pragma_table_info('segments')"), 10);
  ASSERT_TRUE(db_.AddSegment(T(2010, 3, 4, 5, 0, 0, 0), 900000, false, 14400000, CZoneTime()).ok());
  ASSERT_TRUE(db_.AddSegment(T(2010, 3, 4, 5, 15, 0, 0), 900000, true, 1025, CZoneTime()).ok());
  EXPECT_EQ(db_.GetTotalKB(), 14063u + 2u);
  db_.Close();
  EXPECT_EQ(db_.GetTotalKB(), 0u);
  ASSERT_TRUE(db_.Open(dir_.string() + "/").ok());
  EXPECT_EQ(db_.GetTotalKB(), 14065u);
  EXPECT_EQ(Peek("select filenametime=starttime and scanned=1 and formatid is null from segments "
                 "where sizebytes=1025"),
            1);
}

TEST_F(AudioDatabaseSqlTest, KiBAreRoundedUp) {
  ASSERT_TRUE(db_.Open(dir_.string()).ok());
  struct Case {
    uint32_t bytes, kb;
  };
  const Case cases[] = {{0, 0}, {1, 1}, {1023, 1}, {1024, 1}, {1025, 2}, {0xFFFFFFFFu, 4194304}};
  uint32_t total = 0;
  int minute = 0;
  for (const Case& c : cases) {
    const CZoneTime start = T(2010, 3, 4, 5, minute++, 0, 0);
    ASSERT_TRUE(db_.AddSegment(start, 1000, false, c.bytes, CZoneTime()).ok());
    EXPECT_EQ(db_.GetSizeKB(start), c.kb) << c.bytes;
    total += c.kb;
    EXPECT_EQ(db_.GetTotalKB(), total) << c.bytes;
  }
  EXPECT_EQ(db_.GetSizeKB(T(2010, 3, 4, 6, 0, 0, 0)), 0u);
}

TEST_F(AudioDatabaseSqlTest, UnchangedRowIsNotWrittenAndAChangedOneIsUpdatedInPlace) {
  ASSERT_TRUE(db_.Open(dir_.string()).ok());
  const CZoneTime start = T(2010, 3, 4, 5, 0, 0, 0);
  const CZoneTime end = T(2010, 3, 4, 5, 15, 0, 0);
  ASSERT_TRUE(db_.AddSegment(start, 900000, false, 10 * 1024, end).ok());
  ASSERT_TRUE(
      db_.AddSegment(T(2010, 3, 4, 5, 15, 0, 0), 900000, false, 5 * 1024, CZoneTime()).ok());
  const int64_t id = Peek("select id from segments where sizebytes=10240");

  ASSERT_TRUE(db_.BeginScan());  // scanned=2 shows whether a statement touched the row
  EXPECT_TRUE(db_.AddSegment(start, 900000, false, 10 * 1024, end).ok());
  EXPECT_EQ(Peek("select scanned from segments where id=" + std::to_string(id)), 2);
  EXPECT_EQ(db_.GetTotalKB(), 15u);

  struct Change {
    uint32_t duration;
    bool skim;
    uint32_t bytes;
    CZoneTime end;
    uint32_t total;
  };
  const Change changes[] = {
      {899000, false, 10 * 1024, end, 15},
      {899000, true, 10 * 1024, end, 15},
      {899000, true, 12 * 1024, end, 17},
      {899000, true, 12 * 1024, T(2010, 3, 4, 5, 15, 0, 1), 17},
      {899000, true, 12 * 1024, CZoneTime(), 17},
  };
  for (const Change& c : changes) {
    ASSERT_TRUE(db_.BeginScan());
    ASSERT_TRUE(db_.AddSegment(start, c.duration, c.skim, c.bytes, c.end).ok());
    EXPECT_EQ(Peek("select scanned from segments where id=" + std::to_string(id)), 1);
    EXPECT_EQ(Peek("select durationmsec from segments where id=" + std::to_string(id)), c.duration);
    EXPECT_EQ(Peek("select skim from segments where id=" + std::to_string(id)), c.skim ? 1 : 0);
    EXPECT_EQ(Peek("select tnextfile from segments where id=" + std::to_string(id)), c.end.ToLinear());
    EXPECT_EQ(db_.GetTotalKB(), c.total);
  }
  EXPECT_EQ(Peek("select count(*) from segments"), 2);
}

TEST_F(AudioDatabaseSqlTest, MarkAndSweep) {
  ASSERT_TRUE(db_.Open(dir_.string()).ok());
  const CZoneTime a = T(2010, 3, 4, 5, 0, 0, 0), b = T(2010, 3, 4, 5, 15, 0, 0),
                  c = T(2010, 3, 4, 5, 30, 0, 0), d = T(2010, 3, 4, 5, 45, 0, 0);
  for (const CZoneTime& t : {a, b, c})
    ASSERT_TRUE(db_.AddSegment(t, 1000, false, 2048, CZoneTime()).ok());
  EXPECT_EQ(db_.GetTotalKB(), 6u);

  // A rescan that finds every file changes nothing.
  ASSERT_TRUE(db_.BeginScan());
  for (const CZoneTime& t : {a, b, c}) ASSERT_TRUE(db_.MarkScanned(t));
  ASSERT_TRUE(db_.EndScan());
  EXPECT_EQ(Peek("select count(*) from segments where scanned=1"), 3);

  // b's file was removed by hand; d was recorded while the scan ran.
  ASSERT_TRUE(db_.BeginScan());
  ASSERT_TRUE(db_.MarkScanned(a));
  ASSERT_TRUE(db_.AddSegment(d, 1000, false, 4096, CZoneTime()).ok());
  ASSERT_TRUE(db_.MarkScanned(c));
  EXPECT_FALSE(db_.MarkScanned(T(2010, 3, 4, 6, 0, 0, 0)));
  ASSERT_TRUE(db_.EndScan());
  EXPECT_TRUE(db_.HasSegment(a));
  EXPECT_FALSE(db_.HasSegment(b));
  EXPECT_TRUE(db_.HasSegment(c));
  EXPECT_TRUE(db_.HasSegment(d));
  EXPECT_EQ(db_.GetTotalKB(), 8u);  // the swept row no longer counts

  for (const CZoneTime& t : {a, c, d}) ASSERT_TRUE(db_.DeleteSegment(t));
  EXPECT_EQ(db_.GetTotalKB(), 0u);
  EXPECT_TRUE(db_.DeleteSegment(a));  // no row: nothing to do
  EXPECT_EQ(db_.GetTotalKB(), 0u);
}

TEST_F(AudioDatabaseSqlTest, FirstLastAndAverageRate) {
  ASSERT_TRUE(db_.Open(dir_.string()).ok());
  EXPECT_TRUE(db_.GetFirstTime().IsNull());
  EXPECT_TRUE(db_.GetLastTime().IsNull());
  EXPECT_EQ(db_.GetAverageKBPerSecond(), 0.0);

  const CZoneTime first = T(2010, 3, 4, 5, 0, 0, 0);
  ASSERT_TRUE(db_.AddSegment(first, 900000, false, 100 * 1024, CZoneTime()).ok());
  EXPECT_EQ(db_.GetAverageKBPerSecond(), 0.0);  // first = last
  ASSERT_TRUE(db_.AddSegment(T(2010, 3, 4, 5, 0, 50, 0), 1000, false, 7 * 1024, CZoneTime()).ok());
  ASSERT_TRUE(db_.AddSegment(T(2010, 3, 4, 5, 1, 40, 0), 1000, false, 50 * 1024, CZoneTime()).ok());
  EXPECT_TRUE(CZoneTime::IsSame(db_.GetFirstTime(), first));
  EXPECT_TRUE(CZoneTime::IsSame(db_.GetLastTime(), T(2010, 3, 4, 5, 1, 40, 0)));
  EXPECT_DOUBLE_EQ(db_.GetAverageKBPerSecond(), 107.0 / 100.0);
}

TEST_F(AudioDatabaseSqlTest, IndexIsHalfOpenOrderedAndKeepsTheDaylightFlag) {
  testing::ScopedZone zone(testing::kNewYork);
  ASSERT_TRUE(db_.Open(dir_.string()).ok());
  // The night the hour repeats: 01:30 D comes before 01:00 S.
  const CZoneTime times[] = {T(2010, 11, 7, 1, 0, 0, 0), T(2010, 11, 7, 0, 30, 0, 1),
                             T(2010, 11, 7, 1, 30, 0, 1), T(2010, 11, 7, 1, 30, 0, 0),
                             T(2010, 11, 7, 1, 0, 0, 1)};
  for (size_t i = 0; i < std::size(times); ++i) {
    ASSERT_TRUE(
        db_.AddSegment(times[i], 1000 + static_cast<uint32_t>(i), i % 2 == 1, 1, CZoneTime()).ok());
  }
  Collector all;
  ASSERT_TRUE(db_.GetIndex(T(2010, 11, 7, 0, 30, 0, 1), T(2010, 11, 7, 1, 30, 0, 0),
                           &Collector::Callback, &all)
                  .ok());
  const CZoneTime expected[] = {T(2010, 11, 7, 0, 30, 0, 1), T(2010, 11, 7, 1, 0, 0, 1),
                                T(2010, 11, 7, 1, 30, 0, 1), T(2010, 11, 7, 1, 0, 0, 0)};
  ASSERT_EQ(all.items.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_TRUE(CZoneTime::IsSame(all.items[i].start, expected[i])) << i;
  }
  EXPECT_EQ(all.items[0].duration_ms, 1001u);
  EXPECT_TRUE(all.items[0].skim);
  EXPECT_FALSE(all.items[3].skim);

  Collector first_two;
  first_two.stop_after = 2;
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(db_.GetIndex(T(2010, 11, 7, 0, 0, 0, 1), T(2010, 11, 8, 0, 0, 0, 0),
                           &Collector::Callback, &first_two)
                  .ok());
  Collector none;
  ASSERT_TRUE(db_.GetIndex(times[0], times[0], &Collector::Callback, &none).ok());
  const std::string trace = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(first_two.items.size(), 2u);
  EXPECT_TRUE(none.items.empty());
  EXPECT_EQ(trace,
            "AudioDatabaseSql::GetIndex: nSegmentsReturned=2\n"
            "AudioDatabaseSql::GetIndex: nSegmentsReturned=0\n");
}

// Another connection (a tool, a copy being taken) holding the file under an
// exclusive lock: the index is not readable, which is a failure naming the
// file, never an empty or short index; and a lookup that cannot be made is not
// taken for a missing row (which would add the segment a second time).
TEST_F(AudioDatabaseSqlTest, ALockedFileFailsTheIndexInsteadOfAnsweringShort) {
  ASSERT_TRUE(db_.Open(dir_.string()).ok());
  const CZoneTime starts[] = {T(2010, 3, 4, 5, 0, 0, 0), T(2010, 3, 4, 5, 15, 0, 0),
                              T(2010, 3, 4, 5, 30, 0, 0)};
  for (const CZoneTime& start : starts) {
    ASSERT_TRUE(db_.AddSegment(start, 900000, false, 417, CZoneTime()).ok());
  }
  const CZoneTime from = T(2010, 3, 4, 0, 0, 0, 0), to = T(2010, 3, 5, 0, 0, 0, 0);

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open_v2(DbPath().c_str(), &other, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK);
  Collector locked;
  const platform::Status status = db_.GetIndex(from, to, &Collector::Callback, &locked);
  EXPECT_EQ(status.code(), platform::Status::kBusy) << status.message();
  EXPECT_NE(status.message().find(DbPath()), std::string::npos) << status.message();
  EXPECT_FALSE(db_.AddSegment(starts[1], 900000, false, 417, CZoneTime()).ok());
  EXPECT_FALSE(db_.HasSegment(starts[0]));
  ASSERT_EQ(sqlite3_exec(other, "rollback", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  Collector all;
  ASSERT_TRUE(db_.GetIndex(from, to, &Collector::Callback, &all).ok());
  EXPECT_EQ(all.items.size(), 3u);
  EXPECT_EQ(Peek("select count(*) from segments"), 3);
  EXPECT_EQ(db_.GetTotalKB(), 3u);
}

// A file that is no database, a damaged one, or one with a half-made schema is
// moved aside, byte for byte, and a new database takes its place.
TEST_F(AudioDatabaseSqlTest, DamagedFilesAreSetAsideAndANewDatabaseMade) {
  auto write = [&](const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  };
  auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  };
  // A good database with enough rows to fill several pages, as bytes.
  ASSERT_TRUE(db_.Open(dir_.string()).ok());
  for (int i = 0; i < 400; ++i) {
    ASSERT_TRUE(
        db_.AddSegment(T(2010, 3, 4, 5, i / 60, i % 60, 0), 1000, false, 417, CZoneTime()).ok());
  }
  db_.Close();
  const std::string good = read(DbPath());
  ASSERT_GT(good.size(), 8192u);
  auto half_made = [&](const char* sql) {
    fs::remove(DbPath());
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open(DbPath().c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    return read(DbPath());
  };
  std::string garbled = good;
  for (size_t i = 4096; i < garbled.size(); ++i) garbled[i] = static_cast<char>(i * 7);
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"not a database", std::string(4096, 'x')},
      {"damaged", garbled},
      {"half-made schema",
       half_made("create table codecs (id integer not null, primary key(id));")},
      {"incomplete segments table",
       half_made("create table segments (id integer not null, starttime integer);")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
    write(DbPath(), c.bytes);
    ASSERT_TRUE(db_.Open(dir_.string()).ok());
    std::vector<std::string> aside;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename();
      if (name.rfind("archive.db3.damaged-", 0) == 0) aside.push_back(name);
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(read((dir_ / aside[0]).string()), c.bytes);
    const std::string notice = db_.TakeNotice();
    EXPECT_NE(notice.find(DbPath()), std::string::npos) << notice;
    EXPECT_NE(notice.find((dir_ / aside[0]).string()), std::string::npos) << notice;
    EXPECT_EQ(db_.TakeNotice(), "");
    // The new database works and starts empty.
    EXPECT_EQ(db_.GetTotalKB(), 0u);
    EXPECT_TRUE(db_.AddSegment(T(2010, 3, 4, 5, 0, 0, 0), 1, false, 1, CZoneTime()).ok());
    EXPECT_EQ(Peek("select count(*) from segments"), 1);
    db_.Close();
  }
  // A good database is kept as it is, with nothing to tell.
  for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
  write(DbPath(), good);
  ASSERT_TRUE(db_.Open(dir_.string()).ok());
  EXPECT_EQ(db_.TakeNotice(), "");
  EXPECT_EQ(db_.GetTotalKB(), 400u);
}

// What cannot be opened for another reason than its content is left alone.
TEST_F(AudioDatabaseSqlTest, UnusablePathsFailTheOpenAndAreLeftAlone) {
  fs::create_directories(DbPath());  // not a file
  platform::Status status = db_.Open(dir_.string());
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.message().find(DbPath()), std::string::npos) << status.message();
  EXPECT_TRUE(fs::is_directory(DbPath()));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
  EXPECT_FALSE(db_.HasSegment(T(2010, 3, 4, 5, 0, 0, 0)));
  EXPECT_FALSE(db_.GetIndex(T(2010, 3, 4, 5, 0, 0, 0), T(2010, 3, 5, 5, 0, 0, 0),
                            &Collector::Callback, nullptr)
                   .ok());
  fs::remove(DbPath());

  // A folder that does not exist.
  status = db_.Open((dir_ / "missing").string());
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.message().find((dir_ / "missing" / "archive.db3").string()), std::string::npos)
      << status.message();
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
  EXPECT_FALSE(db_.Open("").ok());

  // An empty file (a first open cut short) gets its tables.
  std::ofstream(DbPath()).close();
  ASSERT_TRUE(db_.Open(dir_.string()).ok());
  EXPECT_EQ(db_.TakeNotice(), "");
  EXPECT_TRUE(db_.AddSegment(T(2010, 3, 4, 5, 0, 0, 0), 1, false, 1, CZoneTime()).ok());
}

}  // namespace
}  // namespace logrum::archive
