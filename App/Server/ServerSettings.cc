#include "App/Server/ServerSettings.h"

#include "App/Server/ConfigKeys.h"

namespace logrum::server {

ServerSettings::ServerSettings(platform::Registry* store) : values_(false, store) {
  values_.set_trace(false);
  values_.SetInteger("ServerPort", kDefaultPort);
}

bool ServerSettings::Load() { return values_.Read(ServerKeyPath()).ok(); }

bool ServerSettings::Save() { return values_.Save(ServerKeyPath()).ok(); }

}  // namespace logrum::server
