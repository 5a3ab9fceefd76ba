// Settings of the network service. The time-outs run on the real-time tick;
// tests shorten them instead of waiting.
//
// Two caps keep one host from taking every connection: the global cap
// (MaxClientConnections) and a cap per client address
// (MaxConnectionsPerAddress), both values of the Server key. A refused
// connection is closed at once and reported through `log`, at most one line
// per refusal_log_interval_ms (the line counts the refusals it stands for).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Lib/Platform/Registry.h"

namespace logrum::network {

// Server key value that caps the simultaneous connections.
inline constexpr char kServerKey[] = "Software\\Norvane Systems\\Logrum2\\Server";
inline constexpr char kMaxClientsValue[] = "MaxClientConnections";
inline constexpr uint32_t kDefaultMaxClients = 64;
inline constexpr char kMaxPerAddressValue[] = "MaxConnectionsPerAddress";
inline constexpr uint32_t kDefaultMaxPerAddress = 16;

struct NetworkSettings {
  uint32_t idle_timeout_ms = 5000;       // Ping after this much client silence
  uint32_t handshake_timeout_ms = 10000; // per handshake record
  // A message the client has begun must be complete within this.
  uint32_t message_timeout_ms = 10000;
  // One write to the client must be taken within this (a client that stops
  // reading loses its connection).
  uint32_t send_timeout_ms = 10000;
  uint32_t max_connections = kDefaultMaxClients;
  uint32_t max_per_address = kDefaultMaxPerAddress;
  uint32_t refusal_log_interval_ms = 10000;
  // Where refusals are reported; null: the trace only.
  std::function<void(const std::string& line)> log;
  // How long the status loop waits for a level report before it looks at its
  // client and sends a status with zero levels.
  uint32_t level_wait_ms = 500;
  // Pause of the status loop for an archive that does not record.
  uint32_t status_pause_ms = 500;
  platform::Registry* store = nullptr;  // null: the process's registry
};

// The settings with the caps read from the Server key (missing, non-integer or
// out of range 1..4096: the default).
NetworkSettings ReadNetworkSettings(platform::Registry* store);

}  // namespace logrum::network
