#include "Lib/ArchiveManager/Network/UserRights.h"

#include "Lib/Kit/Options/RegistryKey.h"

namespace logrum::network {

LoginCheck CheckLogin(platform::Registry* store, const char* user, const char* password) {
  kit::RegistryKey users(false, store);
  if (!users.Open(kUsersKey, false).ok()) return LoginCheck::kNoUsersKey;
  if (user == nullptr || *user == '\0') return LoginCheck::kNoUser;
  std::string stored;
  if (!users.QueryString(user, "Password", nullptr, &stored).ok()) return LoginCheck::kNoUser;
  const std::string_view received = password != nullptr ? password : "";
  return received == stored ? LoginCheck::kOk : LoginCheck::kWrongPassword;
}

bool UserRights::Read(std::string_view user) {
  // An empty name would read the users key's own "ArchiveRights" child.
  if (user.empty()) return false;
  std::string path = kUsersKey;
  path += '\\';
  path += user;
  path += "\\ArchiveRights";
  rights_.set_trace(false);
  return rights_.Read(path).ok();
}

int32_t UserRights::Bits(std::string_view archive) const {
  // Value names match as the registry matches them (A-Z folded); the server
  // program never keeps two archives whose names differ only so.
  const int32_t bits = rights_.GetInteger(archive);
  return bits < 0 ? 0 : bits;
}

}  // namespace logrum::network
