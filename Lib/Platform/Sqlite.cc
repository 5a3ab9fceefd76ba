#include "Lib/Platform/Sqlite.h"

#include <sqlite3.h>

namespace logrum::platform {

Status::Code CodeOfSqlite(int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return Status::kOk;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Status::kBusy;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return Status::kCorrupt;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_AUTH:
      return Status::kAccessDenied;
    default:
      return Status::kIoError;
  }
}

namespace {

Status MakeError(sqlite3* db, int rc, std::string_view kind, std::string_view path,
                 std::string_view what) {
  std::string message =
      std::string(kind) + " " + std::string(path) + ": " + std::string(what) + ": ";
  // The connection's message belongs to its last call; a code from elsewhere
  // (a retry loop, a saved result) is described by SQLite's text for the code.
  message += db != nullptr && sqlite3_errcode(db) == rc ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  Status::Code code = CodeOfSqlite(rc);
  if (code == Status::kOk) code = Status::kIoError;  // a misuse of ours, not success
  return Status::Error(code, std::move(message));
}

}  // namespace

SqliteDb::SqliteDb(std::string path, std::string kind, sqlite3* db)
    : path_(std::move(path)), kind_(std::move(kind)), db_(db) {}

SqliteDb::~SqliteDb() {
  sqlite3_close_v2(db_);
}

Status SqliteDb::Open(const std::string& path, int flags, std::string_view kind,
                      std::unique_ptr<SqliteDb>* db) {
  db->reset();
  sqlite3* handle = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &handle, flags, nullptr);
  if (rc != SQLITE_OK) {
    Status status = MakeError(handle, rc, kind, path, "cannot open");
    sqlite3_close_v2(handle);
    return status;
  }
  db->reset(new SqliteDb(path, std::string(kind), handle));
  return Status::Ok();
}

Status SqliteDb::Exec(const char* sql, std::string_view what) {
  const int rc = ExecCode(sql);
  return rc == SQLITE_OK ? Status::Ok() : Error(rc, what);
}

int SqliteDb::ExecCode(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

Status SqliteDb::Error(int rc, std::string_view what) const {
  return MakeError(db_, rc, kind_, path_, what);
}

bool SqliteDb::InTransaction() const {
  return sqlite3_get_autocommit(db_) == 0;
}

int64_t SqliteDb::LastInsertRowid() const {
  return sqlite3_last_insert_rowid(db_);
}

int SqliteDb::Changes() const {
  return sqlite3_changes(db_);
}

SqlStatement::SqlStatement(SqliteDb& db, const char* sql) : db_(db) {
  const int rc = sqlite3_prepare_v2(db.get(), sql, -1, &stmt_, nullptr);
  if (rc != SQLITE_OK) {
    prepared_ = db.Error(rc, std::string("cannot prepare \"") + sql + "\"");
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
}

SqlStatement::~SqlStatement() {
  sqlite3_finalize(stmt_);
}

void SqlStatement::Bind(int index, int64_t value) {
  if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, index, value);
}

void SqlStatement::BindText(int index, std::string_view text) {
  if (stmt_ == nullptr) return;
  sqlite3_bind_text(stmt_, index, text.data() != nullptr ? text.data() : "",
                    static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void SqlStatement::BindBlob(int index, std::string_view bytes) {
  // A null pointer would bind SQL NULL; an empty value is an empty blob.
  if (stmt_ == nullptr) return;
  sqlite3_bind_blob(stmt_, index, bytes.empty() ? "" : bytes.data(), static_cast<int>(bytes.size()),
                    SQLITE_TRANSIENT);
}

Status SqlStatement::Fail(int rc, std::string_view what) const {
  if (!what.empty()) return db_.Error(rc, what);
  return db_.Error(rc, std::string("\"") + sqlite3_sql(stmt_) + "\"");
}

Status SqlStatement::Step(bool* row, std::string_view what) {
  *row = false;
  if (!prepared_.ok()) return prepared_;
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) {
    *row = true;
    return Status::Ok();
  }
  if (rc == SQLITE_DONE) return Status::Ok();
  return Fail(rc, what);
}

Status SqlStatement::Run(std::string_view what) {
  bool row = false;
  Status status;
  do {
    status = Step(&row, what);
  } while (status.ok() && row);
  return status;
}

void SqlStatement::Reset() {
  if (stmt_ == nullptr) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int64_t SqlStatement::Int(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

bool SqlStatement::IsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::string SqlStatement::Text(int column) const {
  const void* bytes = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  return bytes != nullptr ? std::string(static_cast<const char*>(bytes), size) : std::string();
}

}  // namespace logrum::platform
