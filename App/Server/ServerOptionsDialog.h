// The server options of the web console: the server port (saved at once,
// used from the next start) and the start at boot, which on this platform is
// the systemd unit "logrum2.service" enabled or disabled (BootUnit.h).
//
// Values: {"caption":"Server Options","port","start_at_boot":bool,
//          "boot":"enabled|disabled|not-installed|unknown","boot_text":TEXT|null,
//          "note":"NOTE: The new server port will only take effect after ..."}
// Request: {"port","start_at_boot","version"}; done carries "message" (the
// restart note) when the port changed.
//
// The unit is asked and changed outside the UI thread (systemctl may take a
// while); the values and the port are read and saved on it. A save whose
// unit change fails saves nothing.
//
// Thread safety: none; UI thread, with the model, except where noted.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "App/Server/BootUnit.h"
#include "App/Server/ConsoleDialogs.h"
#include "App/Server/MainWindowModel.h"

namespace logrum::server {

inline constexpr char kPortNote[] =
    "NOTE: The new server port will only take effect after the application is restarted!";
inline constexpr char kPortChanged[] =
    "NOTE: The server port change will not take effect until you restart the server!";
inline constexpr char kPortRange[] = "Please enter an integer between 1 and 65535.";

struct BootState {
  BootUnit::State state = BootUnit::State::kUnknown;
  std::string error;  // why the state is unknown
};

// Any thread: asks the unit.
BootState ReadBootState(BootUnit* unit);

nlohmann::json ServerOptionsValues(MainWindowModel& model, const BootState& boot);

// The checks of OK in their order (version, port, a unit to enable); nullopt
// when the save may go on, with what to save.
std::optional<DialogAnswer> CheckServerOptions(MainWindowModel& model,
                                               const nlohmann::json& request, const BootState& boot,
                                               int32_t* port, bool* start_at_boot);
// Saves the port; the done answer, with the restart note when it changed.
DialogAnswer SaveServerPort(MainWindowModel& model, int32_t port, const BootState& boot);

}  // namespace logrum::server
