#include "App/Server/ConsoleDialogs.h"

#include <httplib.h>

#include <cstdio>

namespace logrum::server {

using nlohmann::json;

DialogAnswer DialogDone(json extra) {
  DialogAnswer answer;
  answer.body = extra.is_object() ? std::move(extra) : json::object();
  answer.body["ok"] = true;
  answer.changed = true;
  return answer;
}

DialogAnswer DialogRefuse(std::string text, std::string tab, std::string field) {
  DialogAnswer answer;
  answer.status = 422;
  answer.body = {{"error", std::move(text)}};
  if (!tab.empty()) answer.body["tab"] = std::move(tab);
  if (!field.empty()) answer.body["field"] = std::move(field);
  return answer;
}

DialogAnswer DialogAsk(std::string text, std::string key, std::string tab) {
  DialogAnswer answer;
  answer.body = {{"question", std::move(text)}, {"key", std::move(key)}};
  if (!tab.empty()) answer.body["tab"] = std::move(tab);
  return answer;
}

DialogAnswer DialogStay(std::string tab) {
  DialogAnswer answer;
  answer.body = {{"stay", true}, {"tab", std::move(tab)}};
  return answer;
}

DialogAnswer DialogStale(json current) {
  DialogAnswer answer;
  answer.status = 409;
  std::string version = DialogVersion(current);
  answer.body = {{"error", kStaleEdit},
                 {"stale", true},
                 {"current", std::move(current)},
                 {"version", std::move(version)}};
  return answer;
}

DialogAnswer DialogBadRequest(std::string text) {
  DialogAnswer answer;
  answer.status = 400;
  answer.body = {{"error", std::move(text)}};
  return answer;
}

std::optional<bool> DialogReply(const json& request, std::string_view key) {
  auto answers = request.find("answers");
  if (answers == request.end() || !answers->is_object()) return std::nullopt;
  auto it = answers->find(std::string(key));
  if (it == answers->end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

std::string DialogVersion(const json& values) {
  // FNV-1a over the canonical text (nlohmann keeps object keys sorted).
  const std::string text = values.dump();
  uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  char buffer[17];
  std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(hash));
  return buffer;
}

std::optional<DialogAnswer> CheckDialogVersion(const json& request, const json& current) {
  auto version = request.find("version");
  if (version != request.end() && version->is_string() &&
      version->get<std::string>() == DialogVersion(current)) {
    return std::nullopt;
  }
  return DialogStale(current);
}

namespace {

bool Missing(const char* field, const char* kind, DialogAnswer* error) {
  *error = DialogBadRequest(std::string("\"") + field + "\" must be " + kind);
  return false;
}

}  // namespace

bool DialogString(const json& request, const char* field, std::string* value, DialogAnswer* error) {
  auto it = request.find(field);
  if (it == request.end() || !it->is_string()) return Missing(field, "a text", error);
  *value = it->get<std::string>();
  return true;
}

bool DialogInt(const json& request, const char* field, int64_t* value, DialogAnswer* error) {
  auto it = request.find(field);
  if (it == request.end() || !it->is_number_integer()) return Missing(field, "a whole number", error);
  *value = it->get<int64_t>();
  return true;
}

bool DialogBool(const json& request, const char* field, bool* value, DialogAnswer* error) {
  auto it = request.find(field);
  if (it == request.end() || !it->is_boolean()) return Missing(field, "true or false", error);
  *value = it->get<bool>();
  return true;
}

void WriteDialogAnswer(httplib::Response& response, const DialogAnswer& answer) {
  response.status = answer.status;
  response.set_header("Cache-Control", "no-store");
  response.set_content(answer.body.dump(), "application/json");
}

bool ReadDialogRequest(const httplib::Request& request, httplib::Response& response, json* body) {
  if (request.body.empty()) {
    *body = json::object();
    return true;
  }
  *body = json::parse(request.body, nullptr, false);
  if (body->is_discarded() || !body->is_object()) {
    WriteDialogAnswer(response, DialogBadRequest("The request body must be a JSON object"));
    return false;
  }
  return true;
}

bool ParseDialogRequest(const ConsoleDialogHost& host, const httplib::Request& request,
                        httplib::Response& response, json* body) {
  if (!host.authorize(request, response)) return false;
  if (request.method == "POST") return ReadDialogRequest(request, response, body);
  *body = json::object();
  for (const auto& [key, value] : request.params) (*body)[key] = value;
  return true;
}

}  // namespace logrum::server
