#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "Lib/ArchiveManager/Time/SegmentName.h"
#include "Lib/Diagnostics/Trace.h"

namespace logrum::archive {
namespace {

using platform::ErrnoStatus;
using platform::Status;

bool ReadAt(int fd, uint8_t* buffer, size_t length, off_t offset) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd, buffer + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The file name without folder and extension.
std::string Stem(const std::string& path, const std::string& ext) {
  size_t slash = path.rfind(kPathSeparator);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string dotted = ext.empty() || ext.front() == '.' ? ext : "." + ext;
  if (!dotted.empty() && name.size() > dotted.size() &&
      strcasecmp(name.c_str() + name.size() - dotted.size(), dotted.c_str()) == 0) {
    return name.substr(0, name.size() - dotted.size());
  }
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

uint16_t To16(uint32_t value) { return value > 0xFFFF ? 0 : static_cast<uint16_t>(value); }

}  // namespace

CArchiveFileRead::CArchiveFileRead(std::string folder, std::string ext)
    : folder_(std::move(folder)), ext_(std::move(ext)) {}

CArchiveFileRead::~CArchiveFileRead() { Close(); }

void CArchiveFileRead::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  bytes_left_ = 0;
}

Status CArchiveFileRead::Fail(Status status) {
  Close();
  return status;
}

Status CArchiveFileRead::ReadTrailer(const std::string& path) {
  Close();
  path_ = path;
  trailer_ = SegmentTrailer{};
  start_ = CZoneTime();
  format_ = kit::AudioFormat{};
  audio_bytes_ = 0;
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return Fail(ErrnoStatus(errno, "cannot open " + path));
  if (::flock(fd_, LOCK_SH | LOCK_NB) != 0) {
    return Fail(errno == EWOULDBLOCK ? Status::Error(Status::kBusy, path + " is being written")
                                     : ErrnoStatus(errno, "cannot lock " + path));
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return Fail(ErrnoStatus(errno, "cannot stat " + path));
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  std::array<uint8_t, kTrailerSize> image;
  if (size < kLocatorSize ||
      !ReadAt(fd_, image.data() + kTrailerSize - kLocatorSize, kLocatorSize,
              static_cast<off_t>(size - kLocatorSize))) {
    return Fail(Status::Error(Status::kCorrupt, path + " has no trailer (cut short or damaged)"));
  }
  switch (ReadLocator(std::span<const uint8_t, kTrailerSize>(image).last<kLocatorSize>())) {
    case TrailerForm::kCurrent:
      if (size < kTrailerSize ||
          !ReadAt(fd_, image.data(), kTrailerSize, static_cast<off_t>(size - kTrailerSize)) ||
          !DecodeTrailer(image, &trailer_)) {
        return Fail(Status::Error(Status::kCorrupt, path + " has a damaged trailer"));
      }
      break;
    case TrailerForm::kOlder: {
      std::array<uint8_t, kOldTrailerSize> old;
      if (size < kOldTrailerSize ||
          !ReadAt(fd_, old.data(), kOldTrailerSize, static_cast<off_t>(size - kOldTrailerSize)) ||
          !DecodeOldTrailer(old, &trailer_)) {
        return Fail(Status::Error(Status::kCorrupt, path + " has a damaged trailer"));
      }
      break;
    }
    case TrailerForm::kNone:
      return Fail(Status::Error(Status::kCorrupt, path + " has no trailer (cut short or damaged)"));
  }
  audio_bytes_ = std::min<uint64_t>(trailer_.size_bytes, size - trailer_.length);
  format_.bitrate = To16(trailer_.bitrate);
  format_.samplerate = To16(trailer_.samplerate);
  format_.channels = trailer_.channels > 0xFF ? 0 : static_cast<uint8_t>(trailer_.channels);
  start_ = CZoneTime::FromPacked64(trailer_.start_time);
  bytes_left_ = audio_bytes_;
  if (::lseek(fd_, 0, SEEK_SET) < 0) {
    return Fail(Status::Error(Status::kIoError, "cannot seek in " + path));
  }
  return Status::Ok();
}

Status CArchiveFileRead::ReadInfo(const std::string& path) {
  Status read = ReadTrailer(path);
  if (!read.ok()) return read;
  Close();
  CZoneTime named;
  if (!ParseSegmentName(Stem(path, ext_), !trailer_.IsOlderForm(), &named)) {
    return Status::Error(Status::kInvalidArgument, path + " is not named as a segment");
  }
  if (!CZoneTime::IsSame(named, start_)) {
    diag::DebugTrace("WARNING: Different file times!  Updating time from file name!\n");
    start_ = named;
  }
  return Status::Ok();
}

Status CArchiveFileRead::OpenAt(const CZoneTime& start, uint32_t offset_ms, uint32_t length_ms) {
  Status read = ReadTrailer(FindSegmentFile(folder_, start, ext_));
  if (!read.ok()) return read;
  const uint64_t block = BlockSize(format_);
  if (block == 0) {
    return Fail(Status::Error(Status::kCorrupt, path_ + " has an audio format without blocks"));
  }
  const uint64_t position = BlocksBefore(format_, offset_ms) * block;
  if (position >= audio_bytes_) {
    return Fail(Status::Error(Status::kInvalidArgument, path_ + ": offset beyond the audio"));
  }
  if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0) {
    return Fail(ErrnoStatus(errno, "cannot seek in " + path_));
  }
  bytes_left_ = std::min(BlocksCovering(format_, length_ms) * block, audio_bytes_ - position);
  return Status::Ok();
}

size_t CArchiveFileRead::Read(void* buffer, size_t size) {
  if (fd_ < 0 || bytes_left_ == 0) return 0;
  size_t want = static_cast<size_t>(std::min<uint64_t>(size, bytes_left_));
  ssize_t n;
  do {
    n = ::read(fd_, buffer, want);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  bytes_left_ -= static_cast<uint64_t>(n);
  return static_cast<size_t>(n);
}

}  // namespace logrum::archive
