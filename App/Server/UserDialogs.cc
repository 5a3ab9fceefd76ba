#include "App/Server/UserDialogs.h"

#include <map>
#include <random>

#include "App/Server/ConsoleJson.h"

namespace logrum::server {
namespace {

using nlohmann::json;

constexpr int32_t kLongestPlaceholder = 64;

// A stamp of the stored digest that tells a change and nothing else: keyed
// with a secret that never leaves this process.
std::string PasswordStamp(const std::string& digest) {
  static const std::string secret = [] {
    std::random_device random;
    std::string text;
    for (int i = 0; i < 4; ++i) text += std::to_string(random());
    return text;
  }();
  return DialogVersion(json::array({secret, digest}));
}

int32_t PlaceholderLength(const UserRecord& user) {
  const int32_t length = user.password_length();
  return length >= 0 && length <= kLongestPlaceholder ? length : 0;
}

DialogAnswer NoSuchUser(const std::string& name) {
  return DialogRefuse("There is no user named '" + name + "'. Another page may have removed it.");
}

std::string UserField(const std::string& text) {
  return text.find("password") != std::string::npos ? "password" : "name";
}

// The empty-password question, after every other check.
std::optional<DialogAnswer> AskEmptyPassword(const json& request, const std::string& password) {
  if (!password.empty()) return std::nullopt;
  std::optional<bool> allow = DialogReply(request, "empty-password");
  if (!allow) return DialogAsk(kEmptyPasswordQuestion, "empty-password");
  if (!*allow) {
    DialogAnswer stay = DialogStay("");
    stay.body["field"] = "password";
    return stay;
  }
  return std::nullopt;
}

struct UserFields {
  std::string name, full_name, password, confirm;
};

bool ReadUserFields(const json& request, UserFields* fields, DialogAnswer* error) {
  return DialogString(request, "name", &fields->name, error) &&
         DialogString(request, "full_name", &fields->full_name, error) &&
         DialogString(request, "password", &fields->password, error) &&
         DialogString(request, "confirm", &fields->confirm, error);
}

const char* YesNo(bool yes) {
  return yes ? "Yes" : "No";
}

}  // namespace

json UserListValues(MainWindowModel& model, bool reload) {
  if (reload) model.users().Load();
  json rows = json::array();
  model.users().ForEachNewestFirst([&](UserRecord& user) {
    rows.push_back({{"name", user.name()}, {"full_name", user.full_name()}});
  });
  return {{"caption", "User Manager"},
          {"columns", json::array({{{"title", "User Name"}, {"width", 100}},
                                   {{"title", "Full Name"}, {"width", 150}}})},
          {"rows", std::move(rows)}};
}

json UserValues(MainWindowModel& model, const std::string& name) {
  UserRecord* user = model.users().Find(name);
  if (user == nullptr) return nullptr;
  return {{"caption", "Edit User"},
          {"name", user->name()},
          {"full_name", user->full_name()},
          {"placeholder", PlaceholderLength(*user)},
          {"password_stamp", PasswordStamp(user->digest())}};
}

json UserRightsValues(MainWindowModel& model, const std::string& name) {
  UserRecord* user = model.users().Find(name);
  if (user == nullptr) return nullptr;
  // The rights name exactly the archives there are now.
  user->PruneRights(model.archives());
  json rows = json::array();
  user->rights().Enumerate([&](const std::string& archive, const kit::OptionValue& value) {
    const int32_t bits = value.type() == kit::OptionValue::kInteger ? value.integer() & 3 : 0;
    rows.push_back({{"archive", archive},
                    {"value", bits},
                    {"access", YesNo((bits & kRightAccess) != 0)},
                    {"live", YesNo((bits & kRightLiveStream) != 0)}});
  });
  return {{"caption", "User Access Rights"},
          {"name", user->name()},
          {"columns", json::array({{{"title", "Archive"}, {"width", 120}},
                                   {{"title", "Access"}, {"width", 80}},
                                   {{"title", "Live Stream"}, {"width", 80}}})},
          {"rows", rows},
          {"refusal", rows.empty() ? json(kNoArchivesForRights) : json(nullptr)}};
}

DialogAnswer AddUserDialog(MainWindowModel& model, const json& request) {
  UserFields fields;
  DialogAnswer error;
  if (!ReadUserFields(request, &fields, &error)) return error;
  const auto& [name, full_name, password, confirm] = fields;
  std::string told;
  if (!model.CheckNewUser(name, password, confirm, &told)) {
    return DialogRefuse(told, "", UserField(told));
  }
  if (auto asked = AskEmptyPassword(request, password)) return *asked;
  told.clear();
  if (!model.AddUser(name, full_name, password, confirm, &told)) {
    return DialogRefuse(ConfigMessageText(kMsgRegistryAccess));
  }
  UserRecord* user = model.users().Find(name);
  const bool has_rights = user != nullptr && user->RightsCount() > 0;
  DialogAnswer answer = DialogDone({{"user", name}, {"rights", has_rights}});
  if (!told.empty()) answer.body["message"] = told;
  return answer;
}

DialogAnswer EditUserDialog(MainWindowModel& model, const json& request) {
  UserFields fields;
  DialogAnswer error;
  if (!ReadUserFields(request, &fields, &error)) return error;
  const auto& [name, full_name, password, confirm] = fields;
  json current = UserValues(model, name);
  if (current.is_null()) return NoSuchUser(name);
  if (auto stale = CheckDialogVersion(request, current)) return *stale;
  if (password != confirm) {
    return DialogRefuse("The two passwords entered do not match!", "", "password");
  }
  if (auto asked = AskEmptyPassword(request, password)) return *asked;
  // The fields were filled with the placeholder: left as they were, the
  // stored password stays.
  const std::string placeholder(static_cast<size_t>(current["placeholder"].get<int>()), '*');
  const bool keep = password == placeholder;
  if (!model.EditUser(name, full_name, keep ? nullptr : &password)) {
    return DialogRefuse(ConfigMessageText(kMsgRegistryAccess));
  }
  json values = UserValues(model, name);
  return DialogDone({{"version", DialogVersion(values)}});
}

DialogAnswer SaveUserRights(MainWindowModel& model, const json& request) {
  DialogAnswer error;
  std::string name;
  if (!DialogString(request, "name", &name, &error)) return error;
  auto given = request.find("rights");
  if (given == request.end() || !given->is_object()) {
    return DialogBadRequest("\"rights\" must map archive names to 0-3");
  }
  json current = UserRightsValues(model, name);
  if (current.is_null()) return NoSuchUser(name);
  if (auto stale = CheckDialogVersion(request, current)) return *stale;
  std::map<std::string, int32_t> rights;
  for (const auto& [archive, value] : given->items()) {
    if (!value.is_number_integer() || value.get<int64_t>() < 0 || value.get<int64_t>() > 3) {
      return DialogBadRequest("\"rights\" must map archive names to 0-3");
    }
    if (model.archives().Find(archive) == nullptr) {
      return DialogRefuse("There is no archive named '" + archive + "'.");
    }
    rights[archive] = value.get<int32_t>();
  }
  // The rights after the save: a row the request leaves out keeps its value.
  std::map<std::string, int32_t> after;
  for (const json& row : current["rows"]) {
    after[FoldName(row["archive"].get<std::string>())] = row["value"].get<int32_t>();
  }
  for (const auto& [archive, value] : rights) after[FoldName(archive)] = value;
  bool any = false;
  for (const auto& [archive, value] : after) any = any || value != 0;
  if (!any) {
    std::optional<bool> go_on = DialogReply(request, "no-rights");
    if (!go_on) return DialogAsk(kNoRightsQuestion, "no-rights");
    if (!*go_on) {
      DialogAnswer stay = DialogStay("");
      stay.body["field"] = "rights";
      return stay;
    }
  }
  if (!model.SetUserRights(name, rights)) {
    return DialogRefuse(ConfigMessageText(kMsgRegistryAccess));
  }
  json values = UserRightsValues(model, name);
  return DialogDone({{"version", DialogVersion(values)}, {"rights", std::move(values)}});
}

DialogAnswer RemoveUserDialog(MainWindowModel& model, const json& request) {
  DialogAnswer error;
  std::string name;
  if (!DialogString(request, "name", &name, &error)) return error;
  if (name.empty()) return DialogRefuse("No item selected!");
  json current = UserValues(model, name);
  if (current.is_null()) return NoSuchUser(name);
  if (auto stale = CheckDialogVersion(request, current)) return *stale;
  std::optional<bool> sure = DialogReply(request, "remove");
  if (!sure) return DialogAsk(kRemoveQuestion, "remove");
  if (!*sure) return DialogStay("");
  if (!model.RemoveUser(name)) return DialogRefuse(ConfigMessageText(kMsgRegistryAccess));
  return DialogDone({{"users", UserListValues(model, false)}});
}

}  // namespace logrum::server
