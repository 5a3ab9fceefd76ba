#include "App/Server/SystemReport.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

namespace logrum::server {
namespace {

std::string ProcessorText() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line, model;
  int count = 0;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("processor", 0) == 0) ++count;
    if (model.empty() && line.rfind("model name", 0) == 0) {
      size_t colon = line.find(':');
      if (colon != std::string::npos) model = line.substr(colon + 2);
    }
  }
  struct utsname names {};
  ::uname(&names);
  if (model.empty()) model = "?";
  return model + " (" + names.machine + ", " + std::to_string(count) + " processors)";
}

std::string DistributionText() {
  std::ifstream release("/etc/os-release");
  std::string line;
  while (std::getline(release, line)) {
    if (line.rfind("PRETTY_NAME=", 0) == 0) {
      std::string name = line.substr(12);
      if (name.size() >= 2 && name.front() == '"') name = name.substr(1, name.size() - 2);
      return name;
    }
  }
  return "?";
}

// A library's version from a function it exports, when the process has it.
std::string CallVersion(const char* soname, const char* function) {
  void* handle = ::dlopen(soname, RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return "";
  std::string text;
  if (auto fn = reinterpret_cast<const char* (*)()>(::dlsym(handle, function))) text = fn();
  ::dlclose(handle);
  return text;
}

// The loaded objects' file names whose base names begin with one of ours.
int CollectObject(dl_phdr_info* info, size_t, void* context) {
  auto* names = static_cast<std::set<std::string>*>(context);
  if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') names->insert(info->dlpi_name);
  return 0;
}

std::string RealName(const std::string& path) {
  char resolved[4096];
  if (::realpath(path.c_str(), resolved) == nullptr) return path;
  std::string name = resolved;
  size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

std::string SystemReport(const std::string& state_folder) {
  std::string report;
  report += "Processor: " + ProcessorText() + "\n";
  struct utsname names {};
  if (::uname(&names) == 0) {
    report += std::string("Kernel: ") + names.sysname + " " + names.release + " " + names.version + "\n";
  } else {
    report += "Unable to retrieve system version!\n";
  }
  report += "Distribution: " + DistributionText() + "\n";
  report += "Disk space on " + state_folder + "\n";
  struct statvfs disk {};
  if (::statvfs(state_folder.c_str(), &disk) == 0) {
    char text[256];
    std::snprintf(text, sizeof text, "      Total=%llu\n       Free=%llu\n  Available=%llu\n",
                  static_cast<unsigned long long>(disk.f_blocks) * disk.f_frsize,
                  static_cast<unsigned long long>(disk.f_bfree) * disk.f_frsize,
                  static_cast<unsigned long long>(disk.f_bavail) * disk.f_frsize);
    report += text;
  } else {
    report += "  Unable to determine!\n";
  }
  report += "recserver v2.5.9\n";
  std::set<std::string> objects;
  ::dl_iterate_phdr(CollectObject, &objects);
  for (const char* ours : {"archsvc.so", "audiosrc.so", "audenc.so", "gpiolink.so", "ftpxfer.so",
                           "traceprov.so", "diaglog.so"}) {
    std::string found = "not loaded";
    for (const std::string& path : objects) {
      if (path.size() >= std::string(ours).size() &&
          path.compare(path.size() - std::string(ours).size(), std::string::npos, ours) == 0) {
        found = path;
      }
    }
    report += std::string(ours) + " " + found + "\n";
  }
  struct Library {
    const char* name;
    const char* soname;
    const char* function;
  };
  for (const Library& library : {Library{"LAME", "libmp3lame.so.0", "get_lame_version"},
                                 Library{"SQLite", "libsqlite3.so.0", "sqlite3_libversion"},
                                 Library{"ALSA", "libasound.so.2", "snd_asoundlib_version"},
                                 Library{"libcurl", "libcurl.so.4", "curl_version"}}) {
    std::string version = CallVersion(library.soname, library.function);
    if (version.empty()) {
      for (const std::string& path : objects) {
        if (path.find(library.soname) != std::string::npos) version = RealName(path);
      }
    }
    report += std::string(library.name) + " " + (version.empty() ? "not loaded" : version) + "\n";
  }
  return report;
}

}  // namespace logrum::server
