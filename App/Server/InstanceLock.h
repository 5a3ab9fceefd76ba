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

namespace logrum::server {

class InstanceLock {
 public:
  enum class Result { kAcquired, kAlreadyRunning, kError };

  InstanceLock() = default;
  ~InstanceLock();  // releases the lock
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock of `app_name` in `folder`. kAlreadyRunning when another
  // instance holds it (other_pid() then names it, or 0 when unknown);
  // kError with *error naming the file when it cannot be opened.
  Result Acquire(const std::string& folder, const std::string& app_name, std::string* error);
  void Release();

  bool held() const { return fd_ >= 0; }
  pid_t other_pid() const { return other_pid_; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  pid_t other_pid_ = 0;
  std::string path_;
};

}  // namespace logrum::server
