#include "Lib/ArchiveManager/Segment/SegmentRepair.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include "Lib/ArchiveManager/Segment/SegmentTrailer.h"
#include "Lib/Platform/UniqueFd.h"

namespace logrum::archive {
namespace {

// Frames whose headers give the bit rate of a block (see the header).
constexpr int kRateFrames = 4;

bool ReadAt(int fd, uint8_t* buffer, size_t length, off_t offset, size_t* got) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd, buffer + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  *got = done;
  return true;
}

bool WriteAt(int fd, const uint8_t* data, size_t length, off_t offset) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pwrite(fd, data + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

RepairResult Failed(RepairInfo* info, const std::string& what) {
  info->error = what + ": " + std::strerror(errno);
  return RepairResult::kFailed;
}

}  // namespace

RepairResult RepairSegment(const std::string& path, const CZoneTime& start,
                           std::string_view source_name, RepairInfo* info) {
  *info = RepairInfo{};
  // Read-only until there is something to write: closing a file opened for
  // writing is a change the directory watcher reports, and a file that is
  // busy or beyond repair must not look changed each time it is looked at.
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Failed(info, "cannot open " + path);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return RepairResult::kBusy;
    return Failed(info, "cannot lock " + path);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Failed(info, "cannot stat " + path);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  size_t got = 0;
  if (size >= kLocatorSize) {
    std::array<uint8_t, kLocatorSize> locator;
    if (!ReadAt(fd.get(), locator.data(), locator.size(), static_cast<off_t>(size - kLocatorSize),
                &got)) {
      return Failed(info, "cannot read " + path);
    }
    if (got == locator.size() && ReadLocator(locator) != TrailerForm::kNone) {
      return RepairResult::kHasTrailer;
    }
  }

  // Walk the frames through a window of large reads; only headers are looked at.
  constexpr size_t kChunk = 1 << 20;
  std::vector<uint8_t> window(kChunk);
  uint64_t window_start = 0;
  size_t window_bytes = 0;
  uint64_t offset = 0;    // start of the next frame
  uint64_t good_end = 0;  // end of the last whole frame that agrees with the first
  uint64_t frames = 0;
  kit::FrameHeader first;
  uint32_t rate_sum = 0;
  int rate_frames = 0;
  while (offset + 4 <= size) {
    if (offset < window_start || offset + 4 > window_start + window_bytes) {
      window_start = offset;
      if (!ReadAt(fd.get(), window.data(), window.size(), static_cast<off_t>(offset),
                  &window_bytes)) {
        return Failed(info, "cannot read " + path);
      }
      if (window_bytes < 4) break;
    }
    const size_t at = static_cast<size_t>(offset - window_start);
    kit::FrameHeader frame;
    if (!ParseFrameHeader(window.data() + at, window_bytes - at, &frame)) break;
    if (frames > 0 && (frame.samplerate != first.samplerate || frame.channels != first.channels)) {
      break;
    }
    if (offset + frame.frame_bytes > size) break;  // torn last frame
    if (frames == 0) first = frame;
    if (rate_frames < kRateFrames) {
      rate_sum += frame.bitrate;
      ++rate_frames;
    }
    ++frames;
    offset += frame.frame_bytes;
    good_end = offset;
  }
  if (rate_frames == 0) return RepairResult::kNoAudio;

  kit::AudioFormat format;
  format.samplerate = static_cast<uint16_t>(first.samplerate);
  format.channels = first.channels;
  const uint32_t mean = rate_sum / static_cast<uint32_t>(rate_frames);
  format.bitrate = static_cast<uint16_t>(mean);
  if (rate_sum % static_cast<uint32_t>(rate_frames) != 0 || !IsValidFormat(format)) {
    format.bitrate = static_cast<uint16_t>(first.bitrate);
  }
  const uint64_t block = BlockSize(format);
  if (block == 0) return RepairResult::kNoAudio;
  uint64_t keep = good_end - good_end % block;
  const uint64_t most = std::numeric_limits<uint32_t>::max() - kTrailerSize;
  if (keep > most) keep = most - most % block;
  if (keep == 0) return RepairResult::kNoAudio;

  SegmentTrailer trailer;
  trailer.source = std::string(source_name.substr(0, kSourceNameMax));
  trailer.size_bytes = static_cast<uint32_t>(keep);
  trailer.start_time = start.ToPacked();
  trailer.duration_ms = DurationMsOfBytes(format, keep);
  trailer.bitrate = format.bitrate;
  trailer.samplerate = format.samplerate;
  trailer.channels = format.channels;
  trailer.skim = '0';
  trailer.end_time = 0;
  std::array<uint8_t, kTrailerSize> image;
  EncodeTrailer(trailer, image);
  // The lock stays with the read-only descriptor while this one writes.
  platform::UniqueFd out(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (out.get() < 0) return Failed(info, "cannot open " + path + " for writing");
  if (::ftruncate(out.get(), static_cast<off_t>(keep)) != 0) return Failed(info, "cannot cut " + path);
  if (!WriteAt(out.get(), image.data(), image.size(), static_cast<off_t>(keep))) {
    return Failed(info, "cannot write the trailer of " + path);
  }
  if (::fdatasync(out.get()) != 0) return Failed(info, "cannot sync " + path);
  info->format = format;
  info->size_bytes = trailer.size_bytes;
  info->duration_ms = trailer.duration_ms;
  info->cut_bytes = size - keep;
  return RepairResult::kRepaired;
}

}  // namespace logrum::archive
