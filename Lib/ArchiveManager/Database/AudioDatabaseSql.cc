#include "Lib/ArchiveManager/Database/AudioDatabaseSql.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>

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

constexpr const char* kKind = "segment database";
// Another reader of the file (an engineer's sqlite3, a tool, a copy being
// taken) may hold its lock for a moment; a write waits that long rather than
// leaving a recorded segment without its row. A lock held longer still fails.
constexpr int kBusyWaitMs = 2000;

platform::Status NotOpen(const std::string& path) {
  return platform::Status::Error(platform::Status::kInvalidArgument,
                                 std::string(kKind) + " " + path + ": not open");
}

}  // namespace

AudioDatabaseSql::~AudioDatabaseSql() { Close(); }

bool AudioDatabaseSql::Fail(const platform::Status& status) {
  diag::DebugTrace("AudioDatabaseSql: %s\n", status.message().c_str());
  return false;
}

platform::SqlStatement* AudioDatabaseSql::Prepared(std::unique_ptr<platform::SqlStatement>* stmt,
                                                   const char* sql) {
  // One that failed to prepare is tried again, as a statement made afresh would be.
  if (*stmt == nullptr || !(*stmt)->prepared().ok()) {
    *stmt = std::make_unique<platform::SqlStatement>(*db_, sql);
  }
  // Every use resets its statement when done with it, so it comes back ready.
  return stmt->get();
}

platform::Status AudioDatabaseSql::Open(std::string_view folder) {
  kit::MutexLock lock(mutex_);
  CloseLocked();
  notice_.clear();
  if (folder.empty()) {
    return platform::Status::Error(platform::Status::kInvalidArgument,
                                   "no archive folder for the segment database");
  }
  path_ = std::string(folder);
  if (path_.back() != '/') path_.push_back('/');
  path_ += "archive.db3";
  if (path_.size() >= PATH_MAX) {
    return platform::Status::Error(platform::Status::kInvalidArgument,
                                   "segment database path too long: " + path_);
  }
  struct stat st {};
  const bool existed = ::stat(path_.c_str(), &st) == 0;
  if (platform::Status status = OpenConnectionLocked(); !status.ok()) return status;
  if (existed) {
    std::string why;
    switch (CheckLocked(&why)) {
      case Health::kGood:
        RecountTotal();
        return platform::Status::Ok();
      case Health::kEmpty:
        break;  // its first open was cut short: it gets its tables now
      case Health::kDamaged: {
        // The database is only an index of the segment files: a bad one must
        // not keep the archive from recording. It is kept for a look, under
        // a name that says what it is, and a new one takes its place.
        CloseLocked();
        platform::Status status = SetAsideLocked(why);
        if (status.ok()) status = OpenConnectionLocked();
        if (!status.ok()) return status;
        break;
      }
      case Health::kUnusable:
        CloseLocked();
        return platform::Status::Error(platform::Status::kIoError, why);
    }
  }
  platform::Status status = db_->Exec(kSchemaPragma, "cannot create its tables");
  if (status.ok()) status = db_->Exec("BEGIN", "cannot create its tables");
  if (status.ok()) {
    status = db_->Exec(kSchema, "cannot create its tables");
    if (status.ok()) status = db_->Exec("COMMIT", "cannot create its tables");
    if (!status.ok()) db_->ExecCode("ROLLBACK");
  }
  if (!status.ok()) {
    CloseLocked();
    return status;
  }
  total_kb_ = 0;
  return platform::Status::Ok();
}

platform::Status AudioDatabaseSql::OpenConnectionLocked() {
  platform::Status status =
      platform::SqliteDb::Open(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, kKind, &db_);
  if (status.ok()) sqlite3_busy_timeout(db_->get(), kBusyWaitMs);
  return status;
}

AudioDatabaseSql::Health AudioDatabaseSql::CheckLocked(std::string* why) {
  // Only what a file holds counts as damage; a file that cannot be read now
  // (locked, no permission, an I/O error) is left alone.
  auto failure = [&](const char* what, const platform::Status& status) {
    *why = std::string(what) + ": " + status.message();
    return status.code() == platform::Status::kCorrupt ? Health::kDamaged : Health::kUnusable;
  };
  int64_t tables = 0;
  bool is_null = false;
  if (platform::Status status = QueryInt64("select count(*) from sqlite_master", &tables, &is_null);
      !status.ok()) {
    return failure("the segment database is damaged or not a database", status);
  }
  if (tables == 0) return Health::kEmpty;
  {
    platform::SqlStatement columns(
        *db_,
        "select id,formatid,starttime,durationmsec,sizebytes,sizekb,tnextfile,skim,"
        "filenametime,scanned from segments limit 0");
    if (!columns.prepared().ok()) {
      *why = "the segment database has no complete segments table: " + columns.prepared().message();
      return Health::kDamaged;
    }
  }
  platform::SqlStatement check(*db_, "pragma quick_check");
  bool row = false;
  if (platform::Status status = check.Step(&row); !status.ok()) {
    return failure("the segment database cannot be checked", status);
  }
  const std::string text = row ? check.Text(0) : "";
  if (text != "ok") {
    *why = "the segment database is damaged: " + text;
    return Health::kDamaged;
  }
  return Health::kGood;
}

platform::Status AudioDatabaseSql::SetAsideLocked(const std::string& why) {
  const std::string stem = path_ + ".damaged-" + StampNow();
  std::string aside = stem;
  for (int n = 2; Exists(aside); ++n) aside = stem + "-" + std::to_string(n);
  if (::rename(path_.c_str(), aside.c_str()) != 0) {
    return platform::ErrnoStatus(errno, why + " (" + path_ + "), and it cannot be moved aside");
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
  return platform::Status::Ok();
}

void AudioDatabaseSql::Close() {
  kit::MutexLock lock(mutex_);
  CloseLocked();
}

void AudioDatabaseSql::CloseLocked() {
  // Statements kept across calls go before the connection they belong to.
  find_stmt_.reset();
  mark_stmt_.reset();
  insert_stmt_.reset();
  db_.reset();
  total_kb_ = 0;
}

bool AudioDatabaseSql::Exec(const char* sql, const char* what) {
  if (db_ == nullptr) return Fail(NotOpen(path_));
  if (platform::Status status = db_->Exec(sql, what); !status.ok()) return Fail(status);
  return true;
}

platform::Status AudioDatabaseSql::QueryInt64(const char* sql, int64_t* value, bool* is_null) {
  if (db_ == nullptr) return NotOpen(path_);
  platform::SqlStatement stmt(*db_, sql);
  bool row = false;
  if (platform::Status status = stmt.Step(&row); !status.ok()) return status;
  *is_null = !row || stmt.IsNull(0);
  *value = row ? stmt.Int(0) : 0;
  return platform::Status::Ok();
}

CZoneTime AudioDatabaseSql::QueryTime(const char* sql) {
  int64_t value = 0;
  bool is_null = true;
  if (platform::Status status = QueryInt64(sql, &value, &is_null); !status.ok()) {
    Fail(status);
    return CZoneTime();
  }
  if (is_null) return CZoneTime();
  return CZoneTime::FromLinear64(value);
}

void AudioDatabaseSql::RecountTotal() {
  int64_t sum = 0;
  bool is_null = true;
  if (platform::Status status = QueryInt64("select sum(sizekb) from segments", &sum, &is_null);
      !status.ok()) {
    Fail(status);
    sum = 0;
  }
  if (is_null || sum < 0) sum = 0;
  total_kb_ = sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum);
}

platform::Status AudioDatabaseSql::FindRow(int64_t start, Row* row, bool* found) {
  *found = false;
  if (db_ == nullptr) return NotOpen(path_);
  // The scanner looks up every file of the archive at each open: the lookup
  // is prepared once per connection and bound each time.
  platform::SqlStatement* find =
      Prepared(&find_stmt_,
               "select id,durationmsec,sizebytes,sizekb,tnextfile,skim from segments "
               "where starttime=?1");
  find->Bind(1, start);
  platform::Status status = find->Step(found);
  if (status.ok() && *found) {
    row->id = find->Int(0);
    row->duration_ms = find->Int(1);
    row->size_bytes = find->Int(2);
    row->size_kb = find->Int(3);
    row->next_file = find->Int(4);
    row->skim = static_cast<int>(find->Int(5));
  }
  find->Reset();
  return status;
}

bool AudioDatabaseSql::HasSegment(const CZoneTime& start) {
  kit::MutexLock lock(mutex_);
  Row row;
  bool found = false;
  if (platform::Status status = FindRow(start.ToLinear(), &row, &found); !status.ok()) {
    return Fail(status);
  }
  return found;
}

platform::Status AudioDatabaseSql::AddSegment(const CZoneTime& start, uint32_t duration_ms,
                                              bool skim, uint32_t size_bytes,
                                              const CZoneTime& end) {
  kit::MutexLock lock(mutex_);
  const uint32_t kb = KiB(size_bytes);
  const int64_t linear_start = start.ToLinear();
  Row row;
  bool found = false;
  // A lookup that failed must not be taken for a missing row: that would
  // insert a second row for the segment.
  if (platform::Status status = FindRow(linear_start, &row, &found); !status.ok()) {
    return status;
  }
  if (!found) {
    // Prepared once: a new database is filled with a row per file at open.
    platform::SqlStatement* insert =
        Prepared(&insert_stmt_,
                 "insert into segments(starttime,durationmsec,sizebytes,sizekb,"
                 "tnextfile,skim,filenametime,scanned) values(?1,?2,?3,?4,?5,?6,?7,1)");
    insert->Bind(1, linear_start);
    insert->Bind(2, duration_ms);
    insert->Bind(3, size_bytes);
    insert->Bind(4, kb);
    insert->Bind(5, end.ToLinear());
    insert->Bind(6, skim ? 1 : 0);
    insert->Bind(7, linear_start);
    platform::Status status = insert->Run();
    insert->Reset();
    if (!status.ok()) return status;
    total_kb_ += kb;
    return platform::Status::Ok();
  }
  if (row.duration_ms == duration_ms && row.size_bytes == size_bytes && row.size_kb == kb &&
      CZoneTime::IsSame(CZoneTime::FromLinear64(row.next_file), end) &&
      (row.skim != 0) == skim) {
    return platform::Status::Ok();
  }
  platform::SqlStatement update(*db_,
                                "update segments set durationmsec=?1, sizebytes=?2, sizekb=?3, "
                                "tnextfile=?4, skim=?5, filenametime=?6, scanned=1 where id=?7");
  update.Bind(1, duration_ms);
  update.Bind(2, size_bytes);
  update.Bind(3, kb);
  update.Bind(4, end.ToLinear());
  update.Bind(5, skim ? 1 : 0);
  update.Bind(6, linear_start);
  update.Bind(7, row.id);
  if (platform::Status status = update.Run(); !status.ok()) return status;
  // A total that lost track of this row must not wrap round to a huge quota use.
  const uint64_t old_kb = row.size_kb < 0 ? 0 : static_cast<uint64_t>(row.size_kb);
  total_kb_ = uint64_t{total_kb_} + kb >= old_kb
                  ? static_cast<uint32_t>(uint64_t{total_kb_} + kb - old_kb)
                  : 0;
  return platform::Status::Ok();
}

uint32_t AudioDatabaseSql::SizeKBLocked(int64_t start) {
  if (db_ == nullptr) return 0;
  platform::SqlStatement size(*db_, "select sizekb from segments where starttime=?1");
  size.Bind(1, start);
  bool row = false;
  if (platform::Status status = size.Step(&row); !status.ok()) {
    Fail(status);
    return 0;
  }
  if (!row || size.IsNull(0) || size.Int(0) < 0) return 0;
  return size.Int(0) > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size.Int(0));
}

bool AudioDatabaseSql::DeleteSegment(const CZoneTime& start) {
  kit::MutexLock lock(mutex_);
  if (db_ == nullptr) return Fail(NotOpen(path_));
  const int64_t linear_start = start.ToLinear();
  const uint32_t kb = SizeKBLocked(linear_start);
  platform::SqlStatement remove(*db_, "delete from segments where starttime=?1");
  remove.Bind(1, linear_start);
  if (platform::Status status = remove.Run(); !status.ok()) return Fail(status);
  if (total_kb_ >= kb) total_kb_ -= kb;
  return true;
}

bool AudioDatabaseSql::BeginScan() {
  kit::MutexLock lock(mutex_);
  return Exec("update segments set scanned=2", "cannot begin a scan");
}

bool AudioDatabaseSql::EndScan() {
  kit::MutexLock lock(mutex_);
  if (!Exec("delete from segments where scanned=2", "cannot end a scan")) return false;
  // Swept rows would otherwise count against the quota until the next Open,
  // and the recycler would delete recordings to make room that is already free.
  RecountTotal();
  return true;
}

bool AudioDatabaseSql::MarkScanned(const CZoneTime& start) {
  kit::MutexLock lock(mutex_);
  if (db_ == nullptr) return Fail(NotOpen(path_));
  // One statement finds and marks the row (the scanner's call for every file
  // already indexed); no row changed means there was none.
  platform::SqlStatement* mark =
      Prepared(&mark_stmt_, "update segments set scanned=1 where starttime=?1");
  mark->Bind(1, start.ToLinear());
  platform::Status status = mark->Run();
  mark->Reset();
  if (!status.ok()) return Fail(status);
  return db_->Changes() > 0;
}

uint32_t AudioDatabaseSql::GetTotalKB() {
  kit::MutexLock lock(mutex_);
  return total_kb_;
}

uint32_t AudioDatabaseSql::GetSizeKB(const CZoneTime& start) {
  kit::MutexLock lock(mutex_);
  return SizeKBLocked(start.ToLinear());
}

CZoneTime AudioDatabaseSql::GetFirstTime() {
  kit::MutexLock lock(mutex_);
  return QueryTime("select min(starttime) from segments");
}

CZoneTime AudioDatabaseSql::GetLastTime() {
  kit::MutexLock lock(mutex_);
  return QueryTime("select max(starttime) from segments");
}

double AudioDatabaseSql::GetAverageKBPerSecond() {
  kit::MutexLock lock(mutex_);
  const CZoneTime first = QueryTime("select min(starttime) from segments");
  const CZoneTime last = QueryTime("select max(starttime) from segments");
  if (first.IsNull() || last.IsNull()) return 0.0;
  const int64_t seconds = CZoneTime::Difference(last, first) / 10'000'000;
  if (seconds <= 0) return 0.0;
  const uint32_t last_kb = SizeKBLocked(last.ToLinear());
  const uint32_t kb = total_kb_ >= last_kb ? total_kb_ - last_kb : 0;
  return static_cast<double>(kb) / static_cast<double>(seconds);
}

platform::Status AudioDatabaseSql::GetIndex(const CZoneTime& from, const CZoneTime& to,
                                            IndexCallback callback, void* context) {
  kit::MutexLock lock(mutex_);
  if (db_ == nullptr) return NotOpen(path_);
  platform::SqlStatement stmt(*db_,
                              "select starttime,durationmsec,skim from segments where "
                              "starttime>=?1 and starttime<?2 order by starttime");
  stmt.Bind(1, from.ToLinear());
  stmt.Bind(2, to.ToLinear());
  int returned = 0;
  bool row = false;
  platform::Status status;
  while ((status = stmt.Step(&row, "cannot read the segment index")).ok() && row) {
    ++returned;
    if (!callback(CZoneTime::FromLinear64(stmt.Int(0)), static_cast<uint32_t>(stmt.Int(1)),
                  stmt.Int(2) != 0, context)) {
      break;
    }
  }
  if (!status.ok()) {
    diag::DebugTrace("AudioDatabaseSql::GetIndex: %s\n", status.message().c_str());
    return status;
  }
  diag::DebugTrace("AudioDatabaseSql::GetIndex: nSegmentsReturned=%d\n", returned);
  return platform::Status::Ok();
}

std::string AudioDatabaseSql::GetPath() {
  kit::MutexLock lock(mutex_);
  return path_;
}

std::string AudioDatabaseSql::TakeNotice() {
  kit::MutexLock lock(mutex_);
  std::string notice;
  notice.swap(notice_);
  return notice;
}

bool AudioDatabaseSql::BeginBatch() {
  kit::MutexLock lock(mutex_);
  if (db_ != nullptr && db_->InTransaction()) return true;  // one is open
  return Exec("begin", "cannot begin a batch");
}

bool AudioDatabaseSql::CommitBatch() {
  kit::MutexLock lock(mutex_);
  if (db_ == nullptr || !db_->InTransaction()) return true;
  return Exec("commit", "cannot commit a batch");
}

}  // namespace logrum::archive
