#include "App/Server/ConsoleJson.h"

namespace logrum::server {
namespace {

using nlohmann::json;

CommandAnswer Error(int status, std::string text) {
  CommandAnswer answer;
  answer.status = status;
  answer.body = {{"error", std::move(text)}};
  return answer;
}

CommandAnswer Done() {
  CommandAnswer answer;
  answer.body = {{"ok", true}};
  answer.changed = true;
  return answer;
}

// The row of "archive" (a string), or an error answer.
bool FindArchive(const MainWindowModel& model, const json& request, const char* field,
                 size_t* row, CommandAnswer* error) {
  auto it = request.find(field);
  if (it == request.end() || !it->is_string()) {
    *error = Error(400, std::string("\"") + field + "\" must name an archive");
    return false;
  }
  int index = model.FindRow(it->get<std::string>());
  if (index < 0) {
    *error = Error(404, "No archive named '" + it->get<std::string>() + "'");
    return false;
  }
  *row = static_cast<size_t>(index);
  return true;
}

bool FindArchives(const MainWindowModel& model, const json& request, std::set<size_t>* rows,
                  CommandAnswer* error) {
  auto it = request.find("archives");
  if (it == request.end() || !it->is_array()) {
    *error = Error(400, "\"archives\" must list archive names");
    return false;
  }
  for (const json& name : *it) {
    if (!name.is_string()) {
      *error = Error(400, "\"archives\" must list archive names");
      return false;
    }
    int index = model.FindRow(name.get<std::string>());
    if (index < 0) {
      *error = Error(404, "No archive named '" + name.get<std::string>() + "'");
      return false;
    }
    rows->insert(static_cast<size_t>(index));
  }
  return true;
}

}  // namespace

json ColumnsJson() {
  return json::array({
      {{"title", "Archive Name"}, {"align", "left"}, {"width", 100}},
      {{"title", "Active"}, {"align", "center"}, {"width", 50}},
      {{"title", "Skim"}, {"align", "center"}, {"width", 50}},
      {{"title", "Used"}, {"align", "right"}, {"width", 50}},
      {{"title", "Total"}, {"align", "right"}, {"width", 50}},
      {{"title", "From"}, {"align", "left"}, {"width", 100}},
      {{"title", "To"}, {"align", "left"}, {"width", 100}},
  });
}

json ButtonsJson(const MainButtons& buttons) {
  return {
      {"add", buttons.add},         {"edit", buttons.edit},
      {"remove", buttons.remove},   {"show", buttons.show},
      {"start", buttons.start},     {"stop", buttons.stop},
      {"start_all", buttons.start_all}, {"stop_all", buttons.stop_all},
  };
}

json RowJson(const ArchiveRow& row, bool selected, const ConsoleRowState& extra) {
  const ArchiveStatus& status = row.status;
  return {
      {"name", row.name},
      {"cells", {row.name, row.active, row.skim, row.used, row.total, row.from, row.to}},
      {"icon", row.icon},
      {"active", row.active == "Yes"},
      {"selected", selected},
      {"silence", extra.silence},
      {"shown", row.shown},
      {"status",
       {
           {"caption", "Archive: " + row.name},
           {"audio", status.audio},
           {"disk", status.disk},
           {"state", status.state},
           {"start", status.start_enabled},
           {"stop", status.stop_enabled},
           {"options", true},
       }},
  };
}

json MainWindowJson(const MainWindowModel& model,
                    const std::map<std::string, ConsoleRowState>& extra) {
  json rows = json::array();
  static const ConsoleRowState kQuiet;
  for (size_t i = 0; i < model.row_count(); ++i) {
    const ArchiveRow& row = model.row(i);
    auto it = extra.find(row.name);
    rows.push_back(RowJson(row, model.selection().count(i) != 0, it != extra.end() ? it->second : kQuiet));
  }
  return {
      {"caption", kConsoleCaption},
      {"columns", ColumnsJson()},
      {"rows", std::move(rows)},
      {"buttons", ButtonsJson(model.Buttons())},
  };
}

CommandAnswer RunCommand(MainWindowModel& model, std::string_view command, const json& request) {
  if (!request.is_object()) return Error(400, "The request must be a JSON object");
  CommandAnswer error;
  if (command == "select") {
    std::set<size_t> rows;
    if (!FindArchives(model, request, &rows, &error)) return error;
    model.Select(rows);
    return Done();
  }
  if (command == "start" || command == "stop") {
    size_t row = 0;
    if (!FindArchive(model, request, "archive", &row, &error)) return error;
    model.Select({row});
    const MainButtons buttons = model.Buttons();
    if (command == "start") {
      if (!buttons.start) return Error(409, "Start is not available: the archive is active");
      // A failed start has shown its message; the answer still reports the
      // command as run, with the new state in the model.
      model.Start(row);
    } else {
      if (!buttons.stop) return Error(409, "Stop is not available: the archive is not active");
      model.Stop(row);
    }
    return Done();
  }
  if (command == "start-all") {
    if (!model.Buttons().start_all) return Error(409, "Start All is not available: no archives");
    model.StartAll();
    return Done();
  }
  if (command == "stop-all") {
    if (!model.Buttons().stop_all) return Error(409, "Stop All is not available: no archive is active");
    model.StopAll();
    return Done();
  }
  if (command == "remove") {
    std::set<size_t> rows;
    if (!FindArchives(model, request, &rows, &error)) return error;
    if (rows.empty()) return Error(409, "Remove is not available: no archive is selected");
    model.Select(rows);
    if (!model.Buttons().remove) return Error(409, "Remove is not available: the archive is active");
    auto confirmed = request.find("confirmed");
    if (confirmed == request.end() || !confirmed->is_boolean() || !confirmed->get<bool>()) {
      CommandAnswer question;
      question.body = {{"confirm", kRemoveQuestion}};
      question.changed = true;  // the selection
      return question;
    }
    model.RemoveSelected();
    return Done();
  }
  if (command == "show") {
    size_t row = 0;
    if (!FindArchive(model, request, "archive", &row, &error)) return error;
    auto shown = request.find("shown");
    model.Select({row});
    if (!model.Buttons().show) return Error(409, "Show is not available");
    model.Show(row, shown == request.end() || !shown->is_boolean() || shown->get<bool>());
    return Done();
  }
  return Error(404, "Unknown command '" + std::string(command) + "'");
}

}  // namespace logrum::server
