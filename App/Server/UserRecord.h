// The users who may log in to the archive service, and their archive rights.
//
// Logrum2\Users\<user> holds UserName (equal to the key name, ignoring case),
// FullName, Password (the digest text, see
// Lib/ArchiveManager/Protocol/PasswordDigest.h), Check (password length XOR
// 0xA5) and MaxConnections; its ArchiveRights subkey holds one integer per
// archive: bit 0 recordings ("Access"), bit 1 live stream ("Live Stream").
//
// Thread safety: none (UI thread).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "App/Server/ConfigKeys.h"
#include "Lib/Kit/Options/OptionsReg.h"

namespace logrum::server {

class ArchiveList;

inline constexpr int32_t kRightAccess = 1;
inline constexpr int32_t kRightLiveStream = 2;

class UserRecord {
 public:
  UserRecord(platform::Registry* store, MessageSink* sink);

  // Loads the user's key and rights. Message 103 when the key cannot be
  // read, 104 when UserName is missing or differs from `name`, or the rights
  // cannot be read; false in each case.
  bool Load(std::string_view name);
  // Writes the user's values, then the rights; message 103 on failure.
  bool Save();
  // Sets the name; with a password also its digest text and length.
  void SetNameAndPassword(std::string_view name, const char* password);

  // Makes the rights name exactly the archives of `archives` (a new one as 0).
  void PruneRights(const ArchiveList& archives);
  size_t RightsCount() const { return rights_.map().size(); }
  void SetAllRights(int32_t rights);
  // The rights on an archive; -1 when none is stored.
  int32_t Rights(std::string_view archive) const { return rights_.GetInteger(archive); }
  void SetRights(std::string_view archive, int32_t rights) { rights_.SetInteger(archive, rights); }

  const std::string& name() const { return name_; }
  const std::string& full_name() const { return full_name_; }
  void set_full_name(std::string name) { full_name_ = std::move(name); }
  const std::string& digest() const { return digest_; }
  int32_t password_length() const { return password_length_; }
  int32_t max_connections() const { return max_connections_; }
  void set_max_connections(int32_t count) { max_connections_ = count; }
  kit::OptionsReg& rights() { return rights_; }

 private:
  platform::Registry* store_;
  MessageSink* sink_;
  std::string name_;
  std::string full_name_;
  std::string digest_;
  int32_t password_length_ = 0;
  int32_t max_connections_ = 1;
  kit::OptionsReg rights_;
};

class UserList {
 public:
  UserList(platform::Registry* store, MessageSink* sink);

  // Opens (creating) the Users key and loads every user afresh (users no
  // longer in the store are forgotten); users that fail to load are left out
  // (their message has been shown). 103 when the store cannot be reached.
  void Load();
  // Deletes the user's rights key, then its key; message 103 on failure.
  bool Remove(std::string_view name);
  // Gives every user both rights on a new archive and saves each user.
  void GrantToAll(std::string_view archive);

  UserRecord* Insert(std::unique_ptr<UserRecord> user);
  UserRecord* Find(std::string_view name) const;
  size_t size() const { return users_.size(); }
  void ForEach(const std::function<void(UserRecord&)>& visit) const;
  // In the user manager's order: each user read or added goes on top.
  void ForEachNewestFirst(const std::function<void(UserRecord&)>& visit) const;

 private:
  platform::Registry* Store();

  platform::Registry* store_;
  MessageSink* sink_;
  std::map<std::string, std::unique_ptr<UserRecord>> users_;  // by folded name
  std::vector<std::string> order_;  // folded names, in load and insertion order
};

}  // namespace logrum::server
