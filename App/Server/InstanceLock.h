// The single-instance rule of the server program: a lock file "<name>.lock" in
// the state folder, locked (an open-file-description write lock) for as long
// as the instance runs and holding its process id. The kernel drops the lock
// when the process ends in any way, so a crashed server never blocks the next
// start; the file itself stays.
//
// Thread safety: one object per process, used on the UI thread.
#pragma once

#include <sys/types.h>

#include <string>

#include "Lib/Platform/Status.h"
#include "Lib/Platform/UniqueFd.h"

namespace logrum::server {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();  // releases the lock
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock of `app_name` in `folder`. kBusy when another instance
  // holds it (other_pid() then names it, or 0 when unknown); any other error
  // names the file that cannot be opened or locked.
  platform::Status Acquire(const std::string& folder, const std::string& app_name);
  void Release();

  bool held() const { return fd_.valid(); }
  pid_t other_pid() const { return other_pid_; }
  const std::string& path() const { return path_; }

 private:
  platform::UniqueFd fd_;
  pid_t other_pid_ = 0;
  std::string path_;
};

}  // namespace logrum::server
