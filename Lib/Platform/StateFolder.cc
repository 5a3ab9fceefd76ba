#include "Lib/Platform/StateFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace logrum::platform {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string HomeFolder() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  if (const passwd* entry = getpwuid(geteuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "/tmp";
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string StateFolderPath() {
  if (std::string home = Env("LOGRUM2_HOME"); !home.empty()) return WithoutTrailingSlashes(home);
  if (geteuid() == 0) return "/var/lib/logrum2";
  if (std::string xdg = Env("XDG_STATE_HOME"); !xdg.empty() && xdg[0] == '/') {
    return WithoutTrailingSlashes(xdg) + "/logrum2";
  }
  return WithoutTrailingSlashes(HomeFolder()) + "/.local/state/logrum2";
}

Status MakeStateFolder(std::string* path) {
  *path = StateFolderPath();
  // Create each missing parent in turn, like mkdir -p.
  for (size_t slash = 0; slash != std::string::npos;) {
    slash = path->find('/', slash + 1);
    std::string part = path->substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      return ErrnoStatus(errno, "cannot create the state folder " + part);
    }
  }
  struct stat info;
  if (stat(path->c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Status::Error(Status::kInvalidArgument,
                         "the state folder " + *path + " is not a folder");
  }
  return Status::Ok();
}

}  // namespace logrum::platform
