#include "App/Server/FolderDialog.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "App/Server/ConfigKeys.h"
#include "Lib/Kit/Options/OptionsReg.h"

namespace logrum::server {
namespace {

using nlohmann::json;

bool Inside(const std::string& path, const std::string& root) {
  if (root == "/") return true;
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

// "/a//b/" -> "/a/b"; false for a relative path or one with "." or "..".
bool Normalize(std::string_view typed, std::string* out) {
  while (!typed.empty() && (typed.back() == ' ' || typed.back() == '\t')) typed.remove_suffix(1);
  while (!typed.empty() && (typed.front() == ' ' || typed.front() == '\t')) typed.remove_prefix(1);
  if (typed.empty() || typed[0] != '/') return false;
  std::string path;
  size_t at = 0;
  while (at < typed.size()) {
    size_t end = typed.find('/', at);
    if (end == std::string_view::npos) end = typed.size();
    std::string_view part = typed.substr(at, end - at);
    if (part == "." || part == "..") return false;
    if (!part.empty()) {
      path.push_back('/');
      path.append(part);
    }
    at = end + 1;
  }
  *out = path.empty() ? "/" : path;
  return true;
}

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

std::string Parent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

bool Writable(const std::string& folder) {
  return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

std::string Joined(const std::vector<std::string>& roots) {
  std::string text;
  for (const std::string& root : roots) text += (text.empty() ? "" : ", ") + root;
  return text;
}

}  // namespace

FolderPolicy::FolderPolicy(std::vector<std::string> roots) {
  for (const std::string& root : roots) {
    std::string normal;
    if (Normalize(root, &normal) &&
        std::find(roots_.begin(), roots_.end(), normal) == roots_.end()) {
      roots_.push_back(normal);
    }
  }
}

FolderPolicy FolderPolicy::Load(platform::Registry* store, const std::string& state_folder) {
  kit::OptionsReg server(false, store);
  server.set_trace(false);
  std::vector<std::string> roots;
  const char* text =
      server.Read(ServerKeyPath()).ok() ? server.GetString("ConsoleFolders") : nullptr;
  if (text != nullptr && *text != '\0') {
    std::string_view rest(text);
    while (!rest.empty()) {
      size_t bar = rest.find('|');
      roots.emplace_back(rest.substr(0, bar));
      rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
    }
  } else {
    roots = {state_folder, "/srv", "/mnt", "/media", "/home"};
  }
  return FolderPolicy(std::move(roots));
}

platform::Status FolderPolicy::Check(std::string_view typed, Checked* checked) const {
  using platform::Status;
  std::string path;
  if (typed.find("/./") != std::string_view::npos || typed.find("/../") != std::string_view::npos ||
      typed.ends_with("/..") || typed.ends_with("/.")) {
    return Status::Error(
        Status::kInvalidArgument,
        "A folder path may not contain '.' or '..' parts: '" + std::string(typed) + "'.");
  }
  if (!Normalize(typed, &path)) {
    return Status::Error(
        Status::kInvalidArgument,
        "Please enter a full folder path, starting with '/': '" + std::string(typed) + "'.");
  }
  const auto root = std::find_if(roots_.begin(), roots_.end(),
                                 [&](const std::string& r) { return Inside(path, r); });
  if (root == roots_.end()) {
    return Status::Error(Status::kAccessDenied,
                         "The folder '" + path +
                             "' lies outside the folders this server may use (" + Joined(roots_) +
                             ").");
  }
  // The nearest part of the path that exists decides where it really leads.
  std::string existing = path;
  while (!Exists(existing)) existing = Parent(existing);
  const std::string real = RealPath(existing);
  const std::string real_root = RealPath(*root);
  if (real.empty() || real_root.empty() || !Inside(real, real_root)) {
    return Status::Error(Status::kAccessDenied, "The folder '" + path +
                                                    "' leads through a link to '" + real +
                                                    "', outside the folders this server may use (" +
                                                    Joined(roots_) + ").");
  }
  if (!IsFolder(existing)) {
    return Status::Error(Status::kInvalidArgument, "'" + existing + "' is not a folder.");
  }
  if (!Writable(existing)) {
    return Status::Error(Status::kAccessDenied, "The server may not write in '" + existing + "'.");
  }
  checked->path = path;
  checked->exists = existing == path;
  return Status::Ok();
}

bool FolderPolicy::Create(const std::string& path) const {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return !ec && IsFolder(path);
}

json FolderPolicy::List(std::string_view typed) const {
  std::string path;
  if (!Normalize(typed, &path) || typed.find("..") != std::string_view::npos ||
      std::none_of(roots_.begin(), roots_.end(),
                   [&](const std::string& r) { return Inside(path, r); })) {
    path.clear();
  }
  if (!path.empty()) {
    while (!IsFolder(path) && path != "/") path = Parent(path);
    // Never list through a link that leads out of the roots.
    const std::string real = RealPath(path);
    if (!IsFolder(path) || std::none_of(roots_.begin(), roots_.end(), [&](const std::string& r) {
          return Inside(path, r) && !real.empty() && Inside(real, RealPath(r));
        })) {
      path.clear();
    }
  }
  json roots = json::array();
  for (const std::string& root : roots_) {
    if (IsFolder(root)) roots.push_back(root);
  }
  if (path.empty()) path = roots.empty() ? std::string() : roots[0].get<std::string>();
  json answer = {{"path", path},
                 {"roots", roots},
                 {"parent", nullptr},
                 {"writable", false},
                 {"folders", json::array()}};
  if (path.empty()) return answer;
  const bool at_root = std::find(roots_.begin(), roots_.end(), path) != roots_.end();
  if (!at_root) answer["parent"] = Parent(path);
  answer["writable"] = Writable(path);
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
    std::error_code kind;
    if (!entry.is_directory(kind)) continue;
    std::string name = entry.path().filename().string();
    if (!name.empty() && name[0] != '.') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string child = path == "/" ? "/" + name : path + "/" + name;
    answer["folders"].push_back({{"name", name}, {"writable", Writable(child)}});
  }
  return answer;
}

DialogAnswer ChooseFolder(const FolderPolicy& policy, const json& request) {
  std::string typed;
  DialogAnswer error;
  if (!DialogString(request, "path", &typed, &error)) return error;
  FolderPolicy::Checked checked;
  platform::Status status = policy.Check(typed, &checked);
  if (!status.ok()) return DialogRefuse(status.message(), "", "path");
  if (!checked.exists) {
    auto create = DialogReply(request, "create");
    if (!create) {
      return DialogAsk("Directory \"" + checked.path + "\" does not exist! Create it?", "create");
    }
    if (!*create) return DialogStay("");
    if (!policy.Create(checked.path)) return DialogRefuse(kUnableToCreateDirectory, "", "path");
  }
  DialogAnswer done = DialogDone({{"path", checked.path}});
  done.changed = false;
  return done;
}

}  // namespace logrum::server
