#include "Lib/Platform/ArchiveAttribute.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace logrum::platform {
namespace {

// "size:seconds.nanoseconds" of the modification time.
std::string Stamp(const struct stat& st) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%" PRIdMAX ":%" PRIdMAX ".%09ld",
                static_cast<intmax_t>(st.st_size), static_cast<intmax_t>(st.st_mtim.tv_sec),
                st.st_mtim.tv_nsec);
  return stamp;
}

}  // namespace

bool HasArchiveAttribute(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  char recorded[64];
  const ssize_t n = ::getxattr(path.c_str(), kArchiveAttributeName, recorded, sizeof recorded - 1);
  if (n < 0) return true;
  recorded[n] = '\0';
  return Stamp(st) != recorded;
}

bool SetArchiveAttribute(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  return ::removexattr(path.c_str(), kArchiveAttributeName) == 0 || errno == ENODATA ||
         errno == ENOTSUP;
}

bool ClearArchiveAttribute(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  const std::string stamp = Stamp(st);
  return ::setxattr(path.c_str(), kArchiveAttributeName, stamp.data(), stamp.size(), 0) == 0;
}

}  // namespace logrum::platform
