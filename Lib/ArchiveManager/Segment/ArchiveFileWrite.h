// CArchiveFileWrite: writes one segment file at a time (see SegmentTrailer.h).
//
// Open creates FOLDER/<day folder>/<segment name> (day folder and parents made
// as needed) and holds an exclusive advisory lock (flock) on it until Close,
// so readers (CArchiveFileRead) are refused while the segment is written. An
// existing file of that name is never replaced or truncated: Open fails with
// kBusy ("... already exists"), NameTaken() says so, and the caller picks
// another start time.
// Write appends audio; Close appends the 109-byte trailer and syncs the file.
// A failed write leaves the file as it was before the call (cut back to the
// last whole write), so the audio bytes and the trailer's count always agree.
//
// Thread safety: one thread uses a writer; GetByteCount() may be read from any
// thread (a momentary value for display).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Lib/Kit/Layer3Format.h"
#include "Lib/ArchiveManager/Segment/SegmentTrailer.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Platform/Status.h"

namespace logrum::archive {

class CArchiveFileWrite {
 public:
  // source_name is cut to 32 characters.
  CArchiveFileWrite(std::string folder, std::string ext, std::string_view source_name);
  // Closes an open file with a null end time, so that it keeps its trailer.
  ~CArchiveFileWrite();
  CArchiveFileWrite(const CArchiveFileWrite&) = delete;
  CArchiveFileWrite& operator=(const CArchiveFileWrite&) = delete;

  // Closes any open file (null end time) and creates the file for `start`.
  // Fails when it cannot be created, also when a file of that name exists.
  platform::Status Open(const CZoneTime& start, const kit::AudioFormat& format, bool skim);
  // The last Open failed because a file of that name (FindSegmentFile) exists.
  bool NameTaken() const { return name_taken_; }
  // Appends audio. On failure writes a trace line; the file and the byte count
  // are as before the call.
  platform::Status Write(const void* data, size_t length);
  // Writes the trailer (end time, byte count, duration of the byte count) and
  // closes. No open file: ok. A failed trailer write leaves the file open as it
  // was, so Close may be tried again. The segment is complete once its trailer
  // is written: a failed sync after that is only traced.
  platform::Status Close(const CZoneTime& end);
  // Makes the written audio durable (fdatasync); ok when no file is open.
  platform::Status Sync();

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& GetFileName() const { return file_name_; }  // empty when none is open
  // Audio bytes of the open file; 0 once it is closed.
  uint32_t GetByteCount() const { return byte_count_.load(std::memory_order_relaxed); }
  const CZoneTime& GetStartTime() const { return start_; }
  const kit::AudioFormat& GetFormat() const { return format_; }
  bool IsSkim() const { return trailer_.IsSkim(); }
  const std::string& GetSourceName() const { return source_name_; }

 private:
  void CloseFd();

  const std::string folder_;
  const std::string ext_;
  const std::string source_name_;
  int fd_ = -1;
  std::string file_name_;
  CZoneTime start_;
  kit::AudioFormat format_;
  std::atomic<uint32_t> byte_count_{0};
  SegmentTrailer trailer_;
  bool name_taken_ = false;
};

}  // namespace logrum::archive
