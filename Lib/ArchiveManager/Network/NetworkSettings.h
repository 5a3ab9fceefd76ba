// Settings of the network service. The time-outs run on the real-time tick;
// tests shorten them instead of waiting.
#pragma once

#include <cstdint>

#include "Lib/Platform/Registry.h"

namespace logrum::network {

// Server key value that caps the simultaneous connections.
inline constexpr char kServerKey[] = "Software\\Norvane Systems\\Logrum2\\Server";
inline constexpr char kMaxClientsValue[] = "MaxClientConnections";
inline constexpr uint32_t kDefaultMaxClients = 64;

struct NetworkSettings {
  uint32_t idle_timeout_ms = 5000;       // Ping after this much client silence
  uint32_t handshake_timeout_ms = 10000; // per handshake record
  uint32_t max_connections = kDefaultMaxClients;
  // How long the status loop waits for a level report before it looks at its
  // client and sends a status with zero levels.
  uint32_t level_wait_ms = 500;
  // Pause of the status loop for an archive that does not record.
  uint32_t status_pause_ms = 500;
  platform::Registry* store = nullptr;  // null: the process's registry
};

// The settings with the cap read from the Server key (missing, non-integer or
// out of range 1..4096: the default).
NetworkSettings ReadNetworkSettings(platform::Registry* store);

}  // namespace logrum::network
