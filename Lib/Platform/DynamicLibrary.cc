#include "Lib/Platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

// Set by the build (cmake/InstallLayout.cmake): the plug-in folder of an
// installation, relative to its programs' folder.
#ifndef LOGRUM2_PLUGIN_FOLDER_FROM_BIN
#define LOGRUM2_PLUGIN_FOLDER_FROM_BIN ""
#endif

namespace logrum::platform {
namespace {

std::string LastDlError(const std::string& fallback) {
  const char* text = dlerror();
  return text != nullptr ? std::string(text) : fallback;
}

std::string SelfExe() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace

DynamicLibrary::~DynamicLibrary() { Close(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), path_(std::move(other.path_)) {
  other.path_.clear();
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, nullptr);
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

Status DynamicLibrary::Open(const std::string& path) {
  Close();
  dlerror();  // clear a stale message
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    // dlerror() gives no errno. A file that is there but does not load (damaged,
    // of another kind, or lacking a library it needs) is not what it should be.
    std::error_code ec;
    const bool present = std::filesystem::exists(path, ec);
    return Status::Error(present ? Status::kCorrupt : Status::kNotFound,
                         LastDlError("cannot load " + path));
  }
  handle_ = handle;
  path_ = path;
  return Status::Ok();
}

Status DynamicLibrary::OpenBeside(const void* code, std::string_view file_name) {
  Close();
  std::vector<std::string> folders = LibraryFolders(code);
  if (folders.empty()) {
    return Status::Error(
        Status::kNotFound,
        "cannot find the library folder of the calling code to load " + std::string(file_name));
  }
  std::string looked;
  for (const std::string& folder : folders) {
    std::string candidate = folder + "/" + std::string(file_name);
    std::error_code ec;
    if (!std::filesystem::exists(candidate, ec)) {
      looked += (looked.empty() ? "" : ", ") + candidate;
      continue;
    }
    // A file that is there but does not load is an error of its own; don't look further.
    return Open(candidate);
  }
  return Status::Error(Status::kNotFound, "library not found: " + looked);
}

void DynamicLibrary::Close() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
  path_.clear();
}

Status DynamicLibrary::Symbol(const char* name, void** address) const {
  *address = nullptr;
  if (handle_ == nullptr) {
    return Status::Error(Status::kNotFound, std::string("no library open to look up ") + name);
  }
  dlerror();
  *address = dlsym(handle_, name);
  if (*address == nullptr) {
    return Status::Error(Status::kNotFound,
                         LastDlError(std::string(name) + " not found in " + path_));
  }
  return Status::Ok();
}

std::string CodeObjectPath(const void* code) {
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(code, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
      map == nullptr) {
    return {};
  }
  // The main program's link map has an empty name.
  if (map->l_name == nullptr || map->l_name[0] == '\0') return SelfExe();
  std::error_code ec;
  std::filesystem::path path = std::filesystem::canonical(map->l_name, ec);
  return ec ? std::string(map->l_name) : path.string();
}

std::string CodeFolder(const void* code) {
  std::string path = CodeObjectPath(code);
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::vector<std::string> LibraryFolders(const void* code) {
  std::string folder = CodeFolder(code);
  if (folder.empty()) return {};
  std::vector<std::string> folders;
  std::error_code ec;
  // An installed program's plug-ins are in the installation's private folder
  // (/usr/bin -> /usr/lib/<arch>/logrum2). It comes first where it exists, so
  // that a system folder such as /usr/lib is never searched ahead of ours.
  const std::string installed = LOGRUM2_PLUGIN_FOLDER_FROM_BIN;
  if (!installed.empty()) {
    std::filesystem::path plugins = std::filesystem::weakly_canonical(folder + "/" + installed, ec);
    if (!ec && plugins.string() != folder && std::filesystem::is_directory(plugins, ec)) {
      folders.push_back(plugins.string());
    }
  }
  std::filesystem::path lib = std::filesystem::weakly_canonical(folder + "/../lib", ec);
  if (!ec && lib.string() != folder &&
      std::find(folders.begin(), folders.end(), lib.string()) == folders.end()) {
    folders.push_back(lib.string());
  }
  folders.push_back(folder);
  return folders;
}

}  // namespace logrum::platform
