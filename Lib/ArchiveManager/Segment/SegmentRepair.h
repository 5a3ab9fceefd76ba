// Repair of a segment file cut while it was recorded (crash, power loss, kill).
//
// Such a file holds whole layer 3 frames, perhaps a torn last frame (or zeros
// the file system allocated but never filled), and no trailer. Nothing of the
// trailer is lost that the file cannot tell again:
//   - the start time is in the file's name (the caller parses it),
//   - the format is in the frame headers: sample rate and channels from the
//     first, the bit rate as the mean of the first four (the odd rates 12, 14,
//     18 and 20 kbit/s are blocks of frames of alternating standard rates),
//   - the audio size is what is left after cutting back to the last whole
//     block of whole frames that agree with the first.
// The skim flag is not recorded anywhere else and is written as "0"; the end
// time is the null time, as for a segment closed without a successor.
//
// The repair takes the segment write lock (an exclusive flock, which the
// recorder holds while it writes), so a file that is still being written is
// never touched. It cuts first and then appends the trailer and syncs; an
// interruption between the two leaves a shorter cut file, repaired again the
// next time.
//
// Thread safety: plain functions over the file system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Lib/Kit/Layer3Format.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"

namespace logrum::archive {

enum class RepairResult {
  kRepaired,    // cut back, trailer written
  kHasTrailer,  // nothing to repair (finished meanwhile)
  kBusy,        // a writer holds the segment
  kNoAudio,     // no whole valid frame at its start: left as it is
  kFailed,      // an I/O error; see error
};

struct RepairInfo {
  kit::AudioFormat format;
  uint32_t size_bytes = 0;   // audio kept
  uint32_t duration_ms = 0;
  uint64_t cut_bytes = 0;    // bytes removed from the end
  std::string error;
};

// Repairs the file at `path` whose name says it starts at `start`;
// source_name goes into the trailer (cut to 32 characters).
RepairResult RepairSegment(const std::string& path, const CZoneTime& start,
                           std::string_view source_name, RepairInfo* info);

}  // namespace logrum::archive
