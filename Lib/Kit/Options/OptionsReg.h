// One key of the configuration store held in memory: every value of the key in
// a name map of typed values, loaded with Read and written back with Save.
//
// Names compare without regard to the case of A-Z and keep their first
// spelling; enumeration is in ascending order of the lower-cased names (see
// OptionMap.h). Settings are registered with their defaults (SetInteger,
// SetString, SetBinary) before Read, which replaces what it finds in the key
// and adds what was not registered.
//
// Store types: a string value is read as a string (its text up to the first
// NUL), a 4-byte dword as an integer, a binary value as binary; other values
// are skipped by Read (and so deleted by a later Save of the same key).
//
// Thread safety: none; one thread at a time. The store itself (Registry) may be
// shared by many OptionsReg objects in many threads and processes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Lib/Kit/Options/OptionMap.h"
#include "Lib/Platform/Registry.h"

namespace logrum::kit {

class OptionsReg {
 public:
  // current_user false binds the map below HKEY_LOCAL_MACHINE, true below
  // HKEY_CURRENT_USER. `store` null uses the process's store (DefaultRegistry).
  explicit OptionsReg(bool current_user = false, platform::Registry* store = nullptr);

  // Loads every value of the key into the map. When the key is missing or the
  // store cannot be read the map is unchanged and the Status says why.
  platform::Status Read(std::string_view key_path);

  // Makes the key hold what the map holds, as one transaction: deletes the
  // key's values whose names are not in the map, creates the key and its
  // parents when missing (class "cls?"), writes every entry in enumeration
  // order (integer: dword, 4 bytes little-endian; string: text and its NUL;
  // binary: as is). An entry of another type (none, object) is not written and
  // makes Save fail (kInvalidArgument, naming the entries); everything else is
  // still saved. A failure of the store writes nothing at all.
  platform::Status Save(std::string_view key_path);
  // The same writes inside a transaction the caller runs, so that several
  // keys are saved together or not at all. An entry of another type fails
  // the whole transaction here.
  platform::Status SaveIn(platform::RegistryTxn& txn, std::string_view key_path);

  void SetInteger(std::string_view name, int32_t value);
  void SetString(std::string_view name, std::string_view text);
  void SetBinary(std::string_view name, std::string_view bytes);
  void SetObject(std::string_view name, OptionObject* object, bool owns);

  // The integer stored under the name; -1 when missing or not an integer.
  int32_t GetInteger(std::string_view name) const;
  // The text stored under the name; null when missing or not a string. Valid
  // until the entry changes.
  const char* GetString(std::string_view name) const;
  // The bytes stored under the name; null when missing or not binary.
  const std::string* GetBinary(std::string_view name) const;
  bool Has(std::string_view name) const { return map_.Find(name) != nullptr; }
  bool Remove(std::string_view name) { return map_.Remove(name); }

  const OptionValue* Find(std::string_view name) const { return map_.Find(name); }
  void Enumerate(const std::function<void(const std::string& name, const OptionValue& value)>&
                     visit) const {
    map_.ForEach(visit);
  }
  OptionMap& map() { return map_; }
  const OptionMap& map() const { return map_; }

  bool current_user() const { return current_user_; }
  // Read writes its trace lines to the debug output unless turned off (the
  // server program turns them off).
  void set_trace(bool trace) { trace_ = trace; }

 private:
  platform::RegRoot root() const {
    return current_user_ ? platform::RegRoot::kCurrentUser : platform::RegRoot::kLocalMachine;
  }
  platform::Status Store(platform::Registry** store);
  platform::Status WriteTo(platform::RegistryTxn& txn, std::string_view key_path,
                              std::string* unwritable);

  OptionMap map_{false};
  bool current_user_;
  platform::Registry* store_;
  bool trace_ = true;
};

}  // namespace logrum::kit
