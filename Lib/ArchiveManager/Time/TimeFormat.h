// Time text: the strftime-like formatter of the archive, with its zone letter.
//
// Conversions: %% %Y %y %m %d %H %M %S %I %p %A %a %B %b %w, %z ("D"/"S"),
// %Z ("Daylight Savings Time"/"Standard Time"), %e (6-character compact code),
// %x = "%Y.%m.%d-%H:%M:%S-%z", %X = "%a-%Y.%m.%d-%H:%M:%S-%z",
// %C = "%a %b %d %H:%M:%S %Y", %c = %C followed by a newline.
// %U, %W and %j are not supported and fail the whole call; any other "%c"
// pair is copied as it stands.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "Lib/ArchiveManager/Time/ZoneTime.h"

namespace logrum::archive {

// Writes the text and a NUL into buffer. Returns the number of characters
// written (without the NUL), or -1 when the text needs more than size - 1
// characters or the pattern cannot be formatted; buffer then holds "" (if size > 0).
int Format(const CZoneTime& time, const char* pattern, char* buffer, size_t size);

// The same into a string, without a length limit. false: the pattern cannot be formatted.
bool FormatTime(const CZoneTime& time, std::string_view pattern, std::string* out);

// The 64-character alphabet of the %e compact code.
inline constexpr char kCompactAlphabet[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz@#";

}  // namespace logrum::archive
