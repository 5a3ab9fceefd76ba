#include "App/Server/UserRecord.h"

#include <algorithm>
#include <set>
#include <vector>

#include "App/Server/ArchiveList.h"
#include "App/Server/ConfigText.h"
#include "Lib/ArchiveManager/Protocol/PasswordDigest.h"

namespace logrum::server {
namespace {

constexpr int32_t kCheckMask = 0xA5;

// Characters of UTF-8 text (bytes that do not continue a character).
int32_t CharacterCount(std::string_view text) {
  int32_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80 ? 1 : 0;
  return count;
}

}  // namespace

UserRecord::UserRecord(platform::Registry* store, MessageSink* sink)
    : store_(store), sink_(sink), rights_(false, store) {
  rights_.set_trace(false);
}

bool UserRecord::Load(std::string_view name) {
  kit::OptionsReg values(false, store_);
  values.set_trace(false);
  values.SetInteger("MaxConnections", 1);
  if (!values.Read(UserKeyPath(name)).ok()) {
    ShowConfigMessage(sink_, kMsgRegistryAccess);
    return false;
  }
  const char* stored_name = values.GetString("UserName");
  if (stored_name == nullptr || !EqualsIgnoreCase(stored_name, name)) {
    ShowConfigMessage(sink_, kMsgUserData);
    return false;
  }
  name_ = std::string(name);
  const char* full_name = values.GetString("FullName");
  const char* digest = values.GetString("Password");
  full_name_ = full_name != nullptr ? full_name : "";
  digest_ = digest != nullptr ? digest : "";
  max_connections_ = values.GetInteger("MaxConnections");
  int32_t check = values.GetInteger("Check");
  password_length_ = values.Find("Check") != nullptr ? (check ^ kCheckMask) : 0;
  if (!rights_.Read(UserRightsKeyPath(name)).ok()) {
    ShowConfigMessage(sink_, kMsgUserData);
    return false;
  }
  return true;
}

bool UserRecord::Save() {
  kit::OptionsReg values(false, store_);
  values.set_trace(false);
  // Values of the key that the program does not write are kept; a new user has
  // none to keep.
  (void)values.Read(UserKeyPath(name_));
  values.SetString("UserName", name_);
  values.SetString("FullName", full_name_);
  values.SetString("Password", digest_);
  values.SetInteger("Check", password_length_ ^ kCheckMask);
  values.SetInteger("MaxConnections", max_connections_);
  // The user and its rights together: the archive service reads both, and a
  // user saved without its rights (or the reverse) must never be seen.
  platform::Registry* store = store_;
  bool ok = store != nullptr || platform::DefaultRegistry(&store).ok();
  if (ok) {
    ok = store
             ->Update([&](platform::RegistryTxn& txn) {
               platform::Status status = values.SaveIn(txn, UserKeyPath(name_));
               return status.ok() ? rights_.SaveIn(txn, UserRightsKeyPath(name_)) : status;
             })
             .ok();
  }
  if (!ok) ShowConfigMessage(sink_, kMsgRegistryAccess);
  return ok;
}

void UserRecord::SetNameAndPassword(std::string_view name, const char* password) {
  name_ = std::string(name);
  if (password == nullptr) return;
  digest_ = protocol::PasswordDigestText(name_, password);
  password_length_ = CharacterCount(password);
}

void UserRecord::PruneRights(const ArchiveList& archives) {
  std::set<std::string> existing;
  archives.ForEach([&](ArchiveOptions& archive) {
    existing.insert(FoldName(archive.name()));
    if (rights_.Find(archive.name()) == nullptr) rights_.SetInteger(archive.name(), 0);
  });
  std::vector<std::string> stale;
  rights_.Enumerate([&](const std::string& name, const kit::OptionValue&) {
    if (existing.count(FoldName(name)) == 0) stale.push_back(name);
  });
  for (const std::string& name : stale) rights_.Remove(name);
}

void UserRecord::SetAllRights(int32_t rights) {
  std::vector<std::string> names;
  rights_.Enumerate(
      [&](const std::string& name, const kit::OptionValue&) { names.push_back(name); });
  for (const std::string& name : names) rights_.SetInteger(name, rights);
}

UserList::UserList(platform::Registry* store, MessageSink* sink) : store_(store), sink_(sink) {}

platform::Registry* UserList::Store() {
  if (store_ != nullptr) return store_;
  platform::Registry* store = nullptr;
  if (!platform::DefaultRegistry(&store).ok()) return nullptr;
  return store;
}

void UserList::Load() {
  users_.clear();
  order_.clear();
  platform::Registry* store = Store();
  std::vector<std::string> names;
  if (store == nullptr ||
      !store->CreateKey(platform::RegRoot::kLocalMachine, UsersKeyPath(), kNewKeyClass).ok() ||
      !store->ListSubkeys(platform::RegRoot::kLocalMachine, UsersKeyPath(), &names).ok()) {
    ShowConfigMessage(sink_, kMsgRegistryAccess);
    return;
  }
  for (const std::string& name : names) {
    auto user = std::make_unique<UserRecord>(store, sink_);
    if (user->Load(name)) Insert(std::move(user));
  }
}

bool UserList::Remove(std::string_view name) {
  auto it = users_.find(FoldName(name));
  std::string key_name = it != users_.end() ? it->second->name() : std::string(name);
  if (it != users_.end()) {
    std::erase(order_, it->first);
    users_.erase(it);
  }
  platform::Registry* store = Store();
  bool ok = store != nullptr;
  if (ok) {
    // Rights, then the user, in one transaction: never a user without rights
    // left behind by a failure in between.
    ok = store
             ->Update([&](platform::RegistryTxn& txn) {
               for (const std::string& key : {UserRightsKeyPath(key_name), UserKeyPath(key_name)}) {
                 platform::Status status = txn.DeleteKey(platform::RegRoot::kLocalMachine, key);
                 if (!status.ok() && !status.IsNotFound()) return status;
               }
               return platform::Status::Ok();
             })
             .ok();
  }
  if (!ok) ShowConfigMessage(sink_, kMsgRegistryAccess);
  return ok;
}

void UserList::GrantToAll(std::string_view archive) {
  for (auto& [key, user] : users_) {
    user->SetRights(archive, kRightAccess | kRightLiveStream);
    user->Save();
  }
}

UserRecord* UserList::Insert(std::unique_ptr<UserRecord> user) {
  UserRecord* raw = user.get();
  std::string key = FoldName(user->name());
  if (users_.count(key) == 0) order_.push_back(key);
  users_[key] = std::move(user);
  return raw;
}

void UserList::ForEachNewestFirst(const std::function<void(UserRecord&)>& visit) const {
  for (auto it = order_.rbegin(); it != order_.rend(); ++it) visit(*users_.at(*it));
}

UserRecord* UserList::Find(std::string_view name) const {
  auto it = users_.find(FoldName(name));
  return it == users_.end() ? nullptr : it->second.get();
}

void UserList::ForEach(const std::function<void(UserRecord&)>& visit) const {
  for (const auto& [key, user] : users_) visit(*user);
}

}  // namespace logrum::server
