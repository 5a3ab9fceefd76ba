#include "Tools/logrum-client/Export.h"

#include <algorithm>

namespace logrum::client {
namespace {

constexpr int64_t kTicksPerMs = 10000;

}  // namespace

ExportPlan PlanExport(std::vector<protocol::IndexItem> items, int64_t from, int64_t to) {
  std::sort(items.begin(), items.end(),
            [](const protocol::IndexItem& a, const protocol::IndexItem& b) {
              return a.start_time < b.start_time;
            });
  ExportPlan plan;
  const int64_t tolerance = kGapToleranceMs * kTicksPerMs;
  int64_t cursor = from;  // how far the range is covered
  int64_t gaps_ms = 0;
  for (const protocol::IndexItem& item : items) {
    const int64_t start = item.start_time;
    const int64_t end = start + int64_t{item.duration_ms} * kTicksPerMs;
    if (end <= cursor || start >= to) continue;
    int64_t begin = std::max(start, from);
    // A segment that reaches far back over the one before (the clock was set
    // back) adds only what lies after it; a small overlap is rounding.
    if (cursor - begin > tolerance) begin = cursor;
    if (begin - cursor > tolerance) {
      plan.gaps.push_back({cursor, begin});
      gaps_ms += (begin - cursor) / kTicksPerMs;
    }
    const int64_t stop = std::min(end, to);
    cursor = std::max(cursor, stop);
    ExportPiece piece;
    piece.segment_start = start;
    piece.offset_ms = static_cast<uint32_t>((begin - start) / kTicksPerMs);
    piece.duration_ms = static_cast<uint32_t>((stop - begin) / kTicksPerMs + kGapToleranceMs);
    piece.target_ms = (cursor - from) / kTicksPerMs - gaps_ms;
    plan.pieces.push_back(piece);
  }
  if (plan.pieces.empty()) {
    plan.gaps.push_back({from, to});
    return plan;
  }
  if (to - cursor > tolerance) {
    plan.gaps.push_back({cursor, to});
    plan.total_ms = (cursor - from) / kTicksPerMs - gaps_ms;
  } else {
    plan.total_ms = (to - from) / kTicksPerMs - gaps_ms;
  }
  plan.pieces.back().target_ms = plan.total_ms;
  return plan;
}

}  // namespace logrum::client
