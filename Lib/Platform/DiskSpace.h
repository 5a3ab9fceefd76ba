// Free space of the file system that holds a folder.
//
// The recycler keeps a minimum of free space on the archive's disk; the disk is
// whatever mount holds the archive folder, so the folder itself is asked
// (statvfs), never a guessed root. Tests pass a fake to reach the low-space
// rules without filling a disk.
//
// Thread safety: implementations may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace logrum::platform {

class DiskSpace {
 public:
  virtual ~DiskSpace() = default;
  // Bytes available to an unprivileged writer on the file system of `folder`.
  // false (and *bytes untouched) when the folder cannot be asked.
  virtual bool FreeBytes(const std::string& folder, uint64_t* bytes) = 0;
};

// statvfs: f_bavail x f_frsize. A process-wide object, never deleted.
DiskSpace& RealDiskSpace();

}  // namespace logrum::platform
