// The users of the archive service as the server program keeps them in the
// registry (local machine):
//
//   Software\Norvane Systems\Logrum2\Users\<user>   Password (the digest text)
//   ...\Users\<user>\ArchiveRights                  one integer per archive:
//                                                   bit 0 recordings, bit 1 live
//
// User names select keys, so they match without regard to case; passwords
// and archive names compare exactly. A missing, non-integer or negative
// rights value grants nothing.
//
// Thread safety: none; one connection thread per object. The registry store
// itself may be shared.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Lib/Kit/Options/OptionsReg.h"
#include "Lib/Platform/Registry.h"

namespace logrum::network {

inline constexpr char kUsersKey[] = "Software\\Norvane Systems\\Logrum2\\Users";
inline constexpr int32_t kRightRecordings = 1;
inline constexpr int32_t kRightLive = 2;

// The ConnectResult codes of a login check.
enum class LoginCheck : int32_t { kOk = 0, kNoUser = 1, kWrongPassword = 2, kNoUsersKey = 3 };

// Checks user and password (null: empty) against the users key.
LoginCheck CheckLogin(platform::Registry* store, const char* user, const char* password);

class UserRights {
 public:
  // `store` null: the process's registry.
  explicit UserRights(platform::Registry* store = nullptr) : rights_(false, store) {}

  // Reads the user's ArchiveRights key. False when the user name is empty or
  // the key cannot be read.
  bool Read(std::string_view user);

  bool HasRecordings(std::string_view archive) const { return Bits(archive) & kRightRecordings; }
  bool HasLive(std::string_view archive) const { return Bits(archive) & kRightLive; }

 private:
  int32_t Bits(std::string_view archive) const;
  kit::OptionsReg rights_;
};

}  // namespace logrum::network
