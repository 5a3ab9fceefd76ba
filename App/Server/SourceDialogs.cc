#include "App/Server/SourceDialogs.h"

#include <string>
#include <vector>

#include "App/Server/ConsoleJson.h"

namespace logrum::server {
namespace {

using nlohmann::json;

// Which field of the add dialog a refusal of the model belongs to.
std::string AddField(const std::string& text) {
  if (text.find("source name") != std::string::npos) return "name";
  if (text.find("audio device") != std::string::npos) return "device";
  if (text.find("channels") != std::string::npos) return "channels";
  return "";
}

DialogAnswer Listed(MainWindowModel& model, bool skim_inputs) {
  json values = AudioSourcesValues(model, skim_inputs);
  std::string version = DialogVersion(values);
  DialogAnswer answer = DialogDone({{"sources", std::move(values)}});
  answer.body["version"] = std::move(version);
  return answer;
}

}  // namespace

json AudioSourcesValues(MainWindowModel& model, bool skim_inputs) {
  json rows = json::array();
  json devices = json::array();
  AudioDeviceTable* table = model.sources();
  if (table != nullptr) {
    // The stored order: each AudioDevices2 value is a row.
    std::vector<std::pair<std::string, std::string>> stored;
    table->sources().Enumerate([&](const std::string& name, const kit::OptionValue& value) {
      if (value.type() == kit::OptionValue::kString) stored.emplace_back(name, value.bytes());
    });
    for (const auto& [name, data] : stored) {
      int code = data.empty() ? 0 : data[0] - '0';
      rows.push_back({{"name", name},
                      {"device", data.empty() ? "" : data.substr(1)},
                      {"channels", ChannelCodeText(code)},
                      {"code", code}});
    }
    const auto& entries = table->entries();
    for (size_t i = 0; i < entries.size(); ++i) {
      const int use = entries[i].channel_use;
      json choices = json::array();
      if (use == 0) {
        choices = {3, 2, 1};
      } else if (use == 1) {
        choices = {2};  // the right channel is taken
      } else if (use == 2) {
        choices = {1};
      }
      devices.push_back({{"index", static_cast<int>(i)},
                         {"name", entries[i].name},
                         {"use", use},
                         {"choices", std::move(choices)},
                         {"fixed", use == 1 || use == 2}});
    }
  }
  std::string refusal;
  const bool can_add = model.CanAddSource(&refusal);
  return {
      {"caption", "Audio Source Manager"},
      {"columns", json::array({{{"title", "Logrum Source Name"}, {"width", 150}},
                               {{"title", "Windows Device Name"}, {"width", 150}},
                               {{"title", "Channels"}, {"width", 80}}})},
      {"rows", std::move(rows)},
      {"devices", std::move(devices)},
      {"add_refusal", can_add ? json(nullptr) : json(refusal)},
      {"skim_inputs", skim_inputs},
  };
}

DialogAnswer AddAudioSource(MainWindowModel& model, bool skim_inputs, const json& request) {
  DialogAnswer error;
  std::string name;
  int64_t device = 0, code = 0;
  if (!DialogString(request, "name", &name, &error) ||
      !DialogInt(request, "device", &device, &error) ||
      !DialogInt(request, "channels", &code, &error)) {
    return error;
  }
  if (device < -1 || device > 0xffff || code < 0 || code > 0xff) {
    return DialogBadRequest("\"device\" and \"channels\" must come from the dialog's lists");
  }
  std::string told;
  if (!model.AddSource(name, static_cast<int>(device), static_cast<int>(code), &told)) {
    return DialogRefuse(told.empty() ? "Unable to add the audio source." : told, "",
                        AddField(told));
  }
  DialogAnswer answer = Listed(model, skim_inputs);
  answer.body["selected"] = name;
  return answer;
}

DialogAnswer RemoveAudioSource(MainWindowModel& model, bool skim_inputs, const json& request) {
  DialogAnswer error;
  std::string name;
  if (!DialogString(request, "name", &name, &error)) return error;
  if (auto stale = CheckDialogVersion(request, AudioSourcesValues(model, skim_inputs))) {
    return *stale;
  }
  std::string told;
  if (!model.CanRemoveSource(name, &told)) return DialogRefuse(told);
  std::optional<bool> sure = DialogReply(request, "remove");
  if (!sure) return DialogAsk(kRemoveQuestion, "remove");
  if (!*sure) return DialogStay("");
  if (!model.RemoveSource(name, &told)) return DialogRefuse(told);
  return Listed(model, skim_inputs);
}

}  // namespace logrum::server
