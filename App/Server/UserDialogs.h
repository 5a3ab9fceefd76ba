// The user manager of the web console, its user dialog and its access-rights
// dialog: values to show, and the checks and saves of their buttons, in the
// dialogs' order, through the model (one configuration-store transaction per
// saved user: its values and its rights together).
//
// A password never leaves the server. The user dialog gets the placeholder
// length (as many "*" as the stored password has characters, none above 64)
// and a stamp of the stored digest keyed with a secret of this process, so
// that a password changed elsewhere makes the page's version stale without
// the page learning anything it could test passwords against.
//
// Values:
//   list    {"caption":"User Manager","columns":[...],"rows":[{"name","full_name"}]}
//           (newest first: each user read or added goes on top)
//   user    {"caption":"Edit User","name","full_name","placeholder":N,"password_stamp"}
//   rights  {"caption":"User Access Rights","name","columns":[...],
//            "rows":[{"archive","value","access":"Yes|No","live":"Yes|No"}],
//            "refusal":TEXT|null}   what the button says when the user has no rights
// Requests:
//   add     {"name","full_name","password","confirm","answers"}
//           done: {"user":name, "rights":bool, "message":TEXT?}; with rights the
//           page opens the access-rights dialog next
//   edit    {"name","full_name","password","confirm","version","answers"}
//           a password equal to the placeholder keeps the stored one
//   rights  {"name","rights":{archive:0-3},"version","answers"}
//   remove  {"name","version","answers"}
// Questions: "empty-password", "no-rights", "remove".
//
// Thread safety: none; UI thread, with the model.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "App/Server/ConsoleDialogs.h"
#include "App/Server/MainWindowModel.h"

namespace logrum::server {

inline constexpr char kNoArchivesForRights[] =
    "There are no archives currently defined! Please define archives before assigning user "
    "rights.";
inline constexpr char kEmptyPasswordQuestion[] =
    "The password is empty! Allow access without a password?";
inline constexpr char kNoRightsQuestion[] =
    "This user does not have access rights to any archive and will not be able to log in! "
    "Continue?";

// Reads the users afresh from the store, as the user manager does when it opens.
nlohmann::json UserListValues(MainWindowModel& model, bool reload);
// Null when there is no such user.
nlohmann::json UserValues(MainWindowModel& model, const std::string& name);
nlohmann::json UserRightsValues(MainWindowModel& model, const std::string& name);

DialogAnswer AddUserDialog(MainWindowModel& model, const nlohmann::json& request);
DialogAnswer EditUserDialog(MainWindowModel& model, const nlohmann::json& request);
DialogAnswer SaveUserRights(MainWindowModel& model, const nlohmann::json& request);
DialogAnswer RemoveUserDialog(MainWindowModel& model, const nlohmann::json& request);

}  // namespace logrum::server
