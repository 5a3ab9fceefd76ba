#include "App/Server/ServerOptionsDialog.h"

namespace logrum::server {
namespace {

using nlohmann::json;

const char* BootWord(BootUnit::State state) {
  switch (state) {
    case BootUnit::State::kEnabled:
      return "enabled";
    case BootUnit::State::kDisabled:
      return "disabled";
    case BootUnit::State::kNotInstalled:
      return "not-installed";
    case BootUnit::State::kUnknown:
      break;
  }
  return "unknown";
}

}  // namespace

BootState ReadBootState(BootUnit* unit) {
  BootState boot;
  if (unit == nullptr) {
    boot.error = "Starting with the system cannot be changed from here.";
    return boot;
  }
  platform::Status queried = unit->Query(&boot.state);
  if (!queried.ok()) boot.error = queried.message();
  return boot;
}

json ServerOptionsValues(MainWindowModel& model, const BootState& boot) {
  json boot_text = nullptr;
  if (boot.state == BootUnit::State::kNotInstalled) boot_text = BootUnitMissingText();
  if (boot.state == BootUnit::State::kUnknown) boot_text = boot.error;
  return {{"caption", "Server Options"},
          {"port", model.settings().port()},
          {"start_at_boot", boot.state == BootUnit::State::kEnabled},
          {"boot", BootWord(boot.state)},
          {"boot_text", std::move(boot_text)},
          {"note", kPortNote}};
}

std::optional<DialogAnswer> CheckServerOptions(MainWindowModel& model, const json& request,
                                               const BootState& boot, int32_t* port,
                                               bool* start_at_boot) {
  DialogAnswer error;
  int64_t typed = 0;
  auto given = request.find("port");
  // The port is typed into a text field: a number, or a text that is none.
  if (given == request.end() || !(given->is_number_integer() || given->is_string())) {
    return DialogBadRequest("\"port\" must be a whole number");
  }
  if (!DialogBool(request, "start_at_boot", start_at_boot, &error)) return error;
  if (auto stale = CheckDialogVersion(request, ServerOptionsValues(model, boot))) return stale;
  if (given->is_number_integer()) {
    typed = given->get<int64_t>();
  } else {
    const std::string text = given->get<std::string>();
    size_t used = 0;
    try {
      typed = std::stoll(text, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || text.find_first_not_of(" ", used) != std::string::npos) typed = 0;
  }
  if (typed < 1 || typed > 65535) return DialogRefuse(kPortRange, "", "port");
  *port = static_cast<int32_t>(typed);
  if (*start_at_boot && boot.state == BootUnit::State::kNotInstalled) {
    return DialogRefuse(BootUnitMissingText(), "", "start_at_boot");
  }
  return std::nullopt;
}

DialogAnswer SaveServerPort(MainWindowModel& model, int32_t port, const BootState& boot) {
  const bool changed = port != model.settings().port();
  if (!model.SetServerPort(port)) return DialogRefuse(ConfigMessageText(kMsgRegistryAccess));
  json values = ServerOptionsValues(model, boot);
  DialogAnswer answer = DialogDone({{"version", DialogVersion(values)}, {"options", values}});
  if (changed) answer.body["message"] = kPortChanged;
  return answer;
}

}  // namespace logrum::server
