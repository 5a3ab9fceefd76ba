// The server's own settings, Logrum2\Server: ServerPort (default 9020).
//
// Thread safety: none (UI thread).
#pragma once

#include <cstdint>

#include "Lib/Kit/Options/OptionsReg.h"

namespace logrum::server {

class ServerSettings {
 public:
  static constexpr int32_t kDefaultPort = 9020;

  explicit ServerSettings(platform::Registry* store = nullptr);
  // Registers the default and loads the key; a missing key keeps the default.
  bool Load();
  bool Save();
  int32_t port() const { return values_.GetInteger("ServerPort"); }
  void set_port(int32_t port) { values_.SetInteger("ServerPort", port); }

 private:
  kit::OptionsReg values_;
};

}  // namespace logrum::server
