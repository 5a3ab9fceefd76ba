// A key of the configuration store named by a path with an optional root
// prefix, for reading and writing single string values.
//
//   "HKEY_CURRENT_USER\Software\..."   below the current-user root
//   "HKEY_LOCAL_MACHINE\Software\..."  below the local-machine root
//   "Software\..."                      below the root Open() is told to prefer
// The prefixes compare without regard to case.
//
// Every operation returns a Status; a failed query also gives the caller's
// default text.
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
  platform::Status Open(std::string_view path, bool prefer_current_user);

  // The string value `value_name` of `subkey` (relative to the open key; empty
  // for the key itself) in *text, up to its first NUL. When the key or value is
  // missing or not a string, or nothing is open, *text is `default_text` (empty
  // for null) and the Status says why.
  platform::Status QueryString(std::string_view subkey, std::string_view value_name,
                               const char* default_text, std::string* text);

  // Stores `text` (ending at its first NUL, if any) with its terminating NUL as
  // a string value of `subkey`, creating the subkey when missing.
  platform::Status WriteString(std::string_view subkey, std::string_view value_name,
                               std::string_view text);

  bool is_open() const { return open_; }
  platform::RegRoot root() const { return root_; }
  const std::string& path() const { return path_; }

 private:
  platform::Status Store(platform::Registry** store);
  std::string Join(std::string_view subkey) const;

  bool open_ = false;
  platform::RegRoot root_ = platform::RegRoot::kLocalMachine;
  std::string path_;
  bool write_default_;
  platform::Registry* store_;
};

}  // namespace logrum::kit
