// The one way our code talks to SQLite: a connection and its prepared
// statements as RAII objects, parameters bound (never formatted into the SQL),
// and every result code carried out as a Status that names the database (its
// kind and path) and the statement or the thing being done.
//
// Failure policy: a step answers "a row", "done" or an error, and an error is
// never taken for the end of the rows: SQLITE_BUSY (another connection holds
// the file), SQLITE_IOERR and the rest come out as a Status, so a reader can
// tell a short answer from a complete one. Codes map to Status codes as
// BUSY/LOCKED -> kBusy, CORRUPT/NOTADB -> kCorrupt, PERM/READONLY/CANTOPEN/AUTH
// -> kAccessDenied, anything else -> kIoError.
//
// Ownership: SqliteDb owns its connection and closes it on destruction; every
// SqlStatement must be destroyed before the SqliteDb it was prepared on.
//
// Thread safety: none of its own. A SqliteDb and its statements are used by one
// thread at a time; the owner serialises (the registry and the segment
// database each hold one lock around every use).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Lib/Platform/Status.h"

struct sqlite3;
struct sqlite3_stmt;

namespace logrum::platform {

class SqliteDb {
 public:
  // Opens (with SQLite's open flags) the file at `path`. `kind` names the
  // database in messages ("registry store", "segment database"). On failure
  // *db is null.
  static Status Open(const std::string& path, int flags, std::string_view kind,
                     std::unique_ptr<SqliteDb>* db);
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  sqlite3* get() const { return db_; }
  const std::string& path() const { return path_; }

  // Runs a script of statements without results.
  Status Exec(const char* sql, std::string_view what);
  // The raw code of a script, for callers that retry on a particular one.
  int ExecCode(const char* sql);

  // "<kind> <path>: <what>: <SQLite's message>" with the code of `rc`.
  Status Error(int rc, std::string_view what) const;

  bool InTransaction() const;  // a BEGIN is open on this connection
  int64_t LastInsertRowid() const;
  int Changes() const;  // rows changed by the last statement

 private:
  SqliteDb(std::string path, std::string kind, sqlite3* db);

  const std::string path_;
  const std::string kind_;
  sqlite3* const db_;
};

// The Status code of a SQLite result code.
Status::Code CodeOfSqlite(int rc);

class SqlStatement {
 public:
  // Prepares `sql` on `db`; a failure is kept and returned by every Step/Run.
  SqlStatement(SqliteDb& db, const char* sql);
  ~SqlStatement();
  SqlStatement(const SqlStatement&) = delete;
  SqlStatement& operator=(const SqlStatement&) = delete;

  // The result of preparing.
  const Status& prepared() const { return prepared_; }

  // Parameters are numbered from 1. Text and blobs are copied.
  void Bind(int index, int64_t value);
  void BindText(int index, std::string_view text);
  void BindBlob(int index, std::string_view bytes);  // empty binds an empty blob, not NULL

  // One step: *row is true when a row is available and false when the
  // statement is done; any other outcome is an error naming `what` (the SQL
  // text when `what` is empty).
  Status Step(bool* row, std::string_view what = {});
  // Steps a statement that gives no rows to its end.
  Status Run(std::string_view what = {});
  // Makes the statement ready to be stepped again with new parameters.
  void Reset();

  int64_t Int(int column) const;
  bool IsNull(int column) const;
  std::string Text(int column) const;  // the bytes of a text or blob column

 private:
  Status Fail(int rc, std::string_view what) const;

  SqliteDb& db_;
  sqlite3_stmt* stmt_ = nullptr;
  Status prepared_;
};

}  // namespace logrum::platform
