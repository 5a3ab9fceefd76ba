#include "Lib/Platform/Registry.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

#include "Lib/Platform/Sqlite.h"
#include "Lib/Platform/StateFolder.h"

namespace logrum::platform {
namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kFormatVersion = 1;
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;
constexpr int64_t kLocalMachineId = 1;
constexpr int64_t kCurrentUserId = 2;

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS reg_format(version INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS reg_keys("
    "  id INTEGER PRIMARY KEY,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  class TEXT NOT NULL,"
    "  UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS reg_values("
    "  id INTEGER PRIMARY KEY,"
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  UNIQUE(key, name));"
    "INSERT INTO reg_format SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM reg_format);"
    "INSERT OR IGNORE INTO reg_keys(id, parent, name, class) VALUES"
    "  (1, 0, 'HKEY_LOCAL_MACHINE', ''), (2, 0, 'HKEY_CURRENT_USER', '');";

std::string FullKeyName(RegRoot root, std::string_view path) {
  std::string name = RegRootName(root);
  if (!path.empty()) {
    name += '\\';
    name += path;
  }
  return name;
}

// The store never replaces a file it cannot read: an error says so.
Status SqlError(Status status) {
  if (status.code() != Status::kCorrupt) return status;
  return Status::Error(Status::kCorrupt, status.message() + " (the file was left as it is)");
}

Status SqlError(const SqliteDb& db, int rc, std::string_view what) {
  return SqlError(db.Error(rc, what));
}

Status Invalid(std::string message) {
  return Status::Error(Status::kInvalidArgument, std::move(message));
}

// Splits a key path into its names. The empty path is the root; one trailing
// backslash is tolerated, an empty name anywhere else is not.
Status SplitPath(RegRoot root, std::string_view path, std::vector<std::string_view>* names) {
  names->clear();
  if (path.empty()) return Status::Ok();
  if (path.back() == '\\') path.remove_suffix(1);
  while (true) {
    size_t slash = path.find('\\');
    std::string_view name = path.substr(0, slash);
    if (name.empty()) return Invalid(FullKeyName(root, path) + ": empty key name in the path");
    if (name.size() > kMaxKeyName) {
      return Invalid("key name longer than 255 bytes: " + std::string(name.substr(0, 40)) + "...");
    }
    if (name.find('\0') != std::string_view::npos) return Invalid("key name holds a NUL byte");
    names->push_back(name);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return Status::Ok();
}

Status CheckValueName(std::string_view name) {
  if (name.size() > kMaxValueName) return Invalid("value name longer than 16383 bytes");
  if (name.find('\0') != std::string_view::npos) return Invalid("value name holds a NUL byte");
  return Status::Ok();
}

}  // namespace

const char* RegRootName(RegRoot root) {
  return root == RegRoot::kCurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

std::string RegTypeName(uint32_t type) {
  switch (type) {
    case 0: return "REG_NONE";
    case kRegString: return "REG_SZ";
    case 2: return "REG_EXPAND_SZ";
    case kRegBinary: return "REG_BINARY";
    case kRegDword: return "REG_DWORD";
    case 5: return "REG_DWORD_BIG_ENDIAN";
    case 6: return "REG_LINK";
    case 7: return "REG_MULTI_SZ";
    case 11: return "REG_QWORD";
    default: return "REG_TYPE_" + std::to_string(type);
  }
}

// ---- Registry ---------------------------------------------------------------

Registry::Registry(std::unique_ptr<SqliteDb> db) : path_(db->path()), db_(std::move(db)) {}

Registry::~Registry() = default;

Status Registry::Open(const std::string& path, std::unique_ptr<Registry>* store) {
  store->reset();
  std::unique_ptr<SqliteDb> connection;
  if (Status status =
          SqliteDb::Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                         "registry store", &connection);
      !status.ok()) {
    return SqlError(std::move(status));
  }
  SqliteDb& db = *connection;
  std::unique_ptr<Registry> opened(new Registry(std::move(connection)));
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);

  // The first read of the header tells a foreign or damaged file apart; nothing
  // below writes to a file that has not passed these checks.
  int tables = 0;
  bool has_format = false;
  bool row = false;
  {
    SqlStatement list(db, "SELECT name FROM sqlite_master WHERE type = 'table'");
    Status status;
    while ((status = list.Step(&row, "unreadable")).ok() && row) {
      ++tables;
      if (list.Text(0) == "reg_format") has_format = true;
    }
    if (!status.ok()) return SqlError(std::move(status));
  }
  if (tables > 0 && !has_format) {
    return Status::Error(Status::kCorrupt, "registry store " + path +
                                               ": not a registry store (it holds other tables); "
                                               "the file was left as it is");
  }
  if (has_format) {
    SqlStatement check(db, "PRAGMA quick_check(1)");
    if (Status status = check.Step(&row, "integrity check failed"); !status.ok()) {
      return SqlError(std::move(status));
    }
    if (!row) return SqlError(db, SQLITE_CORRUPT, "integrity check failed");
    if (std::string verdict = check.Text(0); verdict != "ok") {
      return Status::Error(Status::kCorrupt, "registry store " + path + ": damaged (" + verdict +
                                                 "); the file was left as it is");
    }
    SqlStatement version(db, "SELECT version FROM reg_format");
    if (Status status = version.Step(&row, "unreadable"); !status.ok()) {
      return SqlError(std::move(status));
    }
    if (row && version.Int(0) != kFormatVersion) {
      return Status::Error(Status::kCorrupt,
                           "registry store " + path + ": layout version " +
                               std::to_string(version.Int(0)) + ", this program reads " +
                               std::to_string(kFormatVersion) + "; the file was left as it is");
    }
  }

  // The switch to write-ahead logging takes an exclusive lock without waiting on
  // the busy handler, so a second process opening the store at the same moment
  // gets BUSY (or a transient I/O error while the first creates the -shm file).
  // Retry for as long as any other write would wait.
  for (int waited_ms = 0;; waited_ms += 10) {
    const int rc = db.ExecCode("PRAGMA journal_mode=WAL");
    if (rc == SQLITE_OK) break;
    int primary = rc & 0xFF;
    bool transient = primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_IOERR;
    if (!transient || waited_ms >= kBusyTimeoutMs) {
      return SqlError(db, rc, "cannot switch to write-ahead logging");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (Status status = db.Exec("PRAGMA synchronous=FULL", "cannot set synchronous mode");
      !status.ok()) {
    return SqlError(std::move(status));
  }
  if (!has_format) {
    // A new store. Another process may be creating it at the same moment: the
    // schema statements are idempotent and run under the write lock.
    if (Status status = db.Exec("BEGIN IMMEDIATE", "cannot create"); !status.ok()) {
      return SqlError(std::move(status));
    }
    Status status = db.Exec(kSchema, "cannot create");
    if (status.ok()) status = db.Exec("COMMIT", "cannot create");
    if (!status.ok()) {
      db.ExecCode("ROLLBACK");
      return SqlError(std::move(status));
    }
  }
  *store = std::move(opened);
  return Status::Ok();
}

Status Registry::OpenInStateFolder(std::unique_ptr<Registry>* store) {
  store->reset();
  std::string folder;
  if (Status status = MakeStateFolder(&folder); !status.ok()) {
    // The store has always reported an unusable state folder as refused access.
    return Status::Error(Status::kAccessDenied, status.message());
  }
  return Open(folder + "/registry.db3", store);
}

void Registry::SetWriteHookForTesting(std::function<void(int)> hook) {
  kit::MutexLock lock(mutex_);
  write_hook_ = std::move(hook);
}

Status Registry::Run(bool write, const std::function<Status(RegistryTxn&)>& body) {
  kit::MutexLock lock(mutex_);
  if (Status begun = db_->Exec(write ? "BEGIN IMMEDIATE" : "BEGIN",
                               write ? "cannot begin a write" : "cannot read");
      !begun.ok()) {
    return SqlError(std::move(begun));
  }
  RegistryTxn txn(this, write);
  Status status;
  try {
    status = body(txn);
  } catch (const std::exception& e) {
    status = Status::Error(Status::kIoError, "registry store " + path_ + ": " + e.what());
  }
  if (status.ok()) status = SqlError(db_->Exec("COMMIT", write ? "cannot commit" : "cannot read"));
  if (db_->InTransaction()) db_->ExecCode("ROLLBACK");
  if (write && status.ok()) {
    // Best effort: a reader holding an old snapshot may keep part of the log
    // back; the next write or the last close copies the rest.
    sqlite3_wal_checkpoint_v2(db_->get(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  }
  return status;
}

Status Registry::Update(const std::function<Status(RegistryTxn&)>& body) {
  return Run(true, body);
}

Status Registry::View(const std::function<Status(RegistryTxn&)>& body) {
  return Run(false, body);
}

Status Registry::CreateKey(RegRoot root, std::string_view path, std::string_view class_name,
                           bool* created) {
  return Update([&](RegistryTxn& txn) { return txn.CreateKey(root, path, class_name, created); });
}

Status Registry::DeleteKey(RegRoot root, std::string_view path) {
  return Update([&](RegistryTxn& txn) { return txn.DeleteKey(root, path); });
}

Status Registry::SetValue(RegRoot root, std::string_view path, std::string_view name, uint32_t type,
                          std::string_view data) {
  return Update([&](RegistryTxn& txn) { return txn.SetValue(root, path, name, type, data); });
}

Status Registry::DeleteValue(RegRoot root, std::string_view path, std::string_view name) {
  return Update([&](RegistryTxn& txn) { return txn.DeleteValue(root, path, name); });
}

Status Registry::KeyExists(RegRoot root, std::string_view path, bool* exists) {
  return View([&](RegistryTxn& txn) { return txn.KeyExists(root, path, exists); });
}

Status Registry::GetValue(RegRoot root, std::string_view path, std::string_view name,
                          RegValue* value) {
  return View([&](RegistryTxn& txn) { return txn.GetValue(root, path, name, value); });
}

Status Registry::ListValues(RegRoot root, std::string_view path, std::vector<RegValue>* values) {
  return View([&](RegistryTxn& txn) { return txn.ListValues(root, path, values); });
}

Status Registry::ListSubkeys(RegRoot root, std::string_view path, std::vector<std::string>* names) {
  return View([&](RegistryTxn& txn) { return txn.ListSubkeys(root, path, names); });
}

Status Registry::GetKeyInfo(RegRoot root, std::string_view path, RegKeyInfo* info) {
  return View([&](RegistryTxn& txn) { return txn.GetKeyInfo(root, path, info); });
}

// ---- RegistryTxn ------------------------------------------------------------

Status RegistryTxn::CheckWritable() {
  if (writable_) return Status::Ok();
  return Invalid("registry store " + store_->path_ + ": write inside a read-only view");
}

void RegistryTxn::Wrote() {
  ++writes_;
  if (store_->write_hook_) store_->write_hook_(writes_);
}

Status RegistryTxn::FindKey(RegRoot root, std::string_view path, int64_t* id) {
  std::vector<std::string_view> names;
  if (Status status = SplitPath(root, path, &names); !status.ok()) return status;
  SqliteDb& db = this->db();
  int64_t key = root == RegRoot::kCurrentUser ? kCurrentUserId : kLocalMachineId;
  for (std::string_view name : names) {
    SqlStatement find(db, "SELECT id FROM reg_keys WHERE parent = ?1 AND name = ?2");
    find.Bind(1, key);
    find.BindText(2, name);
    bool row = false;
    if (Status status = find.Step(&row, FullKeyName(root, path)); !status.ok()) {
      return SqlError(std::move(status));
    }
    if (!row) return Status::Error(Status::kNotFound, FullKeyName(root, path) + ": no such key");
    key = find.Int(0);
  }
  *id = key;
  return Status::Ok();
}

Status RegistryTxn::CreateKey(RegRoot root, std::string_view path, std::string_view class_name,
                              bool* created) {
  if (Status status = CheckWritable(); !status.ok()) return status;
  std::vector<std::string_view> names;
  if (Status status = SplitPath(root, path, &names); !status.ok()) return status;
  SqliteDb& db = this->db();
  int64_t key = root == RegRoot::kCurrentUser ? kCurrentUserId : kLocalMachineId;
  bool made = false;
  for (std::string_view name : names) {
    SqlStatement find(db, "SELECT id FROM reg_keys WHERE parent = ?1 AND name = ?2");
    find.Bind(1, key);
    find.BindText(2, name);
    bool row = false;
    if (Status status = find.Step(&row, FullKeyName(root, path)); !status.ok()) {
      return SqlError(std::move(status));
    }
    if (row) {
      key = find.Int(0);
      made = false;
      continue;
    }
    SqlStatement insert(db, "INSERT INTO reg_keys(parent, name, class) VALUES(?1, ?2, ?3)");
    insert.Bind(1, key);
    insert.BindText(2, name);
    insert.BindText(3, class_name);
    if (Status status = insert.Run("cannot create " + FullKeyName(root, path)); !status.ok()) {
      return SqlError(std::move(status));
    }
    key = db.LastInsertRowid();
    made = true;
    Wrote();
  }
  if (created != nullptr) *created = made;
  return Status::Ok();
}

Status RegistryTxn::DeleteKey(RegRoot root, std::string_view path) {
  if (Status status = CheckWritable(); !status.ok()) return status;
  int64_t key;
  if (Status status = FindKey(root, path, &key); !status.ok()) return status;
  if (key == kLocalMachineId || key == kCurrentUserId) {
    return Invalid(std::string(RegRootName(root)) + ": a root key cannot be deleted");
  }
  SqliteDb& db = this->db();
  static const char* const kDeletes[] = {
      "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
      "  SELECT k.id FROM reg_keys k JOIN tree ON k.parent = tree.id)"
      " DELETE FROM reg_values WHERE key IN tree",
      "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
      "  SELECT k.id FROM reg_keys k JOIN tree ON k.parent = tree.id)"
      " DELETE FROM reg_keys WHERE id IN tree",
  };
  for (const char* sql : kDeletes) {
    SqlStatement remove(db, sql);
    remove.Bind(1, key);
    if (Status status = remove.Run("cannot delete " + FullKeyName(root, path)); !status.ok()) {
      return SqlError(std::move(status));
    }
    Wrote();
  }
  return Status::Ok();
}

Status RegistryTxn::SetValue(RegRoot root, std::string_view path, std::string_view name,
                             uint32_t type, std::string_view data) {
  if (Status status = CheckWritable(); !status.ok()) return status;
  if (Status status = CheckValueName(name); !status.ok()) return status;
  if (type == kRegDword && data.size() != 4) {
    return Invalid(FullKeyName(root, path) + ": dword value \"" + std::string(name) +
                   "\" must be 4 bytes, not " + std::to_string(data.size()));
  }
  int64_t key;
  if (Status status = FindKey(root, path, &key); !status.ok()) return status;
  SqlStatement upsert(
      db(),
      "INSERT INTO reg_values(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"
      " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
  upsert.Bind(1, key);
  upsert.BindText(2, name);
  upsert.Bind(3, type);
  upsert.BindBlob(4, data);
  if (Status status =
          upsert.Run("cannot write " + FullKeyName(root, path) + " \"" + std::string(name) + "\"");
      !status.ok()) {
    return SqlError(std::move(status));
  }
  Wrote();
  return Status::Ok();
}

Status RegistryTxn::DeleteValue(RegRoot root, std::string_view path, std::string_view name) {
  if (Status status = CheckWritable(); !status.ok()) return status;
  int64_t key;
  if (Status status = FindKey(root, path, &key); !status.ok()) return status;
  SqliteDb& db = this->db();
  SqlStatement remove(db, "DELETE FROM reg_values WHERE key = ?1 AND name = ?2");
  remove.Bind(1, key);
  remove.BindText(2, name);
  if (Status status =
          remove.Run("cannot delete " + FullKeyName(root, path) + " \"" + std::string(name) + "\"");
      !status.ok()) {
    return SqlError(std::move(status));
  }
  if (db.Changes() == 0) {
    return Status::Error(Status::kNotFound,
                         FullKeyName(root, path) + ": no value \"" + std::string(name) + "\"");
  }
  Wrote();
  return Status::Ok();
}

Status RegistryTxn::KeyExists(RegRoot root, std::string_view path, bool* exists) {
  int64_t key;
  Status status = FindKey(root, path, &key);
  *exists = status.ok();
  return status.IsNotFound() ? Status::Ok() : status;
}

Status RegistryTxn::GetValue(RegRoot root, std::string_view path, std::string_view name,
                             RegValue* value) {
  int64_t key;
  if (Status status = FindKey(root, path, &key); !status.ok()) return status;
  SqlStatement get(db(),
                   "SELECT name, type, data FROM reg_values WHERE key = ?1 AND name = ?2");
  get.Bind(1, key);
  get.BindText(2, name);
  bool row = false;
  if (Status status = get.Step(&row, FullKeyName(root, path)); !status.ok()) {
    return SqlError(std::move(status));
  }
  if (!row) {
    return Status::Error(Status::kNotFound,
                         FullKeyName(root, path) + ": no value \"" + std::string(name) + "\"");
  }
  value->name = get.Text(0);
  value->type = static_cast<uint32_t>(get.Int(1));
  value->data = get.Text(2);
  return Status::Ok();
}

Status RegistryTxn::ListValues(RegRoot root, std::string_view path, std::vector<RegValue>* values) {
  values->clear();
  int64_t key;
  if (Status status = FindKey(root, path, &key); !status.ok()) return status;
  SqlStatement list(db(),
                    "SELECT name, type, data FROM reg_values WHERE key = ?1 ORDER BY id");
  list.Bind(1, key);
  bool row = false;
  Status status;
  while ((status = list.Step(&row, FullKeyName(root, path))).ok() && row) {
    values->push_back(RegValue{list.Text(0), static_cast<uint32_t>(list.Int(1)), list.Text(2)});
  }
  return SqlError(std::move(status));
}

Status RegistryTxn::ListSubkeys(RegRoot root, std::string_view path,
                                std::vector<std::string>* names) {
  names->clear();
  int64_t key;
  if (Status status = FindKey(root, path, &key); !status.ok()) return status;
  SqlStatement list(db(), "SELECT name FROM reg_keys WHERE parent = ?1 ORDER BY id");
  list.Bind(1, key);
  bool row = false;
  Status status;
  while ((status = list.Step(&row, FullKeyName(root, path))).ok() && row) {
    names->push_back(list.Text(0));
  }
  return SqlError(std::move(status));
}

Status RegistryTxn::GetKeyInfo(RegRoot root, std::string_view path, RegKeyInfo* info) {
  int64_t key;
  if (Status status = FindKey(root, path, &key); !status.ok()) return status;
  SqliteDb& db = this->db();
  *info = RegKeyInfo{};
  // Each statement gives exactly one row; no row is as wrong as an error.
  auto one_row = [&](SqlStatement& stmt) {
    stmt.Bind(1, key);
    bool row = false;
    Status status = stmt.Step(&row, FullKeyName(root, path));
    if (status.ok() && !row) status = db.Error(SQLITE_CORRUPT, FullKeyName(root, path));
    return SqlError(std::move(status));
  };
  SqlStatement key_row(db, "SELECT class FROM reg_keys WHERE id = ?1");
  if (Status status = one_row(key_row); !status.ok()) return status;
  info->class_name = key_row.Text(0);

  SqlStatement subkeys(db,
                       "SELECT count(*), ifnull(max(length(CAST(name AS BLOB))), 0)"
                       " FROM reg_keys WHERE parent = ?1");
  if (Status status = one_row(subkeys); !status.ok()) return status;
  info->subkey_count = static_cast<uint32_t>(subkeys.Int(0));
  info->max_subkey_name = static_cast<uint32_t>(subkeys.Int(1));

  SqlStatement values(db,
                      "SELECT count(*), ifnull(max(length(CAST(name AS BLOB))), 0),"
                      " ifnull(max(length(data)), 0) FROM reg_values WHERE key = ?1");
  if (Status status = one_row(values); !status.ok()) return status;
  info->value_count = static_cast<uint32_t>(values.Int(0));
  info->max_value_name = static_cast<uint32_t>(values.Int(1));
  info->max_value_data = static_cast<uint32_t>(values.Int(2));
  return Status::Ok();
}

// ---- The process's store -----------------------------------------------------

namespace {

struct ProcessStore {
  std::mutex mutex;
  Registry* replacement = nullptr;  // set by tests, not owned
  Registry* opened = nullptr;       // lives as long as the process
};

ProcessStore& TheProcessStore() {
  static ProcessStore* store = new ProcessStore;
  return *store;
}

}  // namespace

Status DefaultRegistry(Registry** store) {
  ProcessStore& process = TheProcessStore();
  std::lock_guard lock(process.mutex);
  *store = nullptr;
  if (process.replacement != nullptr) {
    *store = process.replacement;
    return Status::Ok();
  }
  if (process.opened == nullptr) {
    std::unique_ptr<Registry> opened;
    if (Status status = Registry::OpenInStateFolder(&opened); !status.ok()) {
      return status;
    }
    process.opened = opened.release();
  }
  *store = process.opened;
  return Status::Ok();
}

Registry* SetDefaultRegistry(Registry* store) {
  ProcessStore& process = TheProcessStore();
  std::lock_guard lock(process.mutex);
  Registry* previous = process.replacement;
  process.replacement = store;
  return previous;
}

}  // namespace logrum::platform
