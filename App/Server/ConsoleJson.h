// The main window and the status windows as JSON for the web console, and
// the commands of their buttons.
//
// The page renders this and nothing else: the enable rules come from the
// model (MainWindowModel::Buttons, the status texts), and every command is
// checked against the same rules here before it runs, so a page that shows a
// stale button cannot start an active archive or remove one that records.
//
// Thread safety: none; call on the UI thread with the model.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>

#include "App/Server/MainWindowModel.h"

namespace logrum::server {

inline constexpr char kConsoleCaption[] = "iLogrum Server v2.5.9";
inline constexpr char kRemoveQuestion[] = "Remove?";

// What the console adds to a row: the silence alarm's text ("" when quiet).
struct ConsoleRowState {
  std::string silence;
};

// The list's columns: title, alignment and width, in order.
nlohmann::json ColumnsJson();
nlohmann::json ButtonsJson(const MainButtons& buttons);
// One row: its name, the cells of the columns after the name, the icon, the
// selection and the status window.
nlohmann::json RowJson(const ArchiveRow& row, bool selected, const ConsoleRowState& extra);
// The whole main window. `extra` is looked up by archive name.
nlohmann::json MainWindowJson(const MainWindowModel& model,
                              const std::map<std::string, ConsoleRowState>& extra);

struct CommandAnswer {
  int status = 200;      // HTTP status: 200 done (or a question), 400, 404, 409
  nlohmann::json body;  // {"ok":true}, {"confirm":"Remove?"} or {"error":"..."}
  bool changed = false;  // the model may have changed
};

// Runs a command of the main window or a status window:
//   select     {"archives":[names]}         the list's selection
//   start      {"archive":name}             Start (main window or status window)
//   stop       {"archive":name}
//   start-all  {}                           S&tart All
//   stop-all   {}                           Sto&p All
//   remove     {"archives":[names], "confirmed":bool}; unconfirmed: the question
//   show       {"archive":name, "shown":bool}
// Each is refused (409) when its button is disabled for the archive.
CommandAnswer RunCommand(MainWindowModel& model, std::string_view command,
                         const nlohmann::json& request);

}  // namespace logrum::server
