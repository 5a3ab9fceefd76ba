// The per-archive settings that the server program hands to an archive.
//
// The server program implements this interface (App/Server/ArchiveOptions*),
// and the archive service reads it while it opens an archive. The object stays
// the server program's: the archive never deletes it and copies what it keeps,
// and the object outlives the open archive.
//
// Binary contract: the virtual functions below are declared in their fixed
// slot order and that order is part of the interface between the libraries;
// never reorder, overload or add default arguments. New slots go nowhere:
// this table is complete. Getters take no argument and never throw.
//
// Integers are 32-bit; where the archive uses only part of a value the note
// says so. Strings are NUL-terminated and owned by the options object; the
// pointer stays valid until the object is changed or destroyed.
//
// Thread safety: the archive calls the getters from its own thread while the
// server program leaves the object unchanged (it edits options only of
// archives that are not open).
#pragma once

#include <cstdint>

namespace logrum {

class ArchiveOptions {
 public:
  virtual int32_t GetRecSampleRate() = 0;        // 1: capture rate, Hz (low 16 bits)
  virtual int32_t GetRecChannels() = 0;          // 2: capture channels (low 8 bits)
  virtual int32_t GetLiveBitrateK() = 0;         // 3: kbit/s; 0 = no live encoder
  virtual int32_t GetLiveSampleRate() = 0;       // 4: Hz (low 16 bits)
  virtual int32_t GetLiveChannels() = 0;         // 5: (low 8 bits)
  virtual int32_t GetOnBitrateK() = 0;           // 6: while the skim switch is on
  virtual int32_t GetOnSampleRate() = 0;         // 7
  virtual int32_t GetOnChannels() = 0;           // 8
  virtual int32_t GetOffBitrateK() = 0;          // 9: while off, and in continuous mode
  virtual int32_t GetOffSampleRate() = 0;        // 10
  virtual int32_t GetOffChannels() = 0;          // 11
  virtual int32_t GetPreDelay() = 0;             // 12: ms
  virtual int32_t GetPostDelay() = 0;            // 13: ms
  virtual int32_t GetServerPort() = 0;           // 14: not used per archive
  virtual int32_t GetLiveBlockDuration() = 0;    // 15: ms
  virtual int32_t GetLoggerBlockDuration() = 0;  // 16: not read by the archive
  virtual int32_t GetDiskSpaceToUseKB() = 0;     // 17: quota, KB of 1000 bytes
  virtual int32_t GetMaxDays() = 0;              // 18: age limit in days; 0 keeps all
  virtual int32_t GetEraseBehavior() = 0;        // 19: 1 = erasing allowed, else 0
  virtual int32_t GetRecyclePeriodMsec() = 0;    // 20: ms
  virtual int32_t GetRecordMode() = 0;           // 21: 0 continuous, 1 skim, 2 smart skim
  virtual int32_t GetRecordToDisk() = 0;         // 22: 0 or 1
  virtual const char* GetLogPath() = 0;          // 23: folder of the log files
  virtual const char* GetLogPrefix() = 0;        // 24: prefix of log file names
  virtual const char* GetArchivePath() = 0;      // 25: folder of the archive
  virtual const char* GetArchiveExt() = 0;       // 26: segment file extension, ".mp3"
  virtual const char* GetSourceName() = 0;       // 27: audio source; "<none>" records nothing
  virtual const char* GetBackupString() = 0;     // 28: backup destinations, "|"-separated
  virtual const char* GetSkimSource() = 0;       // 29: not read by the archive
  virtual int32_t GetMaxTimeAdjustSec() = 0;     // 30: s
  virtual int32_t GetSegmentSizeMinutes() = 0;   // 31: minutes
  virtual int32_t GetSegmentAlign() = 0;         // 32: non-zero = align; -1 when unset
  virtual ~ArchiveOptions() = default;           // 33: never called by the archive
};

}  // namespace logrum
