#include "App/Server/ConsoleArchiveDialogs.h"

#include <httplib.h>

#include <memory>

#include "App/Server/ArchiveDialog.h"
#include "App/Server/FolderDialog.h"
#include "App/Server/FtpTest.h"
#include "App/Server/MainWindowModel.h"
#include "Lib/ArchiveManager/Storage/BackupThread.h"

namespace logrum::server {
namespace {

using nlohmann::json;

DialogAnswer ShuttingDown() {
  DialogAnswer answer = DialogBadRequest("The server is shutting down");
  answer.status = 503;
  return answer;
}

}  // namespace

void RegisterArchiveDialogs(httplib::Server& http, const ConsoleDialogHost& host) {
  auto dialogs = std::make_shared<ArchiveDialogs>(host.model, host.state_folder);

  // Runs `task` on the UI thread and answers with its result.
  auto on_ui = [host](httplib::Response& response, const std::function<DialogAnswer()>& task) {
    DialogAnswer answer;
    if (!host.run_on_ui([&] {
          answer = task();
          if (answer.changed) host.model_changed();
        })) {
      answer = ShuttingDown();
    }
    WriteDialogAnswer(response, answer);
  };

  http.Get(R"(/api/dialogs/archives/([^/]+))",
           [host, dialogs, on_ui](const httplib::Request& request, httplib::Response& response) {
             if (!host.authorize(request, response)) return;
             const std::string name = request.matches[1] == "new" ? "" : request.matches[1].str();
             on_ui(response, [&] {
               auto view = dialogs->Open(name);
               if (!view) {
                 DialogAnswer missing = DialogBadRequest("No archive named '" + name + "'");
                 missing.status = 404;
                 return missing;
               }
               DialogAnswer answer;
               answer.body = std::move(*view);
               return answer;
             });
           });

  auto save = [host, dialogs, on_ui](const httplib::Request& request, httplib::Response& response,
                                     const std::string* archive) {
    json body;
    if (!ParseDialogRequest(host, request, response, &body)) return;
    if (archive != nullptr) {
      body["archive"] = *archive;
    } else {
      body.erase("archive");
    }
    on_ui(response, [&] { return dialogs->Save(body); });
  };
  http.Post("/api/dialogs/archives",
            [save](const httplib::Request& request, httplib::Response& response) {
              save(request, response, nullptr);
            });
  http.Post(R"(/api/dialogs/archives/([^/]+))",
            [save](const httplib::Request& request, httplib::Response& response) {
              const std::string name = request.matches[1];
              save(request, response, &name);
            });

  http.Get("/api/dialogs/segment-preview", [host](const httplib::Request& request,
                                                  httplib::Response& response) {
    if (!host.authorize(request, response)) return;
    auto minutes = ParseSegmentDuration(request.get_param_value("duration"));
    DialogAnswer answer;
    answer.body = {
        {"preview", minutes ? SegmentPreview(*minutes, request.get_param_value("align") == "1")
                            : std::string("n/a")}};
    WriteDialogAnswer(response, answer);
  });

  http.Get("/api/dialogs/schedule-event/new",
           [host, dialogs, on_ui](const httplib::Request& request, httplib::Response& response) {
             if (!host.authorize(request, response)) return;
             on_ui(response, [&] {
               DialogAnswer answer;
               answer.body = {{"event", dialogs->NewEvent()}};
               return answer;
             });
           });
  http.Post("/api/dialogs/schedule-event",
            [host, dialogs, on_ui](const httplib::Request& request, httplib::Response& response) {
              json body;
              if (!ParseDialogRequest(host, request, response, &body)) return;
              on_ui(response, [&] { return dialogs->CheckEvent(body); });
            });

  // The roots come from the store, which the UI thread owns.
  http.Get("/api/dialogs/folders",
           [host, on_ui](const httplib::Request& request, httplib::Response& response) {
             if (!host.authorize(request, response)) return;
             const std::string path = request.get_param_value("path");
             on_ui(response, [&] {
               DialogAnswer answer;
               answer.body =
                   FolderPolicy::Load(host.model->archives().store(), host.state_folder).List(path);
               return answer;
             });
           });
  http.Post("/api/dialogs/folders",
            [host, on_ui](const httplib::Request& request, httplib::Response& response) {
              json body;
              if (!ParseDialogRequest(host, request, response, &body)) return;
              on_ui(response, [&] {
                return ChooseFolder(
                    FolderPolicy::Load(host.model->archives().store(), host.state_folder), body);
              });
            });

  http.Post("/api/dialogs/ftp-test", [host, dialogs](const httplib::Request& request,
                                                     httplib::Response& response) {
    json body;
    if (!ParseDialogRequest(host, request, response, &body)) return;
    FtpTestParams params;
    int64_t port = 0;
    DialogAnswer error;
    if (!DialogString(body, "server", &params.server, &error) ||
        !DialogInt(body, "port", &port, &error) ||
        !DialogString(body, "folder", &params.folder, &error) ||
        !DialogString(body, "user", &params.user, &error) ||
        !DialogString(body, "password", &params.password, &error)) {
      WriteDialogAnswer(response, error);
      return;
    }
    if (port < 0 || port > 65535) {
      WriteDialogAnswer(response, DialogRefuse("Please enter a port from 1 to 65535.", "", "port"));
      return;
    }
    params.port = static_cast<int32_t>(port);
    // The address separators cannot be part of a field.
    for (const std::string* field : {&params.server, &params.user}) {
      if (field->find_first_of(":@/|") != std::string::npos) {
        WriteDialogAnswer(response, DialogRefuse(kFtpTestFailed, "",
                                                 field == &params.server ? "server" : "user"));
        return;
      }
    }
    std::string message;
    const FtpTestResult result = RunFtpTest(params, &message, nullptr);
    json tested = {{"server", params.server},
                   {"port", params.port},
                   {"folder", params.folder},
                   {"user", params.user}};
    DialogAnswer answer;
    switch (result) {
      case FtpTestResult::kSent: {
        const std::string address = FtpAddress(params);
        dialogs->RememberFtpTest(address);
        answer = DialogDone({{"message", message},
                             {"tested", tested},
                             {"entry", archive::DisplayDestination(address)}});
        answer.changed = false;
        break;
      }
      case FtpTestResult::kFailed:
        answer = DialogRefuse(message);
        break;
      case FtpTestResult::kNoTestFile:
        answer = DialogStay("");
        break;
    }
    WriteDialogAnswer(response, answer);
  });
}

}  // namespace logrum::server
