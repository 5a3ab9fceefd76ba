// Users of the network service, written into a registry as the server's user
// dialog writes them, for the whole-system tests that log in with
// logrum-client or the protocol client. Header-only; the test links
// logrum_password_digest and logrum_options.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "Lib/ArchiveManager/Protocol/PasswordDigest.h"
#include "Lib/Kit/Options/OptionsReg.h"
#include "Lib/Kit/Options/RegistryKey.h"
#include "Lib/Platform/Registry.h"

namespace logrum::testing {

inline constexpr char kUsersKey[] = "Software\\Norvane Systems\\Logrum2\\Users";

// `user` with `password` and `rights` (1 archive, 2 live stream, 3 both) on `archive`.
inline void AddUser(platform::Registry* store, const std::string& user, const std::string& password,
                    const std::string& archive, int32_t rights) {
  kit::RegistryKey users(false, store);
  ASSERT_TRUE(users.Open(kUsersKey, false).ok());
  ASSERT_TRUE(
      users.WriteString(user, "Password", protocol::PasswordDigestText(user, password)).ok());
  kit::OptionsReg map(false, store);
  map.SetInteger(archive, rights);
  ASSERT_TRUE(map.Save(std::string(kUsersKey) + "\\" + user + "\\ArchiveRights").ok());
}

// The same in the store of the state folder `home`.
inline void AddUser(const std::string& home, const std::string& user, const std::string& password,
                    const std::string& archive, int32_t rights) {
  std::unique_ptr<platform::Registry> store;
  ASSERT_TRUE(platform::Registry::Open(home + "/registry.db3", &store).ok());
  AddUser(store.get(), user, password, archive, rights);
}

}  // namespace logrum::testing
