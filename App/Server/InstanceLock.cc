#include "App/Server/InstanceLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace logrum::server {

InstanceLock::~InstanceLock() { Release(); }

void InstanceLock::Release() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

InstanceLock::Result InstanceLock::Acquire(const std::string& folder, const std::string& app_name,
                                           std::string* error) {
  Release();
  other_pid_ = 0;
  path_ = folder + "/" + app_name + ".lock";
  int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error != nullptr) *error = path_ + ": " + std::strerror(errno);
    return Result::kError;
  }
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    int err = errno;
    if (err == EAGAIN || err == EACCES) {
      char text[32] = {};
      ssize_t n = pread(fd, text, sizeof text - 1, 0);
      if (n > 0) other_pid_ = static_cast<pid_t>(std::strtol(text, nullptr, 10));
      close(fd);
      return Result::kAlreadyRunning;
    }
    close(fd);
    if (error != nullptr) *error = path_ + ": " + std::strerror(err);
    return Result::kError;
  }
  // Our pid, for the message of the next instance that is refused.
  std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock is what counts; a missing pid only makes the message vaguer.
  }
  fd_ = fd;
  return Result::kAcquired;
}

}  // namespace logrum::server
