// A file descriptor owned by one scope or object: closed when the owner goes,
// so that no early return can leak it.
//
// close() is never retried: on Linux the descriptor is gone even when close
// fails (EINTR included), and a second close could hit a descriptor another
// thread has just been given. errno is kept across the close, so a caller
// that reads errno after a failed call on the same path still sees that
// call's reason.
//
// Thread safety: a plain value; one owner at a time.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace logrum::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Close(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Gives the descriptor up without closing it; -1 is left behind.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }

  // Closes the descriptor held (if any) and takes `fd` (default: none).
  void reset(int fd = -1) {
    if (fd == fd_) return;
    Close();
    fd_ = fd;
  }

 private:
  void Close() {
    if (fd_ < 0) return;
    int saved = errno;
    ::close(fd_);
    errno = saved;
    fd_ = -1;
  }

  int fd_ = -1;
};

}  // namespace logrum::platform
