// Segment file names.
//
// A segment starting at local time t lives in the day folder of its start date:
//   FOLDER/2010.03.04/2010.03.04-05.06.07-S.mp3   (current name, zone letter S or D)
//   FOLDER/2010.03.04/2010.03.04-05.06.07.mp3     (older name, still found and read)
// Every component forms names the same way (FindSegmentFile), so a new file always
// gets the current name and an older file is still found under its own.
//
// Thread safety: pure functions; FindSegmentFile looks at the file system.
#pragma once

#include <string>
#include <string_view>

#include "Lib/ArchiveManager/Time/ZoneTime.h"

namespace logrum::archive {

// The platform's folder separator.
inline constexpr char kPathSeparator = '/';

// folder (a separator is added when it has none; an empty folder gives a
// relative name) + day folder + name + extension (a "." is added when it has none).
std::string SegmentFileName(std::string_view folder, const CZoneTime& time, std::string_view ext);
// The same without the zone letter.
std::string OldSegmentFileName(std::string_view folder, const CZoneTime& time,
                               std::string_view ext);
// The current name if that file exists; else the older name if that file exists;
// else a file of the day folder named as either of them without regard to the
// case of A-Z (a zone letter "s", an extension ".MP3": such names are read as
// segments, so they are found again the same way); else the current name.
std::string FindSegmentFile(std::string_view folder, const CZoneTime& time, std::string_view ext);

// Parses a file name without folder and extension: "YYYY.MM.DD-hh.mm.ss" followed
// by "-" and a zone letter (D, d, S, s), which may be left out unless
// zone_required. Without a letter the zone's rules decide the daylight flag.
// Nothing may follow. false (out unchanged) for anything else or a field out of range.
bool ParseSegmentName(std::string_view text, bool zone_required, CZoneTime* out);

}  // namespace logrum::archive
