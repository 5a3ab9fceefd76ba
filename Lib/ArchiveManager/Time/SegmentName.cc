#include "Lib/ArchiveManager/Time/SegmentName.h"

#include <sys/stat.h>

#include "Lib/ArchiveManager/Time/TimeFormat.h"

namespace logrum::archive {
namespace {

constexpr size_t kMaxFormatted = 127;

std::string Compose(std::string_view folder, const CZoneTime& time, std::string_view ext,
                    const char* pattern) {
  std::string name;
  if (!folder.empty()) {
    name.append(folder);
    if (folder.back() != kPathSeparator) name.push_back(kPathSeparator);
  }
  char formatted[kMaxFormatted + 1];
  if (Format(time, pattern, formatted, sizeof formatted) < 0) return std::string();
  name.append(formatted);
  if (!ext.empty()) {
    if (ext.front() != '.') name.push_back('.');
    name.append(ext);
  }
  return name;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool Digits(std::string_view text, size_t pos, size_t count, int* value) {
  int result = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  *value = result;
  return true;
}

}  // namespace

std::string SegmentFileName(std::string_view folder, const CZoneTime& time, std::string_view ext) {
  return Compose(folder, time, ext, "%Y.%m.%d/%Y.%m.%d-%H.%M.%S-%z");
}

std::string OldSegmentFileName(std::string_view folder, const CZoneTime& time,
                               std::string_view ext) {
  return Compose(folder, time, ext, "%Y.%m.%d/%Y.%m.%d-%H.%M.%S");
}

std::string FindSegmentFile(std::string_view folder, const CZoneTime& time, std::string_view ext) {
  std::string current = SegmentFileName(folder, time, ext);
  if (Exists(current)) return current;
  std::string old = OldSegmentFileName(folder, time, ext);
  if (Exists(old)) return old;
  return current;
}

bool ParseSegmentName(std::string_view text, bool zone_required, CZoneTime* out) {
  // YYYY.MM.DD-hh.mm.ss[-Z]
  constexpr size_t kBaseLength = 19;
  if (text.size() != kBaseLength && text.size() != kBaseLength + 2) return false;
  if (zone_required && text.size() != kBaseLength + 2) return false;
  int year, month, day, hour, minute, second;
  if (!Digits(text, 0, 4, &year) || text[4] != '.' || !Digits(text, 5, 2, &month) ||
      text[7] != '.' || !Digits(text, 8, 2, &day) || text[10] != '-' ||
      !Digits(text, 11, 2, &hour) || text[13] != '.' || !Digits(text, 14, 2, &minute) ||
      text[16] != '.' || !Digits(text, 17, 2, &second)) {
    return false;
  }
  int daylight = -1;
  if (text.size() == kBaseLength + 2) {
    if (text[19] != '-') return false;
    switch (text[20]) {
      case 'D': case 'd': daylight = 1; break;
      case 'S': case 's': daylight = 0; break;
      default: return false;
    }
  }
  // Names are written with seconds and minutes below 60; the carry of the
  // construction must not let "05.06.75" stand for another moment.
  if (second > 59 || minute > 59 || hour > 23) return false;
  return out->Set(year, month, day, hour, minute, second, daylight);
}

}  // namespace logrum::archive
