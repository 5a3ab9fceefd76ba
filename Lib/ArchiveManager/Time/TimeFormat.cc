#include "Lib/ArchiveManager/Time/TimeFormat.h"

#include <cstdio>
#include <cstring>

namespace logrum::archive {
namespace {

constexpr const char* kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};
constexpr const char* kMonths[] = {"January", "February", "March",     "April",
                                   "May",     "June",     "July",      "August",
                                   "September", "October", "November", "December"};

void AppendNumber(std::string* out, int value, int width) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%0*d", width, value);
  out->append(digits);
}

std::string_view WeekdayName(int weekday) {
  if (weekday < 1 || weekday > 7) return "<invalid>";
  return kWeekdays[weekday - 1];
}

std::string_view MonthName(int month) {
  if (month < 1 || month > 12) return "<invalid>";
  return kMonths[month - 1];
}

bool AppendCompact(const CZoneTime& t, std::string* out) {
  int y = t.GetYear() - 1800;
  if (y < 0 || y > 511) return false;
  unsigned ym = static_cast<unsigned>(y) << 4 | static_cast<unsigned>(t.GetMonth());
  unsigned codes[6] = {
      static_cast<unsigned>(y) >> 3,
      (ym >> 1) & 63,
      (static_cast<unsigned>(t.GetDay()) | ym << 5) & 63,
      static_cast<unsigned>(t.GetHour()) + (t.IsDaylight() ? 32u : 0u),
      static_cast<unsigned>(t.GetMinute()),
      static_cast<unsigned>(t.GetSecond()),
  };
  for (unsigned code : codes) out->push_back(kCompactAlphabet[code & 63]);
  return true;
}

bool Append(const CZoneTime& t, std::string_view pattern, std::string* out) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c != '%' || i + 1 == pattern.size()) {
      out->push_back(c);
      continue;
    }
    char conv = pattern[++i];
    switch (conv) {
      case '%': out->push_back('%'); break;
      case 'Y': AppendNumber(out, t.GetYear(), 4); break;
      case 'y': AppendNumber(out, ((t.GetYear() % 100) + 100) % 100, 2); break;
      case 'm': AppendNumber(out, t.GetMonth(), 2); break;
      case 'd': AppendNumber(out, t.GetDay(), 2); break;
      case 'H': AppendNumber(out, t.GetHour(), 2); break;
      case 'M': AppendNumber(out, t.GetMinute(), 2); break;
      case 'S': AppendNumber(out, t.GetSecond(), 2); break;
      case 'I': {
        int hour = t.GetHour() % 12;
        AppendNumber(out, hour == 0 ? 12 : hour, 2);
        break;
      }
      case 'p': out->append(t.GetHour() < 12 ? "AM" : "PM"); break;
      case 'A': out->append(WeekdayName(t.GetWeekday())); break;
      case 'a': out->append(WeekdayName(t.GetWeekday()).substr(0, 3)); break;
      case 'B': out->append(MonthName(t.GetMonth())); break;
      case 'b': out->append(MonthName(t.GetMonth()).substr(0, 3)); break;
      case 'w': AppendNumber(out, t.GetWeekday() - 1, 1); break;
      case 'z': out->push_back(t.IsDaylight() ? 'D' : 'S'); break;
      case 'Z': out->append(t.IsDaylight() ? "Daylight Savings Time" : "Standard Time"); break;
      case 'e':
        if (!AppendCompact(t, out)) return false;
        break;
      case 'x':
        if (!Append(t, "%Y.%m.%d-%H:%M:%S-%z", out)) return false;
        break;
      case 'X':
        if (!Append(t, "%a-%Y.%m.%d-%H:%M:%S-%z", out)) return false;
        break;
      case 'C':
        if (!Append(t, "%a %b %d %H:%M:%S %Y", out)) return false;
        break;
      case 'c':
        if (!Append(t, "%a %b %d %H:%M:%S %Y\n", out)) return false;
        break;
      case 'U':
      case 'W':
      case 'j':
        return false;
      default:
        out->push_back('%');
        out->push_back(conv);
        break;
    }
  }
  return true;
}

}  // namespace

bool FormatTime(const CZoneTime& time, std::string_view pattern, std::string* out) {
  std::string text;
  if (!Append(time, pattern, &text)) return false;
  *out = std::move(text);
  return true;
}

int Format(const CZoneTime& time, const char* pattern, char* buffer, size_t size) {
  if (size > 0) buffer[0] = '\0';
  std::string text;
  if (pattern == nullptr || !Append(time, pattern, &text) || size == 0 || text.size() > size - 1) {
    return -1;
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return static_cast<int>(text.size());
}

}  // namespace logrum::archive
