#include "Lib/Platform/ArchiveAttribute.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

namespace logrum::platform {
namespace {

constexpr char kAttributeName[] = "user.logrum2.backup";

bool Stat(const std::string& path, std::string* record) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  char text[64];
  const long long mtime_ns =
      static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
  std::snprintf(text, sizeof text, "%lld %lld", static_cast<long long>(info.st_size), mtime_ns);
  *record = text;
  return true;
}

std::string SideFile(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, name) + "." + path.substr(name) + ".backup";
}

bool NoExtendedAttributes(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

// The stored record; empty when there is none.
std::string ReadRecord(const std::string& path) {
  char value[64];
  const ssize_t n = ::getxattr(path.c_str(), kAttributeName, value, sizeof value);
  if (n >= 0) return std::string(value, static_cast<size_t>(n));
  if (!NoExtendedAttributes(errno)) return {};
  std::ifstream in(SideFile(path));
  std::string record;
  std::getline(in, record);
  return record;
}

}  // namespace

bool HasArchiveAttribute(const std::string& path) {
  // The scanner asks for every file of the archive at each open: a file that
  // was never backed up answers with this one look.
  char value[64];
  if (::getxattr(path.c_str(), kAttributeName, value, sizeof value) < 0 && errno == ENODATA) {
    return true;
  }
  const std::string record = ReadRecord(path);
  std::string now;
  if (!Stat(path, &now)) return false;
  return record != now;
}

bool SetArchiveAttribute(const std::string& path) {
  std::string now;
  if (!Stat(path, &now)) return false;
  if (::removexattr(path.c_str(), kAttributeName) != 0 && NoExtendedAttributes(errno)) {
    ::unlink(SideFile(path).c_str());
  }
  return HasArchiveAttribute(path);
}

bool ClearArchiveAttribute(const std::string& path) {
  std::string now;
  if (!Stat(path, &now)) return false;
  if (::setxattr(path.c_str(), kAttributeName, now.data(), now.size(), 0) == 0) return true;
  if (!NoExtendedAttributes(errno)) return false;
  std::ofstream out(SideFile(path), std::ios::trunc);
  out << now << '\n';
  return static_cast<bool>(out.flush());
}

}  // namespace logrum::platform
