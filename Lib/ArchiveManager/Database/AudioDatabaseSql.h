// AudioDatabaseSql: the segment index of one archive, "archive.db3" in its folder.
//
// The database is a cache of the segment files: the file scanner rebuilds it
// from them (mark and sweep: BeginScan marks every row 2, each file found is
// confirmed with MarkScanned or added with AddSegment, both leaving 1, and
// EndScan deletes what is still 2). Rows are keyed by the segment's start as
// linear time (CZoneTime::ToLinear). A cached total of the sizes in KiB serves
// the recycler's quota without a query.
//
// A database file that is no database, is damaged (SQLite's quick check) or
// has no complete segments table is moved aside, with its journals, as
// "archive.db3.damaged-YYYYMMDD-HHMMSS", and a new one is created in its
// place (TakeNotice() then says so): the database is only an index of the
// files, and the archive must go on recording. A file that cannot be read
// for another reason (no permission, locked, not a file) makes Open fail
// with the reason and the path, and is left as it is. A new database gets its
// tables in one transaction.
//
// Failure policy: Open and GetIndex answer a Status that names the file and
// the statement. A statement that fails (the file busy under another
// connection's lock, an I/O error) is a failure, never a shorter answer:
// GetIndex fails rather than hand out part of the index, and AddSegment says
// why a segment could not be indexed. The other operations that the file
// scanner reaches through its adapter keep their bool and write the reason to
// the trace.
//
// Thread safety: every member may be called from any thread; one lock serialises
// them, and GetIndex holds it while its callback runs (keep callbacks short).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Platform/Sqlite.h"
#include "Lib/Platform/Status.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::archive {

class AudioDatabaseSql {
 public:
  // Called once per segment of GetIndex, in ascending start time; false stops the walk.
  using IndexCallback = bool (*)(const CZoneTime& start, uint32_t duration_ms, bool skim,
                                 void* context);

  AudioDatabaseSql() = default;
  ~AudioDatabaseSql();
  AudioDatabaseSql(const AudioDatabaseSql&) = delete;
  AudioDatabaseSql& operator=(const AudioDatabaseSql&) = delete;

  // Opens (creating it and its tables when it does not exist) FOLDER/archive.db3.
  platform::Status Open(std::string_view folder);
  void Close();

  bool HasSegment(const CZoneTime& start);
  // Inserts the row, or updates the row of that start unless every value is
  // unchanged (then nothing is written). KiB = bytes rounded up.
  platform::Status AddSegment(const CZoneTime& start, uint32_t duration_ms, bool skim,
                              uint32_t size_bytes, const CZoneTime& end);
  bool DeleteSegment(const CZoneTime& start);
  bool BeginScan();
  // Deletes the rows not confirmed since BeginScan, then recounts the total.
  bool EndScan();
  bool MarkScanned(const CZoneTime& start);

  uint32_t GetTotalKB();
  uint32_t GetSizeKB(const CZoneTime& start);  // 0 when there is no such row
  CZoneTime GetFirstTime();  // the null time when the table is empty
  CZoneTime GetLastTime();
  // (total KiB - KiB of the last segment) / seconds from first to last start;
  // 0 when the segments start less than a second apart.
  double GetAverageKBPerSecond();
  // The segments with from <= start < to, in ascending start. An error when
  // the index cannot be read to its end; the callback may then have seen some
  // of the rows, which the caller must drop.
  platform::Status GetIndex(const CZoneTime& from, const CZoneTime& to, IndexCallback callback,
                            void* context);

  std::string GetPath();
  // What the last Open did beyond opening (a damaged file set aside), once;
  // empty when there is nothing to tell.
  std::string TakeNotice();

  // A transaction around many updates (the file scanner's); every other
  // caller's statements in between join it. CommitBatch without a batch is true.
  bool BeginBatch();
  bool CommitBatch();

 private:
  struct Row {
    int64_t id = 0;
    int64_t duration_ms = 0;
    int64_t size_bytes = 0;
    int64_t size_kb = 0;
    int64_t next_file = 0;
    int skim = 0;
  };
  enum class Health { kGood, kEmpty, kDamaged, kUnusable };

  // All helpers below run with mutex_ held.
  platform::Status OpenConnectionLocked() REQUIRES(mutex_);
  Health CheckLocked(std::string* why) REQUIRES(mutex_);
  platform::Status SetAsideLocked(const std::string& why) REQUIRES(mutex_);
  bool Exec(const char* sql, const char* what) REQUIRES(mutex_);
  platform::Status FindRow(int64_t start, Row* row, bool* found) REQUIRES(mutex_);
  platform::Status QueryInt64(const char* sql, int64_t* value, bool* is_null) REQUIRES(mutex_);
  CZoneTime QueryTime(const char* sql) REQUIRES(mutex_);
  uint32_t SizeKBLocked(int64_t start) REQUIRES(mutex_);
  void RecountTotal() REQUIRES(mutex_);
  void CloseLocked() REQUIRES(mutex_);
  bool Fail(const platform::Status& status) REQUIRES(mutex_);
  platform::SqlStatement* Prepared(std::unique_ptr<platform::SqlStatement>* stmt, const char* sql) REQUIRES(mutex_);

  kit::Mutex mutex_;
  std::unique_ptr<platform::SqliteDb> db_ GUARDED_BY(mutex_);
  uint32_t total_kb_ GUARDED_BY(mutex_) = 0;
  std::string path_ GUARDED_BY(mutex_);
  std::string notice_ GUARDED_BY(mutex_);
  // Prepared on first use; finalised before db_ is closed.
  std::unique_ptr<platform::SqlStatement> find_stmt_ GUARDED_BY(mutex_);
  std::unique_ptr<platform::SqlStatement> mark_stmt_ GUARDED_BY(mutex_);
  std::unique_ptr<platform::SqlStatement> insert_stmt_ GUARDED_BY(mutex_);
};

}  // namespace logrum::archive
