#include "Lib/Platform/Status.h"

#include <cerrno>
#include <cstring>

namespace logrum::platform {

Status::Code CodeOfErrno(int error) {
  switch (error) {
    case 0:
      return Status::kOk;
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
      return Status::kNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return Status::kAccessDenied;
    case EINVAL:
    case ENAMETOOLONG:
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
    case EISDIR:
      return Status::kInvalidArgument;
    case EBUSY:
    case EADDRINUSE:
    case EAGAIN:
    case ETXTBSY:
      return Status::kBusy;
    default:
      return Status::kIoError;
  }
}

Status ErrnoStatus(int error, const std::string& what) {
  if (error == 0) return Status::Error(Status::kIoError, what);
  return Status::Error(CodeOfErrno(error), what + ": " + std::strerror(error));
}

}  // namespace logrum::platform
