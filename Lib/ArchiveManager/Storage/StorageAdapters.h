// The small interfaces through which the parts of an archive's storage reach
// one another. No part calls another directly: each receives an adapter that
// the storage manager implements and forwards to the owner of the work.
//
//   SegmentFinished (SegmentFinished.h)  recording thread -> database, then backup queue
//   SegmentIndex                         file scanner -> segment database (six operations)
//   BackupQueue                          file scanner, segment-finished -> backup thread
//   FileEvents                           directory watcher -> file scanner (six operations)
//
// Thread safety: as the object each one forwards to (the database serialises
// its callers; the backup queue and the scanner take their own locks).
#pragma once

#include <cstdint>

#include "Lib/ArchiveManager/Time/ZoneTime.h"

namespace logrum::archive {

// The segment database as the file scanner sees it; slots in this order.
class SegmentIndex {
 public:
  virtual bool HasSegment(const CZoneTime& start) = 0;
  virtual bool AddSegment(const CZoneTime& start, uint32_t duration_ms, bool skim,
                          uint32_t size_bytes, const CZoneTime& end) = 0;
  virtual bool DeleteSegment(const CZoneTime& start) = 0;
  virtual bool BeginScan() = 0;
  virtual bool EndScan() = 0;
  virtual bool MarkScanned(const CZoneTime& start) = 0;

 protected:
  ~SegmentIndex() = default;
};

// Queues a finished segment (by its start time) for copying to the backup
// destinations.
class BackupQueue {
 public:
  virtual void EnqueueBackup(const CZoneTime& start) = 0;

 protected:
  ~BackupQueue() = default;
};

// What the directory watcher reports about the archive folder; slots in this
// order. Each returns false to end the watch.
class FileEvents {
 public:
  virtual bool OnAdded(const char* path) = 0;
  virtual bool OnRemoved(const char* path) = 0;
  virtual bool OnModified(const char* path) = 0;
  virtual bool OnRenamed(const char* old_path, const char* new_path) = 0;
  virtual bool OnOverflow() = 0;  // events were lost: scan everything
  virtual bool OnUnknown(uint32_t action) = 0;

 protected:
  ~FileEvents() = default;
};

}  // namespace logrum::archive

namespace logrum::archive {

// Groups the file scanner's many small index updates into transactions, so a
// scan of a year of segments does not pay one disk sync per file. Optional:
// a scanner without it updates row by row.
class IndexBatch {
 public:
  virtual bool BeginBatch() = 0;
  virtual bool CommitBatch() = 0;

 protected:
  ~IndexBatch() = default;
};

}  // namespace logrum::archive
