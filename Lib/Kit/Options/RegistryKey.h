// A key of the configuration store named by a path with an optional root
// prefix, for reading and writing single string values.
//
//   "HKEY_CURRENT_USER\Software\..."   below the current-user root
//   "HKEY_LOCAL_MACHINE\Software\..."  below the local-machine root
//   "Software\..."                      below the root Open() is told to prefer
// The prefixes compare without regard to case.
//
// Failures are results: false, or the caller's default text. The code of the
// last failure (a platform::Status::Code) and its message stay in the object.
//
// Thread safety: none; one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Lib/Platform/Registry.h"

namespace logrum::kit {

class RegistryKey {
 public:
  // write_default: a string query that finds the value but cannot read it as
  // text (it holds another type) writes the default text in its place. A
  // missing value is never written. `store` null uses the process's store.
  explicit RegistryKey(bool write_default = false, platform::Registry* store = nullptr);

  // Opens the key, creating it (class "cls?") with any missing parents.
  bool Open(std::string_view path, bool prefer_current_user);

  // The string value `value_name` of `subkey` (relative to the open key; empty
  // for the key itself), or `default_text` when the key or value is missing or
  // not a string, or nothing is open. The text returned by a successful query
  // stays valid until the next query.
  const char* QueryString(std::string_view subkey, std::string_view value_name,
                          const char* default_text);

  // Stores `text` (ending at its first NUL, if any) with its terminating NUL as
  // a string value of `subkey`, creating the subkey when missing.
  bool WriteString(std::string_view subkey, std::string_view value_name, std::string_view text);

  bool is_open() const { return open_; }
  platform::RegRoot root() const { return root_; }
  const std::string& path() const { return path_; }
  uint32_t last_error() const { return last_error_; }
  const std::string& last_error_text() const { return last_error_text_; }

 private:
  platform::Registry* Store();
  bool Fail(const platform::Status& status);
  std::string Join(std::string_view subkey) const;

  uint32_t last_error_ = 0;
  bool open_ = false;
  platform::RegRoot root_ = platform::RegRoot::kLocalMachine;
  std::string path_;
  std::string buffer_;  // the text of the last successful query
  bool write_default_;
  platform::Registry* store_;
  std::string last_error_text_;
};

}  // namespace logrum::kit
