#include "Lib/Platform/DiskSpace.h"

#include <sys/statvfs.h>

namespace logrum::platform {
namespace {

class StatvfsDiskSpace : public DiskSpace {
 public:
  bool FreeBytes(const std::string& folder, uint64_t* bytes) override {
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0) return false;
    *bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    return true;
  }
};

}  // namespace

DiskSpace& RealDiskSpace() {
  static StatvfsDiskSpace disk;
  return disk;
}

}  // namespace logrum::platform
