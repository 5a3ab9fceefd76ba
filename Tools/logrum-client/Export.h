// logrum-client export: the audio of an archive between two times as one
// MP3 file, over the ordinary protocol (the index, then each segment played
// with an offset and a duration).
//
// The segments' frames are copied as they are, never re-encoded, so the file
// is a plain sequence of whole MPEG frames. Where segments meet, the file
// keeps the running length on the requested range: each piece is cut (by
// whole blocks, which are whole frames at the usual bit rates) so that the
// audio written so far ends as close as possible to where that piece ends on
// the range, less the gaps. Starts in the index are whole seconds, so holes
// and overlaps of up to kGapToleranceMs between segments are how contiguous
// recording looks, not gaps.
//
// A gap (no segment for longer than kGapToleranceMs, also before the first
// and after the last segment of the range) is reported with its times; the
// export goes on across it.
//
// Thread safety: none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Lib/ArchiveManager/Protocol/ClientDec.h"

namespace logrum::client {

inline constexpr int64_t kGapToleranceMs = 1500;

// One segment's share of the range, in ms on the range's own scale (0 is FROM).
struct ExportPiece {
  int64_t segment_start = 0;  // linear time, as the index gave it
  uint32_t offset_ms = 0;     // into the segment
  uint32_t duration_ms = 0;   // asked for: the share and kGapToleranceMs more
  int64_t target_ms = 0;      // the length written once this piece is done
};

struct ExportGap {
  int64_t from = 0;  // linear times
  int64_t to = 0;
};

struct ExportPlan {
  std::vector<ExportPiece> pieces;
  std::vector<ExportGap> gaps;
  int64_t total_ms = 0;  // the range less its gaps: the length of the file
};

// Plans the export of [from, to) (linear times, from < to) from the index
// items of every segment that starts before `to` (any order).
ExportPlan PlanExport(std::vector<protocol::IndexItem> items, int64_t from, int64_t to);

}  // namespace logrum::client
