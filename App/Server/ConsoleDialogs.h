// What the configuration dialogs of the web console share: the answers a
// dialog's request gets, the questions it asks on the way, and the version
// test that keeps two pages from overwriting each other's edits.
//
// Answers (JSON bodies; every dialog answers in these shapes only):
//   done      200 {"ok":true, "version":V, ...}       saved; V is the new version
//   refused   422 {"error":TEXT, "tab":T, "field":F}  a check failed; the dialog
//                                                      stays open on tab T
//   question  200 {"question":TEXT, "key":K, "tab":T}  ask TEXT (Yes/No) and send
//                                                      the request again with
//                                                      "answers":{K:true|false}
//   stay      200 {"stay":true, "tab":T}              the user chose to go back
//                                                      and change something
//   stale     409 {"error":TEXT, "stale":true,         the object changed since
//                  "current":VALUES, "version":V}      the page read it
// A request carries the version it read in "version" and the answers given
// so far in "answers". Questions are asked by the server in the dialog's own
// order, so a request that bypasses the page meets the same checks and texts.
//
// Versions are a digest of the object's current values as the dialog shows
// them: any change, by another page, by logrum-reg or before a restart, makes
// a page's version stale, and no counter has to survive anything.
//
// Thread safety: plain functions and values; ConsoleDialogHost's members say
// where they may be called.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace logrum::server {

class MainWindowModel;

inline constexpr char kStaleEdit[] =
    "These settings were changed elsewhere while this dialog was open. The dialog now shows the "
    "current values: make your changes again and save.";

struct DialogAnswer {
  int status = 200;
  nlohmann::json body = nlohmann::json::object();
  bool changed = false;  // the main window's model may have changed

  bool done() const { return status == 200 && body.contains("ok"); }
};

DialogAnswer DialogDone(nlohmann::json extra = nlohmann::json::object());
DialogAnswer DialogRefuse(std::string text, std::string tab = "", std::string field = "");
DialogAnswer DialogAsk(std::string text, std::string key, std::string tab = "");
DialogAnswer DialogStay(std::string tab);
DialogAnswer DialogStale(nlohmann::json current);
// A request that is not a dialog's request at all (not an object, a field of
// the wrong type): 400 {"error":TEXT}.
DialogAnswer DialogBadRequest(std::string text);

// The user's answer to question `key` in the request: nullopt while unasked.
std::optional<bool> DialogReply(const nlohmann::json& request, std::string_view key);

// The version of an object's values: a hex digest of their JSON text.
std::string DialogVersion(const nlohmann::json& values);
// Null when the request's "version" is the current values' version; else the
// stale answer, carrying `current` and its version.
std::optional<DialogAnswer> CheckDialogVersion(const nlohmann::json& request,
                                               const nlohmann::json& current);

// Typed reads of a request's fields; false (and *error the refusal) when the
// field is missing or of another type.
bool DialogString(const nlohmann::json& request, const char* field, std::string* value,
                  DialogAnswer* error);
bool DialogInt(const nlohmann::json& request, const char* field, int64_t* value,
               DialogAnswer* error);
bool DialogBool(const nlohmann::json& request, const char* field, bool* value,
                DialogAnswer* error);

// What a dialog's routes get from the console (ConsoleServer::DialogHost).
struct ConsoleDialogHost {
  // Checks the request as every configuration change is checked (Host, the
  // session's token on a POST, the administrator's role) and writes the
  // refusal; HTTP threads.
  std::function<bool(const httplib::Request&, httplib::Response&)> authorize;
  // Runs a task on the UI thread and waits; false (503 to answer) when the
  // console stops first. HTTP threads.
  std::function<bool(const std::function<void()>&)> run_on_ui;
  // Tells the open pages that the main window changed. UI thread.
  std::function<void()> model_changed;
  MainWindowModel* model = nullptr;  // UI thread only
  std::string state_folder;
};

// Writes a dialog's answer; the common tail of every dialog route.
void WriteDialogAnswer(httplib::Response& response, const DialogAnswer& answer);
// Parses a request's JSON body (an empty body is {}); false with the 400
// written when it is not an object.
bool ReadDialogRequest(const httplib::Request& request, httplib::Response& response,
                       nlohmann::json* body);
// Authorizes a dialog's request and reads its fields: a POST's JSON body, or
// a GET's query parameters (as texts). False when the refusal or the 400 has
// been written; HTTP threads.
bool ParseDialogRequest(const ConsoleDialogHost& host, const httplib::Request& request,
                        httplib::Response& response, nlohmann::json* body);

}  // namespace logrum::server
