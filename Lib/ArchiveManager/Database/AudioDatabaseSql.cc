#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>

#include "Lib/Diagnostics/Trace.h"
#include "Lib/Platform/Clock.h"

namespace logrum::archive {
namespace {

// Executed once on a new database file, exactly as every archive has it: the
// pragma first (it cannot change inside a transaction), then the tables in
// one transaction, so a creation cut short leaves no half-made schema.
constexpr char kSchemaPragma[] = "PRAGMA synchronous = OFF;";
constexpr char kSchema[] = R"(
-- Maybe we'll use this when we allow linear recording
CREATE TABLE codecs (
  id INTEGER NOT NULL,
  codecname VARCHAR(255) NULL,
  fileext VARCHAR(16) NULL,
  PRIMARY KEY(id)
);

-- Segment formats
CREATE TABLE formats (
  id INTEGER NOT NULL,
  codecid INTEGER NOT NULL,
  bitrate INTEGER NULL,
  samplerate INTEGER NULL,
  channels INTEGER NULL,
  PRIMARY KEY(id)
);

-- Stores names of files that were found during archive
-- scan but could not be properly parsed.
CREATE TABLE orphans (
  id INTEGER NOT NULL,
  name VARCHAR(255) NULL,
  PRIMARY KEY(id)
);

-- Stores file segments
CREATE TABLE segments (
  id INTEGER NOT NULL,
  formatid INTEGER NULL,
  starttime INTEGER NULL,
  durationmsec INTEGER NULL,
  sizebytes INTEGER NULL,
  sizekb INTEGER NULL,
  tnextfile INTEGER NULL,
  skim INTEGER NULL,
  filenametime INTEGER NULL,
  scanned INTEGER NULL,
  PRIMARY KEY(id)
);

-- Indexes for faster access
CREATE INDEX segment_starttime_index ON segments(starttime);
CREATE INDEX segment_scanned_index ON segments(scanned);
)";

constexpr size_t kStatementSize = 1040;

// A prepared statement, finalised on every path.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  // Only a row counts: done, busy, misuse and errors all end the results.
  bool Step() { return sqlite3_step(stmt_) == SQLITE_ROW; }
  int64_t Int64(int column) const { return sqlite3_column_int64(stmt_, column); }
  int Int(int column) const { return sqlite3_column_int(stmt_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

uint32_t KiB(uint32_t bytes) { return static_cast<uint32_t>((uint64_t{bytes} + 1023) / 1024); }

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// "20260110-100000" of the process clock's local time.
std::string StampNow() {
  const platform::LocalTime t = platform::LocalNow();
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

// The journals SQLite keeps beside a database file; a stale one must not be
// applied to the new file that takes its name.
constexpr const char* kCompanions[] = {"-journal", "-wal", "-shm"};

}  // namespace

AudioDatabaseSql::~AudioDatabaseSql() { Close(); }

bool AudioDatabaseSql::SetError(const std::string& what) {
  error_ = what + " (" + path_ + ")";
  if (db_ != nullptr) error_ += ": " + std::string(sqlite3_errmsg(db_));
  return false;
}

bool AudioDatabaseSql::Open(std::string_view folder) {
  std::lock_guard lock(mutex_);
  CloseLocked();
  error_.clear();
  notice_.clear();
  if (folder.empty()) {
    error_ = "no archive folder for the segment database";
    return false;
  }
  path_ = std::string(folder);
  if (path_.back() != '/') path_.push_back('/');
  path_ += "archive.db3";
  if (path_.size() >= PATH_MAX) {
    error_ = "segment database path too long: " + path_;
    return false;
  }
  struct stat st {};
  const bool existed = ::stat(path_.c_str(), &st) == 0;
  if (!OpenConnectionLocked()) return false;
  if (existed) {
    std::string why;
    switch (CheckLocked(&why)) {
      case Health::kGood:
        RecountTotal();
        return true;
      case Health::kEmpty:
        break;  // its first open was cut short: it gets its tables now
      case Health::kDamaged:
        // The database is only an index of the segment files: a bad one must
        // not keep the archive from recording. It is kept for a look, under
        // a name that says what it is, and a new one takes its place.
        CloseLocked();
        if (!SetAsideLocked(why) || !OpenConnectionLocked()) return false;
        break;
      case Health::kUnusable:
        SetError(why);
        CloseLocked();
        return false;
    }
  }
  if (!Exec(kSchemaPragma) || !Exec("BEGIN")) {
    SetError("cannot create the tables of the segment database");
    CloseLocked();
    return false;
  }
  if (!Exec(kSchema) || !Exec("COMMIT")) {
    SetError("cannot create the tables of the segment database");
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    CloseLocked();
    return false;
  }
  total_kb_ = 0;
  return true;
}

bool AudioDatabaseSql::OpenConnectionLocked() {
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    SetError("cannot open the segment database");
    CloseLocked();
    return false;
  }
  return true;
}

AudioDatabaseSql::Health AudioDatabaseSql::CheckLocked(std::string* why) {
  // Only what a file holds counts as damage; a file that cannot be read now
  // (locked, no permission, an I/O error) is left alone.
  auto failure = [&](const char* what) {
    const int code = sqlite3_errcode(db_);
    *why = std::string(what) + ": " + sqlite3_errmsg(db_);
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT ? Health::kDamaged : Health::kUnusable;
  };
  int64_t tables = 0;
  bool is_null = false;
  if (!QueryInt64("select count(*) from sqlite_master", &tables, &is_null)) {
    return failure("the segment database is damaged or not a database");
  }
  if (tables == 0) return Health::kEmpty;
  {
    Statement columns(db_,
                      "select id,formatid,starttime,durationmsec,sizebytes,sizekb,tnextfile,skim,"
                      "filenametime,scanned from segments limit 0");
    if (!columns.ok()) {
      *why = std::string("the segment database has no complete segments table: ") +
             sqlite3_errmsg(db_);
      return Health::kDamaged;
    }
  }
  Statement check(db_, "pragma quick_check");
  if (!check.ok()) return failure("the segment database cannot be checked");
  if (!check.Step()) return failure("the segment database is damaged");
  const unsigned char* verdict = sqlite3_column_text(check.get(), 0);
  const std::string text = verdict != nullptr ? reinterpret_cast<const char*>(verdict) : "";
  if (text != "ok") {
    *why = "the segment database is damaged: " + text;
    return Health::kDamaged;
  }
  return Health::kGood;
}

bool AudioDatabaseSql::SetAsideLocked(const std::string& why) {
  const std::string stem = path_ + ".damaged-" + StampNow();
  std::string aside = stem;
  for (int n = 2; Exists(aside); ++n) aside = stem + "-" + std::to_string(n);
  if (::rename(path_.c_str(), aside.c_str()) != 0) {
    error_ = why + " (" + path_ + "), and it cannot be moved aside: " + std::strerror(errno);
    return false;
  }
  for (const char* suffix : kCompanions) {
    const std::string companion = path_ + suffix;
    if (Exists(companion) && ::rename(companion.c_str(), (aside + suffix).c_str()) != 0) {
      ::unlink(companion.c_str());
    }
  }
  notice_ = "The segment database " + path_ + " was damaged (" + why + "). It was moved to " +
            aside + " and a new one was created.";
  diag::DebugTrace("AudioDatabaseSql: %s\n", notice_.c_str());
  return true;
}

void AudioDatabaseSql::Close() {
  std::lock_guard lock(mutex_);
  CloseLocked();
}

void AudioDatabaseSql::CloseLocked() {
  // Statements kept across calls go before the connection they belong to.
  sqlite3_finalize(find_stmt_);
  sqlite3_finalize(mark_stmt_);
  sqlite3_finalize(insert_stmt_);
  find_stmt_ = nullptr;
  mark_stmt_ = nullptr;
  insert_stmt_ = nullptr;
  if (db_ != nullptr) sqlite3_close(db_);
  db_ = nullptr;
  total_kb_ = 0;
}

bool AudioDatabaseSql::Exec(const char* sql) {
  if (db_ == nullptr) {
    error_ = "the segment database is not open";
    return false;
  }
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    return SetError("statement failed");
  }
  return true;
}

bool AudioDatabaseSql::QueryInt64(const char* sql, int64_t* value, bool* is_null) {
  if (db_ == nullptr) return false;
  Statement stmt(db_, sql);
  if (!stmt.ok() || !stmt.Step()) return false;
  *is_null = stmt.IsNull(0);
  *value = stmt.Int64(0);
  return true;
}

CZoneTime AudioDatabaseSql::QueryTime(const char* sql) {
  int64_t value = 0;
  bool is_null = true;
  if (!QueryInt64(sql, &value, &is_null) || is_null) return CZoneTime();
  return CZoneTime::FromLinear64(value);
}

void AudioDatabaseSql::RecountTotal() {
  int64_t sum = 0;
  bool is_null = true;
  if (!QueryInt64("select sum(sizekb) from segments", &sum, &is_null) || is_null || sum < 0) {
    sum = 0;
  }
  total_kb_ = sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum);
}

bool AudioDatabaseSql::FindRow(int64_t start, Row* row) {
  if (db_ == nullptr) return false;
  // The scanner looks up every file of the archive at each open: the lookup
  // is prepared once per connection and bound each time.
  if (find_stmt_ == nullptr &&
      sqlite3_prepare_v2(db_,
                         "select id,durationmsec,sizebytes,sizekb,tnextfile,skim from segments "
                         "where starttime=?",
                         -1, &find_stmt_, nullptr) != SQLITE_OK) {
    find_stmt_ = nullptr;
    return false;
  }
  sqlite3_bind_int64(find_stmt_, 1, start);
  const bool found = sqlite3_step(find_stmt_) == SQLITE_ROW;
  if (found) {
    row->id = sqlite3_column_int64(find_stmt_, 0);
    row->duration_ms = sqlite3_column_int64(find_stmt_, 1);
    row->size_bytes = sqlite3_column_int64(find_stmt_, 2);
    row->size_kb = sqlite3_column_int64(find_stmt_, 3);
    row->next_file = sqlite3_column_int64(find_stmt_, 4);
    row->skim = sqlite3_column_int(find_stmt_, 5);
  }
  sqlite3_reset(find_stmt_);
  return found;
}

bool AudioDatabaseSql::HasSegment(const CZoneTime& start) {
  std::lock_guard lock(mutex_);
  Row row;
  return FindRow(start.ToLinear(), &row);
}

bool AudioDatabaseSql::AddSegment(const CZoneTime& start, uint32_t duration_ms, bool skim,
                                  uint32_t size_bytes, const CZoneTime& end) {
  std::lock_guard lock(mutex_);
  const uint32_t kb = KiB(size_bytes);
  const int64_t linear_start = start.ToLinear();
  char sql[kStatementSize];
  Row row;
  if (!FindRow(linear_start, &row)) {
    if (db_ == nullptr) return false;
    // Prepared once: a new database is filled with a row per file at open.
    if (insert_stmt_ == nullptr &&
        sqlite3_prepare_v2(db_,
                           "insert into segments(starttime,durationmsec,sizebytes,sizekb,"
                           "tnextfile,skim,filenametime,scanned) values(?,?,?,?,?,?,?,1)",
                           -1, &insert_stmt_, nullptr) != SQLITE_OK) {
      insert_stmt_ = nullptr;
      return SetError("statement failed");
    }
    sqlite3_bind_int64(insert_stmt_, 1, linear_start);
    sqlite3_bind_int64(insert_stmt_, 2, duration_ms);
    sqlite3_bind_int64(insert_stmt_, 3, size_bytes);
    sqlite3_bind_int64(insert_stmt_, 4, kb);
    sqlite3_bind_int64(insert_stmt_, 5, end.ToLinear());
    sqlite3_bind_int(insert_stmt_, 6, skim ? 1 : 0);
    sqlite3_bind_int64(insert_stmt_, 7, linear_start);
    const bool done = sqlite3_step(insert_stmt_) == SQLITE_DONE;
    sqlite3_reset(insert_stmt_);
    if (!done) return SetError("statement failed");
    total_kb_ += kb;
    return true;
  }
  if (row.duration_ms == duration_ms && row.size_bytes == size_bytes && row.size_kb == kb &&
      CZoneTime::IsSame(CZoneTime::FromLinear64(row.next_file), end) &&
      (row.skim != 0) == skim) {
    return true;
  }
  std::snprintf(sql, sizeof sql,
                "update segments set durationmsec=%" PRId64 ", sizebytes=%u, sizekb=%u, "
                "tnextfile=%" PRId64 ", skim=%d, filenametime=%" PRId64 ", scanned=1 where id=%" PRId64,
                int64_t{duration_ms}, size_bytes, kb, end.ToLinear(), skim ? 1 : 0, linear_start,
                row.id);
  if (!Exec(sql)) return false;
  // A total that lost track of this row must not wrap round to a huge quota use.
  const uint64_t old_kb = row.size_kb < 0 ? 0 : static_cast<uint64_t>(row.size_kb);
  total_kb_ = uint64_t{total_kb_} + kb >= old_kb
                  ? static_cast<uint32_t>(uint64_t{total_kb_} + kb - old_kb)
                  : 0;
  return true;
}

uint32_t AudioDatabaseSql::SizeKBLocked(int64_t start) {
  char sql[kStatementSize];
  std::snprintf(sql, sizeof sql, "select sizekb from segments where starttime=%" PRId64, start);
  int64_t kb = 0;
  bool is_null = true;
  if (!QueryInt64(sql, &kb, &is_null) || is_null || kb < 0) return 0;
  return kb > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(kb);
}

bool AudioDatabaseSql::DeleteSegment(const CZoneTime& start) {
  std::lock_guard lock(mutex_);
  const int64_t linear_start = start.ToLinear();
  const uint32_t kb = SizeKBLocked(linear_start);
  char sql[kStatementSize];
  std::snprintf(sql, sizeof sql, "delete from segments where starttime=%" PRId64, linear_start);
  if (!Exec(sql)) return false;
  if (total_kb_ >= kb) total_kb_ -= kb;
  return true;
}

bool AudioDatabaseSql::BeginScan() {
  std::lock_guard lock(mutex_);
  return Exec("update segments set scanned=2");
}

bool AudioDatabaseSql::EndScan() {
  std::lock_guard lock(mutex_);
  if (!Exec("delete from segments where scanned=2")) return false;
  // Swept rows would otherwise count against the quota until the next Open,
  // and the recycler would delete recordings to make room that is already free.
  RecountTotal();
  return true;
}

bool AudioDatabaseSql::MarkScanned(const CZoneTime& start) {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) return false;
  // One statement finds and marks the row (the scanner's call for every file
  // already indexed); no row changed means there was none.
  if (mark_stmt_ == nullptr &&
      sqlite3_prepare_v2(db_, "update segments set scanned=1 where starttime=?", -1,
                         &mark_stmt_, nullptr) != SQLITE_OK) {
    mark_stmt_ = nullptr;
    return SetError("statement failed");
  }
  sqlite3_bind_int64(mark_stmt_, 1, start.ToLinear());
  const bool done = sqlite3_step(mark_stmt_) == SQLITE_DONE;
  sqlite3_reset(mark_stmt_);
  if (!done) return SetError("statement failed");
  return sqlite3_changes(db_) > 0;
}

uint32_t AudioDatabaseSql::GetTotalKB() {
  std::lock_guard lock(mutex_);
  return total_kb_;
}

uint32_t AudioDatabaseSql::GetSizeKB(const CZoneTime& start) {
  std::lock_guard lock(mutex_);
  return SizeKBLocked(start.ToLinear());
}

CZoneTime AudioDatabaseSql::GetFirstTime() {
  std::lock_guard lock(mutex_);
  return QueryTime("select min(starttime) from segments");
}

CZoneTime AudioDatabaseSql::GetLastTime() {
  std::lock_guard lock(mutex_);
  return QueryTime("select max(starttime) from segments");
}

double AudioDatabaseSql::GetAverageKBPerSecond() {
  std::lock_guard lock(mutex_);
  const CZoneTime first = QueryTime("select min(starttime) from segments");
  const CZoneTime last = QueryTime("select max(starttime) from segments");
  if (first.IsNull() || last.IsNull()) return 0.0;
  const int64_t seconds = CZoneTime::Difference(last, first) / 10'000'000;
  if (seconds <= 0) return 0.0;
  const uint32_t last_kb = SizeKBLocked(last.ToLinear());
  const uint32_t kb = total_kb_ >= last_kb ? total_kb_ - last_kb : 0;
  return static_cast<double>(kb) / static_cast<double>(seconds);
}

bool AudioDatabaseSql::GetIndex(const CZoneTime& from, const CZoneTime& to,
                                IndexCallback callback, void* context) {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) return false;
  char sql[kStatementSize];
  std::snprintf(sql, sizeof sql,
                "select starttime,durationmsec,skim from segments where starttime>=%" PRId64
                " and starttime<%" PRId64 " order by starttime",
                from.ToLinear(), to.ToLinear());
  Statement stmt(db_, sql);
  if (!stmt.ok()) return SetError("cannot read the segment index");
  int returned = 0;
  while (stmt.Step()) {
    ++returned;
    if (!callback(CZoneTime::FromLinear64(stmt.Int64(0)), static_cast<uint32_t>(stmt.Int64(1)),
                  stmt.Int(2) != 0, context)) {
      break;
    }
  }
  diag::DebugTrace("AudioDatabaseSql::GetIndex: nSegmentsReturned=%d\n", returned);
  return true;
}

std::string AudioDatabaseSql::GetPath() {
  std::lock_guard lock(mutex_);
  return path_;
}

std::string AudioDatabaseSql::LastError() {
  std::lock_guard lock(mutex_);
  return error_;
}

std::string AudioDatabaseSql::TakeNotice() {
  std::lock_guard lock(mutex_);
  std::string notice;
  notice.swap(notice_);
  return notice;
}

bool AudioDatabaseSql::BeginBatch() {
  std::lock_guard lock(mutex_);
  if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0) return true;  // one is open
  return Exec("begin");
}

bool AudioDatabaseSql::CommitBatch() {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr || sqlite3_get_autocommit(db_) != 0) return true;
  return Exec("commit");
}

}  // namespace logrum::archive
