#include "App/Server/ConsoleStationDialogs.h"

#include <httplib.h>

#include "App/Server/GpioDialogs.h"
#include "App/Server/MainWindowModel.h"
#include "App/Server/ServerOptionsDialog.h"
#include "App/Server/SourceDialogs.h"
#include "App/Server/UserDialogs.h"

namespace logrum::server {
namespace {

using nlohmann::json;

constexpr char kStopping[] = "The server is shutting down";

DialogAnswer ShuttingDown() {
  DialogAnswer answer;
  answer.status = 503;
  answer.body = {{"error", kStopping}};
  return answer;
}

// A GET answer: the values with their version.
DialogAnswer Shown(json values) {
  DialogAnswer answer;
  if (values.is_null()) {
    answer.status = 404;
    answer.body = {{"error", "No such item; another page may have removed it."}};
    return answer;
  }
  std::string version = DialogVersion(values);
  answer.body = std::move(values);
  answer.body["version"] = std::move(version);
  return answer;
}

}  // namespace

void AddStationDialogRoutes(httplib::Server& http, const ConsoleDialogHost& host,
                            const GpioBinding* gpio, std::shared_ptr<BootUnit> boot) {
  if (!boot) boot = std::make_shared<SystemctlBootUnit>();
  // "Configure Source Skim Inputs..." is offered when the library said so at Open.
  const bool skim_inputs = gpio != nullptr && gpio->config_available();
  MainWindowModel* model = host.model;

  // A handler that reads or changes the model: checked, then run on the UI
  // thread with the request's JSON.
  auto on_ui = [host](std::function<DialogAnswer(const json&)> body) {
    return [host, body](const httplib::Request& request, httplib::Response& response) {
      json parsed;
      if (!ParseDialogRequest(host, request, response, &parsed)) return;
      DialogAnswer answer;
      if (!host.run_on_ui([&] {
            answer = body(parsed);
            if (answer.changed && host.model_changed) host.model_changed();
          })) {
        answer = ShuttingDown();
      }
      WriteDialogAnswer(response, answer);
    };
  };

  // ---- Audio source manager.
  http.Get("/api/audio-sources", on_ui([model, skim_inputs](const json&) {
             return Shown(AudioSourcesValues(*model, skim_inputs));
           }));
  http.Post("/api/audio-sources/add", on_ui([model, skim_inputs](const json& request) {
              return AddAudioSource(*model, skim_inputs, request);
            }));
  http.Post("/api/audio-sources/remove", on_ui([model, skim_inputs](const json& request) {
              return RemoveAudioSource(*model, skim_inputs, request);
            }));

  // ---- User manager.
  http.Get("/api/users",
           on_ui([model](const json&) { return Shown(UserListValues(*model, true)); }));
  http.Get("/api/users/user", on_ui([model](const json& request) {
             return Shown(UserValues(*model, request.value("name", "")));
           }));
  http.Get("/api/users/rights", on_ui([model](const json& request) {
             return Shown(UserRightsValues(*model, request.value("name", "")));
           }));
  http.Post("/api/users/add",
            on_ui([model](const json& request) { return AddUserDialog(*model, request); }));
  http.Post("/api/users/edit",
            on_ui([model](const json& request) { return EditUserDialog(*model, request); }));
  http.Post("/api/users/rights",
            on_ui([model](const json& request) { return SaveUserRights(*model, request); }));
  http.Post("/api/users/remove",
            on_ui([model](const json& request) { return RemoveUserDialog(*model, request); }));

  // ---- Server options: the unit is asked off the UI thread.
  http.Get("/api/server-options", [host, boot](const httplib::Request& request,
                                               httplib::Response& response) {
    if (!host.authorize(request, response)) return;
    const BootState state = ReadBootState(boot.get());
    DialogAnswer answer;
    if (!host.run_on_ui([&] { answer = Shown(ServerOptionsValues(*host.model, state)); })) {
      answer = ShuttingDown();
    }
    WriteDialogAnswer(response, answer);
  });
  http.Post("/api/server-options",
            [host, boot](const httplib::Request& request, httplib::Response& response) {
              json body;
              if (!ParseDialogRequest(host, request, response, &body)) return;
              const BootState state = ReadBootState(boot.get());
              std::optional<DialogAnswer> refused;
              int32_t port = 0;
              bool start_at_boot = false;
              if (!host.run_on_ui([&] {
                    refused = CheckServerOptions(*host.model, body, state, &port, &start_at_boot);
                  })) {
                return WriteDialogAnswer(response, ShuttingDown());
              }
              if (refused) return WriteDialogAnswer(response, *refused);
              BootState after = state;
              if (start_at_boot != (state.state == BootUnit::State::kEnabled)) {
                // Nothing is saved when the unit cannot be changed.
                platform::Status set = boot->Set(start_at_boot);
                if (!set.ok()) {
                  return WriteDialogAnswer(response,
                                           DialogRefuse(set.message(), "", "start_at_boot"));
                }
                after = ReadBootState(boot.get());
              }
              DialogAnswer answer;
              if (!host.run_on_ui([&] { answer = SaveServerPort(*host.model, port, after); })) {
                answer = ShuttingDown();
              }
              WriteDialogAnswer(response, answer);
            });

  // ---- GPIO dialogs: on the HTTP threads (a reader may take a moment to
  // stop), with the device names checked against the model's table.
  auto known_device = [host](const std::string& device) {
    bool known = false;
    host.run_on_ui([&] {
      known = host.model->sources() != nullptr && host.model->sources()->FindDevice(device) >= 0;
    });
    return known;
  };
  auto dialogs =
      std::make_shared<GpioDialogs>(gpio != nullptr ? &gpio->entries() : nullptr, known_device);
  auto off_ui = [host](std::function<DialogAnswer(const json&)> body) {
    return [host, body](const httplib::Request& request, httplib::Response& response) {
      json parsed;
      if (!ParseDialogRequest(host, request, response, &parsed)) return;
      WriteDialogAnswer(response, body(parsed));
    };
  };
  http.Get("/api/gpio", off_ui([dialogs](const json& request) {
             return dialogs->Read(request.value("device", ""));
           }));
  http.Get("/api/gpio/input", off_ui([dialogs](const json& request) {
             int input = 0;
             try {
               input = std::stoi(request.value("input", "0"));
             } catch (const std::exception&) {
               input = 0;
             }
             return dialogs->ReadInput(request.value("device", ""), input);
           }));
  http.Post("/api/gpio/active",
            off_ui([dialogs](const json& request) { return dialogs->SetActive(request); }));
  http.Post("/api/gpio/input",
            off_ui([dialogs](const json& request) { return dialogs->SaveInput(request); }));
  http.Post("/api/gpio/test",
            off_ui([dialogs](const json& request) { return dialogs->Test(request); }));
  http.Post("/api/gpio/close",
            off_ui([dialogs](const json& request) { return dialogs->Close(request); }));
}

}  // namespace logrum::server
