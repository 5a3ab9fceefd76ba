// Where the recording thread reports each finished segment.
//
// The storage manager implements it: the segment goes into the segment
// database (add or update by start time) and then into the backup queue.
// A report is made once per closed segment, also when its trailer could not
// be written; `end` is the null time when the segment was closed by the
// encoder or by the stop of recording rather than by the next segment.
//
// Thread safety: called on the recording thread only.
#pragma once

#include <cstdint>

#include "Lib/ArchiveManager/Time/ZoneTime.h"

namespace logrum::archive {

class SegmentFinished {
 public:
  virtual void OnSegmentFinished(const CZoneTime& start, uint32_t duration_ms, bool skim,
                                 uint32_t size_bytes, const CZoneTime& end) = 0;

 protected:
  ~SegmentFinished() = default;
};

}  // namespace logrum::archive
