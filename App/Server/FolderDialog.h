// The folder dialog of the web console: a browser of the server's own folders,
// limited to the folders it may use, where a typed name that does not exist
// yet is created after a question.
//
// The folders a page may reach lie below the console's folder roots: the
// Server value ConsoleFolders ("|"-separated absolute folders), by default
// the state folder, /srv, /mnt, /media and /home. A path is refused with a
// clear text when it is not absolute, holds "." or ".." parts, lies outside
// every root (also through a symbolic link inside a root that points out),
// names something that is not a folder, or is not writable by the server (for
// a new folder: its nearest existing parent). The archive options dialog
// applies the same checks to a new archive or backup folder.
//
// Thread safety: plain values; the file system calls block briefly.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "App/Server/ConsoleDialogs.h"
#include "Lib/Platform/Registry.h"
#include "Lib/Platform/Status.h"

namespace logrum::server {

inline constexpr char kUnableToCreateDirectory[] = "Unable to create directory!";

class FolderPolicy {
 public:
  explicit FolderPolicy(std::vector<std::string> roots);
  // The roots of Logrum2\Server ConsoleFolders (`store` null: the process's
  // store), or the defaults around `state_folder`.
  static FolderPolicy Load(platform::Registry* store, const std::string& state_folder);

  const std::vector<std::string>& roots() const { return roots_; }

  struct Checked {
    std::string path;  // lexically normal, without a trailing '/'
    bool exists = false;
  };
  // Checks a typed folder. An error's message is the text to show.
  platform::Status Check(std::string_view typed, Checked* checked) const;
  // Creates a checked folder with its missing parents.
  bool Create(const std::string& path) const;

  // The browser's view of a folder: {"path", "parent" (null at a root),
  // "writable", "folders":[{"name","writable"}], "roots"}. A path that is
  // empty, "." or missing starts at its nearest existing folder inside the
  // roots (the first root when none).
  nlohmann::json List(std::string_view path) const;

 private:
  std::vector<std::string> roots_;
};

// The folder dialog's choice: {"path":TEXT} checked; a missing folder asks
// "Directory \"P\" does not exist! Create it?" (key "create"), Yes creates it,
// No stays in the browser.
DialogAnswer ChooseFolder(const FolderPolicy& policy, const nlohmann::json& request);

}  // namespace logrum::server
