#include "App/Server/GpioDialogs.h"

#include <cstring>

namespace logrum::server {
namespace {

using nlohmann::json;

constexpr int kFirstInput = 5;
constexpr int kLastInput = 8;
constexpr char kStarting[] = "Starting...";
constexpr char kInactive[] = "Inactive!";
constexpr char kThreadFailed[] = "Error: Unable to start thread!";
constexpr char kReadThreadFailed[] = "Error: Unable to start read thread!";
constexpr char kGpioRegistry[] =
    "Error: Unable to open registry key Software\\Norvane Systems\\Logrum\\NorvaneGPIO!";

void CopyField(const std::string& text, char* field, size_t size) {
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

bool ReadInputNumber(const json& request, int* input, DialogAnswer* error) {
  int64_t number = 0;
  if (!DialogInt(request, "input", &number, error)) return false;
  if (number < kFirstInput || number > kLastInput) {
    *error = DialogBadRequest("\"input\" must be a logical input, 5 to 8");
    return false;
  }
  *input = static_cast<int>(number);
  return true;
}

}  // namespace

GpioDialogs::GpioDialogs(const GpioEntryPoints* entries,
                         std::function<bool(const std::string&)> known_device)
    : entries_(entries), known_device_(std::move(known_device)) {}

std::optional<DialogAnswer> GpioDialogs::Check(const std::string& device) {
  if (entries_ == nullptr || !entries_->has_console()) return DialogRefuse(kNoGpioConsole);
  if (device.empty()) return DialogRefuse("No item selected!");
  if (known_device_ && !known_device_(device)) {
    return DialogRefuse("There is no audio device named '" + device + "'.");
  }
  return std::nullopt;
}

json GpioDialogs::Values(const std::string& device) {
  json inputs = json::array();
  for (int input = kFirstInput; input <= kLastInput; ++input) {
    GpioInputInfo info{};
    const bool known = entries_->ConsoleReadInput(device.c_str(), input, &info);
    const bool active = known && info.bActive != 0;
    inputs.push_back({{"input", input},
                      {"active", active},
                      {"status", active ? std::string(info.szStatus) : std::string(kInactive)}});
  }
  return {{"caption", "GPIO Configuration"},
          {"device", device},
          {"card_text", kCardInputsText},
          {"inputs", std::move(inputs)}};
}

json GpioDialogs::InputValues(const std::string& device, int input) {
  GpioInputInfo info{};
  if (!entries_->ConsoleReadInput(device.c_str(), input, &info)) info = GpioInputInfo{};
  return {{"caption", "Logical TCP/IP Input " + std::to_string(input) + " Configuration"},
          {"device", device},
          {"input", input},
          {"initial_state", info.bInitialState != 0 ? 1 : 0},
          {"host", info.szHostAddress},
          {"case_sensitive", info.bCaseSensitive != 0},
          {"on", info.szOnPattern},
          {"off", info.szOffPattern},
          {"result", "?"}};
}

DialogAnswer GpioDialogs::Listed(const std::string& device, int starting_input) {
  json values = Values(device);
  // The first answer after a tick shows the reader starting; the next read
  // shows what the reader itself reports.
  for (json& input : values["inputs"]) {
    if (input["input"] == starting_input && input["active"].get<bool>())
      input["status"] = kStarting;
  }
  return DialogDone({{"gpio", std::move(values)}});
}

DialogAnswer GpioDialogs::Read(const std::string& device) {
  std::lock_guard lock(mu_);
  if (auto refused = Check(device)) return *refused;
  DialogAnswer answer;
  answer.body = Values(device);
  return answer;
}

DialogAnswer GpioDialogs::ReadInput(const std::string& device, int input) {
  std::lock_guard lock(mu_);
  if (auto refused = Check(device)) return *refused;
  if (input < kFirstInput || input > kLastInput) {
    return DialogBadRequest("\"input\" must be a logical input, 5 to 8");
  }
  DialogAnswer answer;
  answer.body = InputValues(device, input);
  answer.body["version"] = DialogVersion(answer.body);
  return answer;
}

DialogAnswer GpioDialogs::SetActive(const json& request) {
  DialogAnswer error;
  std::string device;
  int input = 0;
  bool active = false;
  if (!DialogString(request, "device", &device, &error) ||
      !ReadInputNumber(request, &input, &error) ||
      !DialogBool(request, "active", &active, &error)) {
    return error;
  }
  std::lock_guard lock(mu_);
  if (auto refused = Check(device)) return *refused;
  GpioInputInfo info{};
  if (!entries_->ConsoleReadInput(device.c_str(), input, &info)) info = GpioInputInfo{};
  info.bActive = active ? 1 : 0;
  char why[256] = {};
  if (!entries_->ConsoleConfigure(device.c_str(), input, &info, why, sizeof why)) {
    entries_->ConsoleSave();  // the input is left inactive: so it is stored
    return DialogRefuse(active ? kThreadFailed : why);
  }
  if (!entries_->ConsoleSave()) return DialogRefuse(kGpioRegistry);
  return Listed(device, active ? input : 0);
}

DialogAnswer GpioDialogs::SaveInput(const json& request) {
  DialogAnswer error;
  std::string device, host, on, off;
  int input = 0;
  int64_t initial = 0;
  bool case_sensitive = false;
  if (!DialogString(request, "device", &device, &error) ||
      !ReadInputNumber(request, &input, &error) ||
      !DialogInt(request, "initial_state", &initial, &error) ||
      !DialogString(request, "host", &host, &error) ||
      !DialogBool(request, "case_sensitive", &case_sensitive, &error) ||
      !DialogString(request, "on", &on, &error) || !DialogString(request, "off", &off, &error)) {
    return error;
  }
  if (initial != 0 && initial != 1) return DialogBadRequest("\"initial_state\" must be 0 or 1");
  std::lock_guard lock(mu_);
  if (auto refused = Check(device)) return *refused;
  if (auto stale = CheckDialogVersion(request, InputValues(device, input))) return *stale;
  GpioInputInfo info{};
  if (host.size() >= sizeof info.szHostAddress) {
    return DialogRefuse("The IP address can have at most 127 characters.", "", "host");
  }
  if (on.size() >= sizeof info.szOnPattern) {
    return DialogRefuse("A pattern can have at most 255 characters.", "", "on");
  }
  if (off.size() >= sizeof info.szOffPattern) {
    return DialogRefuse("A pattern can have at most 255 characters.", "", "off");
  }
  CopyField(host, info.szHostAddress, sizeof info.szHostAddress);
  CopyField(on, info.szOnPattern, sizeof info.szOnPattern);
  CopyField(off, info.szOffPattern, sizeof info.szOffPattern);
  info.bCaseSensitive = case_sensitive ? 1 : 0;
  info.bInitialState = static_cast<uint8_t>(initial);
  // OK makes the input active; a running one takes the new settings at once.
  info.bActive = 1;
  GpioInputInfo before{};
  const bool was_active =
      entries_->ConsoleReadInput(device.c_str(), input, &before) && before.bActive != 0;
  char why[256] = {};
  if (!entries_->ConsoleConfigure(device.c_str(), input, &info, why, sizeof why)) {
    entries_->ConsoleSave();
    return DialogRefuse(std::strstr(why, "thread") != nullptr ? kReadThreadFailed : why);
  }
  if (!entries_->ConsoleSave()) return DialogRefuse(kGpioRegistry);
  json values = InputValues(device, input);
  std::string version = DialogVersion(values);
  DialogAnswer answer = Listed(device, was_active ? 0 : input);
  answer.body["version"] = std::move(version);
  return answer;
}

DialogAnswer GpioDialogs::Test(const json& request) {
  DialogAnswer error;
  std::string on, off, text;
  bool case_sensitive = false;
  if (!DialogString(request, "on", &on, &error) || !DialogString(request, "off", &off, &error) ||
      !DialogBool(request, "case_sensitive", &case_sensitive, &error) ||
      !DialogString(request, "text", &text, &error)) {
    return error;
  }
  if (entries_ == nullptr || !entries_->has_console()) return DialogRefuse(kNoGpioConsole);
  char result[256] = {};
  entries_->ConsoleTestRule(on.c_str(), off.c_str(), case_sensitive ? 1 : 0, text.c_str(), result,
                            sizeof result);
  // A pattern that does not compile is a message box, not a result.
  if (std::strncmp(result, "Error:", 6) == 0) return DialogRefuse(result, "", "test");
  DialogAnswer answer;
  answer.body = {{"result", result}};
  return answer;
}

DialogAnswer GpioDialogs::Close(const json& request) {
  DialogAnswer error;
  std::string device;
  if (!DialogString(request, "device", &device, &error)) return error;
  std::lock_guard lock(mu_);
  if (auto refused = Check(device)) return *refused;
  if (entries_->ShowConfigDialog != nullptr) {
    entries_->ShowConfigDialog("", device.c_str());
  } else if (!entries_->ConsoleSave()) {
    return DialogRefuse(kGpioRegistry);
  }
  return DialogDone();
}

}  // namespace logrum::server
