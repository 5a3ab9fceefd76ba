#include "Lib/ArchiveManager/Segment/ArchiveFileWrite.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <limits>

#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/Diagnostics/Trace.h"

namespace logrum::archive {
namespace {

using platform::ErrnoStatus;
using platform::Status;

// Writes all of `length` bytes at the file offset; returns the bytes written
// and sets *error to errno when it stops short.
size_t WriteAll(int fd, const uint8_t* data, size_t length, int* error) {
  size_t done = 0;
  *error = 0;
  while (done < length) {
    ssize_t n = ::write(fd, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      break;
    }
    if (n == 0) {
      *error = EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

}  // namespace

CArchiveFileWrite::CArchiveFileWrite(std::string folder, std::string ext,
                                     std::string_view source_name)
    : folder_(std::move(folder)),
      ext_(std::move(ext)),
      source_name_(source_name.substr(0, kSourceNameMax)) {}

CArchiveFileWrite::~CArchiveFileWrite() {
  if (IsOpen() && !Close(CZoneTime()).ok()) CloseFd();
}

void CArchiveFileWrite::CloseFd() {
  if (fd_ >= 0) ::close(fd_);  // also releases the lock
  fd_ = -1;
  file_name_.clear();
  // A closed segment's bytes are counted by its index row from now on; the
  // used space (row totals + this count) must not hold them twice.
  byte_count_.store(0, std::memory_order_relaxed);
}

Status CArchiveFileWrite::Open(const CZoneTime& start, const kit::AudioFormat& format, bool skim) {
  if (IsOpen() && !Close(CZoneTime()).ok()) CloseFd();  // the old file's trailer is lost; go on
  name_taken_ = false;
  std::string path = FindSegmentFile(folder_, start, ext_);
  if (path.empty() || path.size() >= PATH_MAX) {
    return Status::Error(Status::kInvalidArgument,
                         "segment path for " + folder_ + " is empty or too long");
  }
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  if (ec) return ErrnoStatus(ec.value(), "cannot create the folder of " + path);
  // Never over an existing file: after the clock was set back, the name of a
  // new segment can be that of a recording made an hour ago.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int error = errno;
    name_taken_ = error == EEXIST;
    return name_taken_ ? Status::Error(Status::kBusy, path + " already exists")
                       : ErrnoStatus(error, "cannot create " + path);
  }
  // Readers wait for the trailer: they are refused while the segment is written.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return ErrnoStatus(error, "cannot lock " + path);
  }
  fd_ = fd;
  file_name_ = std::move(path);
  start_ = start;
  format_ = format;
  byte_count_.store(0, std::memory_order_relaxed);
  trailer_ = SegmentTrailer{};
  trailer_.kind = 1;
  trailer_.source = source_name_;
  trailer_.start_time = start.ToPacked();
  trailer_.bitrate = format.bitrate;
  trailer_.samplerate = format.samplerate;
  trailer_.channels = format.channels;
  trailer_.skim = skim ? '1' : '0';
  trailer_.version = kTrailerVersion;
  trailer_.magic = kTrailerMagic;
  trailer_.length = kTrailerSize;
  return Status::Ok();
}

Status CArchiveFileWrite::Write(const void* data, size_t length) {
  if (!IsOpen()) return Status::Error(Status::kInvalidArgument, "no segment file is open");
  const uint32_t count = byte_count_.load(std::memory_order_relaxed);
  if (length > std::numeric_limits<uint32_t>::max() - count) {
    diag::DebugTrace("CArchiveFileWrite::Write: WriteFile failed! cbData=%d\n",
                     static_cast<int>(length));
    return Status::Error(Status::kInvalidArgument, file_name_ + ": segment would exceed 4 GiB");
  }
  int error = 0;
  size_t written = WriteAll(fd_, static_cast<const uint8_t*>(data), length, &error);
  if (written != length) {
    if (written == 0) {
      diag::DebugTrace("CArchiveFileWrite::Write: WriteFile failed! cbData=%d\n",
                       static_cast<int>(length));
    } else {
      diag::DebugTrace("CArchiveFileWrite::Write: cbWritten!=cbData (%d!=%d)!\n",
                       static_cast<int>(written), static_cast<int>(length));
    }
    Status failed = ErrnoStatus(error, "cannot write " + file_name_);
    // Cut back to the last whole write, so the trailer's count stays true.
    if (::ftruncate(fd_, count) != 0 || ::lseek(fd_, count, SEEK_SET) < 0) {
      return Status::Error(failed.code(),
                           failed.message() + " (and the file could not be cut back)");
    }
    return failed;
  }
  byte_count_.store(count + static_cast<uint32_t>(length), std::memory_order_relaxed);
  return Status::Ok();
}

Status CArchiveFileWrite::Close(const CZoneTime& end) {
  if (!IsOpen()) return Status::Ok();
  const uint32_t count = byte_count_.load(std::memory_order_relaxed);
  trailer_.end_time = end.ToPacked();
  trailer_.size_bytes = count;
  trailer_.duration_ms = DurationMsOfBytes(format_, count);
  std::array<uint8_t, kTrailerSize> image;
  EncodeTrailer(trailer_, image);
  int error = 0;
  if (::lseek(fd_, count, SEEK_SET) < 0 ||
      WriteAll(fd_, image.data(), image.size(), &error) != image.size()) {
    Status failed = ErrnoStatus(error ? error : errno, "cannot write the trailer of " + file_name_);
    if (::ftruncate(fd_, count) != 0) {
      return Status::Error(failed.code(),
                           failed.message() + " (and the file could not be cut back)");
    }
    return failed;
  }
  if (::fdatasync(fd_) != 0) {
    diag::DebugTrace("CArchiveFileWrite::Close: %s\n",
                     ErrnoStatus(errno, "cannot sync " + file_name_).message().c_str());
  }
  CloseFd();
  return Status::Ok();
}

Status CArchiveFileWrite::Sync() {
  if (!IsOpen()) return Status::Ok();
  if (::fdatasync(fd_) != 0) return ErrnoStatus(errno, "cannot sync " + file_name_);
  return Status::Ok();
}

}  // namespace logrum::archive
