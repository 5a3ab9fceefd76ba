// CArchiveFileRead: reads a segment file's trailer and streams its audio.
//
// The file is opened read-only under a shared advisory lock (flock); a segment
// that is being written holds the exclusive lock, so reading it is refused
// until its writer closes it. The audio is never read past its end: the count
// of audio bytes is the trailer's, but at most what the file holds before the
// trailer, so a damaged count cannot hand out trailer bytes as audio.
//
// Thread safety: one thread uses a reader; make one per use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Lib/Kit/Layer3Format.h"
#include "Lib/ArchiveManager/Segment/SegmentTrailer.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Platform/Status.h"

namespace logrum::archive {

class CArchiveFileRead {
 public:
  CArchiveFileRead(std::string folder, std::string ext);
  ~CArchiveFileRead();
  CArchiveFileRead(const CArchiveFileRead&) = delete;
  CArchiveFileRead& operator=(const CArchiveFileRead&) = delete;

  // Opens the file and reads its trailer (either form; the older one converted).
  // On success the file stays open, positioned at the start of the audio.
  // A segment still being written is refused with kBusy ("... is being written").
  platform::Status ReadTrailer(const std::string& path);
  // ReadTrailer, close, then check the file's own name: it must parse as a
  // segment name (zone letter required for the current form). A name whose time
  // differs from the trailer's start wins (trace line "WARNING: Different file
  // times!  Updating time from file name!").
  platform::Status ReadInfo(const std::string& path);
  // Opens the segment that starts at `start` (FindSegmentFile under the folder)
  // and positions it offset_ms into the audio, by whole blocks; the bytes to
  // read cover length_ms (whole blocks), at most to the end of the audio. Fails
  // when the offset reaches or passes the end of the audio.
  platform::Status OpenAt(const CZoneTime& start, uint32_t offset_ms, uint32_t length_ms);
  // Reads at most min(size, bytes left) audio bytes; 0 at the end or on error.
  size_t Read(void* buffer, size_t size);
  void Close();

  bool IsOpen() const { return fd_ >= 0; }
  const SegmentTrailer& GetTrailer() const { return trailer_; }
  const CZoneTime& GetStartTime() const { return start_; }
  CZoneTime GetEndTime() const { return CZoneTime::FromPacked64(trailer_.end_time); }
  const kit::AudioFormat& GetFormat() const { return format_; }
  uint32_t GetDurationMs() const { return trailer_.duration_ms; }
  uint32_t GetSizeBytes() const { return trailer_.size_bytes; }
  bool IsSkim() const { return trailer_.IsSkim(); }
  // Audio bytes actually present before the trailer (see above).
  uint64_t GetAudioBytes() const { return audio_bytes_; }
  uint64_t GetBytesLeft() const { return bytes_left_; }
  const std::string& GetPath() const { return path_; }

 private:
  // Closes the file: a failed open leaves nothing half-read behind.
  platform::Status Fail(platform::Status status);

  const std::string folder_;
  const std::string ext_;
  int fd_ = -1;
  std::string path_;
  SegmentTrailer trailer_;
  CZoneTime start_;
  kit::AudioFormat format_;
  uint64_t audio_bytes_ = 0;
  uint64_t bytes_left_ = 0;
};

}  // namespace logrum::archive
