#include "App/Server/InstanceLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace logrum::server {

InstanceLock::~InstanceLock() { Release(); }

void InstanceLock::Release() {
  fd_.reset();
}

namespace {

// kBusy is kept for "another instance runs"; a file that cannot be opened or
// locked for any other reason must not read as that.
platform::Status FileError(int error, const std::string& path) {
  platform::Status status = platform::ErrnoStatus(error, path);
  if (status.code() != platform::Status::kBusy) return status;
  return platform::Status::Error(platform::Status::kIoError, status.message());
}

}  // namespace

platform::Status InstanceLock::Acquire(const std::string& folder, const std::string& app_name) {
  Release();
  other_pid_ = 0;
  path_ = folder + "/" + app_name + ".lock";
  platform::UniqueFd fd(open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) return FileError(errno, path_);
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (fcntl(fd.get(), F_OFD_SETLK, &fl) != 0) {
    int err = errno;
    if (err == EAGAIN || err == EACCES) {
      char text[32] = {};
      ssize_t n = pread(fd.get(), text, sizeof text - 1, 0);
      if (n > 0) other_pid_ = static_cast<pid_t>(std::strtol(text, nullptr, 10));
      return platform::Status::Error(platform::Status::kBusy,
                                     path_ + ": another instance is running");
    }
    return FileError(err, path_);
  }
  // Our pid, for the message of the next instance that is refused.
  std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd.get(), 0) != 0 ||
      pwrite(fd.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock is what counts; a missing pid only makes the message vaguer.
  }
  fd_ = std::move(fd);
  return platform::Status::Ok();
}

}  // namespace logrum::server
