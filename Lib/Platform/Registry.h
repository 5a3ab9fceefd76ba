// The configuration store: a tree of keys with typed values below two roots,
// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, kept in one SQLite file
// ("registry.db3" in the state folder, see StateFolder.h).
//
// Names. A key path is a chain of key names separated by backslashes
// ("Software\Norvane Systems\Logrum2\Users"); the empty path is the root itself.
// Key names are 1-255 bytes without backslash; value names are 0-16383 bytes (the
// empty name is the key's default value); no name holds a NUL. Names keep the
// spelling they were created with and compare without regard to the case of A-Z
// only (other bytes compare exactly, so names are plain byte strings, UTF-8 in practice).
//
// Order. Subkeys and values enumerate in creation order. Writing a value that
// already exists changes its type and data in place: it keeps its position and
// its first spelling.
//
// File layout (design note).
//   reg_format(version)                          one row; 1 for this layout
//   reg_keys(id, parent, name NOCASE, class)     id 1 and 2 are the roots (parent 0);
//                                                UNIQUE(parent, name)
//   reg_values(id, key, name NOCASE, type, data) UNIQUE(key, name); data is a BLOB
// Rowids grow with every insertion, so ordering by id gives creation order.
// The file runs in WAL mode with synchronous=FULL, and every committed write is
// copied into the main file at once (a passive checkpoint), so the main file
// alone holds the configuration and a stale or damaged main file shows at the
// next open instead of hiding behind the log. Every write is one SQLite
// transaction begun IMMEDIATE (it takes the write lock first, so two writers
// queue on the busy time-out instead of failing when they upgrade a read lock).
// A process that dies inside a transaction leaves only uncommitted frames in the
// -wal file, which the next opener discards: a key is either as it was or as it
// was written, never half of it. The alternative of one file per key (as a hive
// has) was rejected: it cannot make a multi-key import atomic.
//
// Damage. Open() checks that the file is a SQLite database with this layout and
// passes a quick integrity check. Anything else is reported with the file's path
// and the file is left untouched: the store never replaces a file it cannot read.
//
// Thread safety: a Registry may be used from any number of threads; calls are
// serialised on one connection. Several processes may open the same file; each
// waits up to the busy time-out (10 s) for the others' writes.
// A Registry must not be used in a child process after fork(); open a new one there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Lib/Platform/Status.h"
#include "Lib/Kit/Mutex.h"

namespace logrum::platform {

class SqliteDb;

enum class RegRoot : uint8_t { kLocalMachine = 0, kCurrentUser = 1 };

// "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER".
const char* RegRootName(RegRoot root);

// Value types, numbered as the .reg text form numbers them in "hex(N):".
// The store keeps every type as opaque bytes; only these three have a meaning here.
inline constexpr uint32_t kRegString = 1;  // text and its terminating NUL
inline constexpr uint32_t kRegBinary = 3;  // raw bytes
inline constexpr uint32_t kRegDword = 4;   // 32-bit number, 4 bytes little-endian

// "REG_SZ", "REG_BINARY", "REG_DWORD", ... or "REG_TYPE_<n>" for a type without a name.
std::string RegTypeName(uint32_t type);

// Results are Status values (Status.h); errors carry the store's file name and
// the key or value concerned.

struct RegValue {
  std::string name;
  uint32_t type = 0;
  std::string data;  // raw bytes of the value
};

struct RegKeyInfo {
  std::string class_name;
  uint32_t subkey_count = 0;
  uint32_t max_subkey_name = 0;  // bytes of the longest subkey name
  uint32_t value_count = 0;
  uint32_t max_value_name = 0;  // bytes of the longest value name
  uint32_t max_value_data = 0;  // bytes of the largest value
};

class RegistryTxn;

class Registry {
 public:
  // Opens the store file at `path`, creating it (not its folder) when absent.
  static Status Open(const std::string& path, std::unique_ptr<Registry>* store);
  // Opens "registry.db3" in the state folder, creating the folder when missing.
  static Status OpenInStateFolder(std::unique_ptr<Registry>* store);

  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  const std::string& path() const { return path_; }

  // Runs `body` as one write transaction: everything it wrote is kept when it
  // returns Ok and the commit succeeds, and nothing otherwise. `body` must not
  // call back into this Registry except through the transaction it is given.
  Status Update(const std::function<Status(RegistryTxn&)>& body);

  // Runs `body` on one consistent snapshot of the store; writes through the
  // transaction fail with kInvalidArgument.
  Status View(const std::function<Status(RegistryTxn&)>& body);

  // Single operations, each its own transaction. See RegistryTxn for their contracts.
  Status CreateKey(RegRoot root, std::string_view path, std::string_view class_name,
                   bool* created = nullptr);
  Status DeleteKey(RegRoot root, std::string_view path);
  Status SetValue(RegRoot root, std::string_view path, std::string_view name, uint32_t type,
                  std::string_view data);
  Status DeleteValue(RegRoot root, std::string_view path, std::string_view name);
  Status KeyExists(RegRoot root, std::string_view path, bool* exists);
  Status GetValue(RegRoot root, std::string_view path, std::string_view name, RegValue* value);
  Status ListValues(RegRoot root, std::string_view path, std::vector<RegValue>* values);
  Status ListSubkeys(RegRoot root, std::string_view path, std::vector<std::string>* names);
  Status GetKeyInfo(RegRoot root, std::string_view path, RegKeyInfo* info);

  // Tests only: called after every statement that changes the file inside a
  // transaction, with the count of such statements so far in it. Lets a test
  // kill a process in the middle of a write.
  void SetWriteHookForTesting(std::function<void(int)> hook);

 private:
  friend class RegistryTxn;
  explicit Registry(std::unique_ptr<SqliteDb> db);
  Status Run(bool write, const std::function<Status(RegistryTxn&)>& body);

  const std::string path_;
  kit::Mutex mutex_;
  const std::unique_ptr<SqliteDb> db_ GUARDED_BY(mutex_);
  std::function<void(int)> write_hook_;
};

// The operations of one transaction. Lives only while Update/View runs its body.
class RegistryTxn {
 public:
  // Creates the key and any missing parents, each new key with `class_name`.
  // An existing key is left as it is. *created tells whether the last key was new.
  Status CreateKey(RegRoot root, std::string_view path, std::string_view class_name,
                   bool* created = nullptr);
  // Deletes the key with all its subkeys and values. A root cannot be deleted.
  Status DeleteKey(RegRoot root, std::string_view path);
  // Writes a value into an existing key (kNotFound when the key is missing).
  // A dword must be 4 bytes.
  Status SetValue(RegRoot root, std::string_view path, std::string_view name, uint32_t type,
                  std::string_view data);
  // kNotFound when the key or the value is missing.
  Status DeleteValue(RegRoot root, std::string_view path, std::string_view name);

  Status KeyExists(RegRoot root, std::string_view path, bool* exists);
  Status GetValue(RegRoot root, std::string_view path, std::string_view name, RegValue* value);
  Status ListValues(RegRoot root, std::string_view path, std::vector<RegValue>* values);
  Status ListSubkeys(RegRoot root, std::string_view path, std::vector<std::string>* names);
  Status GetKeyInfo(RegRoot root, std::string_view path, RegKeyInfo* info);

 private:
  friend class Registry;
  RegistryTxn(Registry* store, bool writable) : store_(store), writable_(writable) {}
  // A transaction lives only inside Run, which holds the store's lock.
  SqliteDb& db() const {
    store_->mutex_.AssertHeld();
    return *store_->db_;
  }
  Status FindKey(RegRoot root, std::string_view path, int64_t* id);
  Status CheckWritable();
  void Wrote();

  Registry* store_;
  bool writable_;
  int writes_ = 0;
};

// The store of this process: "registry.db3" in the state folder, opened (with
// its folder created) at first use. On failure *store is null and the status
// says why; the next call tries again.
Status DefaultRegistry(Registry** store);

// Replaces the store of the process (tests). Returns the previous one; null
// goes back to the state folder's store. The caller keeps ownership.
Registry* SetDefaultRegistry(Registry* store);

}  // namespace logrum::platform
