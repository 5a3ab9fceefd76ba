#include "Lib/ArchiveManager/Time/SegmentName.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <memory>
#include <utility>

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

// Splits a path at its last separator: (folder, name).
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const size_t slash = path.rfind(kPathSeparator);
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? std::string(1, kPathSeparator) : path.substr(0, slash),
          path.substr(slash + 1)};
}

// The file in the day folder whose name is `current`'s or `old`'s without
// regard to the case of A-Z (the current form first, the first in byte order
// among several); empty when there is none.
std::string FindIgnoringCase(const std::string& current, const std::string& old) {
  const auto [folder, current_name] = SplitPath(current);
  const std::string old_name = SplitPath(old).second;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return std::string();
  std::string best_current, best_old;
  while (const dirent* entry = ::readdir(dir.get())) {
    const char* name = entry->d_name;
    if (::strcasecmp(name, current_name.c_str()) == 0) {
      if (best_current.empty() || best_current > name) best_current = name;
    } else if (!old_name.empty() && ::strcasecmp(name, old_name.c_str()) == 0) {
      if (best_old.empty() || best_old > name) best_old = name;
    }
  }
  const std::string& best = best_current.empty() ? best_old : best_current;
  if (best.empty()) return std::string();
  return folder + kPathSeparator + best;
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
  // Names are read without regard to the case of the zone letter and the
  // extension ("-s", ".MP3"), so a file so named is found again the same way:
  // it can be played and recycled, and a new segment never takes its time.
  if (!current.empty()) {
    std::string other = FindIgnoringCase(current, old);
    if (!other.empty()) return other;
  }
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
