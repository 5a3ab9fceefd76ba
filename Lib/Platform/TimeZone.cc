#include "Lib/Platform/TimeZone.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <vector>

#include "Lib/Platform/DebugOutput.h"

namespace logrum::platform {
namespace {

constexpr int64_t kTicksPerDay = 86400 * kTicksPerSecond;
constexpr int64_t kDays1601To1970 = 134774;

// Howard Hinnant's civil calendar algorithms, days relative to 1970-01-01.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(y + (m <= 2));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

// --- POSIX rule parsing --------------------------------------------------------

class RuleParser {
 public:
  explicit RuleParser(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ == text_.size(); }
  bool Peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
  bool Eat(char c) {
    if (!Peek(c)) return false;
    ++pos_;
    return true;
  }
  size_t pos() const { return pos_; }

  // A zone abbreviation: three or more letters, or anything between < and >.
  bool Name(std::string* name) {
    size_t start = pos_;
    if (Eat('<')) {
      while (pos_ < text_.size() && text_[pos_] != '>') ++pos_;
      if (!Eat('>')) return false;
      *name = std::string(text_.substr(start + 1, pos_ - start - 2));
      return name->size() >= 3;
    }
    while (pos_ < text_.size() && std::isalpha(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    *name = std::string(text_.substr(start, pos_ - start));
    return name->size() >= 3;
  }

  bool Number(int max_digits, int* value) {
    int digits = 0;
    int result = 0;
    while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
      if (++digits > max_digits) return false;
      result = result * 10 + (text_[pos_++] - '0');
    }
    *value = result;
    return digits > 0;
  }

  // [+-]hh[:mm[:ss]] as seconds.
  bool Offset(int max_hours, int* seconds) {
    int sign = 1;
    if (Eat('-')) {
      sign = -1;
    } else {
      Eat('+');
    }
    int h = 0, m = 0, s = 0;
    if (!Number(3, &h) || h > max_hours) return false;
    if (Eat(':')) {
      if (!Number(2, &m) || m > 59) return false;
      if (Eat(':') && (!Number(2, &s) || s > 59)) return false;
    }
    *seconds = sign * (h * 3600 + m * 60 + s);
    return true;
  }

  bool Transition(ZoneTransition* t) {
    *t = ZoneTransition{};
    if (Eat('M')) {
      t->kind = ZoneTransition::Kind::kMonthWeekDay;
      if (!Number(2, &t->month) || t->month < 1 || t->month > 12) return false;
      if (!Eat('.') || !Number(1, &t->week) || t->week < 1 || t->week > 5) return false;
      if (!Eat('.') || !Number(1, &t->weekday) || t->weekday > 6) return false;
    } else if (Eat('J')) {
      t->kind = ZoneTransition::Kind::kJulianNoLeap;
      if (!Number(3, &t->day) || t->day < 1 || t->day > 365) return false;
    } else {
      t->kind = ZoneTransition::Kind::kDayOfYear;
      if (!Number(3, &t->day) || t->day > 365) return false;
    }
    if (Eat('/') && !Offset(167, &t->seconds)) return false;
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

int RoundToMinutes(int seconds) {
  return seconds >= 0 ? (seconds + 30) / 60 : -((-seconds + 30) / 60);
}

TimeZoneRules UtcRules(std::string source) {
  TimeZoneRules rules;
  rules.rule = "UTC0";
  rules.source = std::move(source);
  return rules;
}

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ZoneDir() {
  const char* dir = std::getenv("TZDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo";
}

TimeZoneRules RulesFromFile(const std::string& path) {
  TimeZoneRules rules;
  std::string rule;
  Status status = ReadZoneFileRule(path, &rule);
  if (status.ok()) status = ParsePosixRule(rule, &rules);
  if (!status.ok()) {
    TimeZoneRules utc = UtcRules(path);
    utc.known = false;
    utc.error = status.message();
    return utc;
  }
  rules.source = path;
  return rules;
}

std::mutex g_zone_mutex;
std::vector<std::unique_ptr<TimeZoneRules>>& ZoneHistory() {
  // Superseded rules stay alive: a reader may still hold a reference to them.
  static auto* history = new std::vector<std::unique_ptr<TimeZoneRules>>;
  return *history;
}
std::atomic<const TimeZoneRules*> g_active{nullptr};

const TimeZoneRules& InstallZone() {
  tzset();
  auto rules = std::make_unique<TimeZoneRules>(LoadZoneRules(std::getenv("TZ")));
  if (!rules->known) {
    Warn("unknown time zone (%s); local time follows UTC", rules->error.c_str());
  }
  const TimeZoneRules* installed = rules.get();
  ZoneHistory().push_back(std::move(rules));
  g_active.store(installed, std::memory_order_release);
  return *installed;
}

}  // namespace

Status ParsePosixRule(std::string_view text, TimeZoneRules* rules) {
  TimeZoneRules result;
  result.rule = std::string(text);
  result.source = "TZ";
  RuleParser p(text);
  std::string std_name, dst_name;
  int std_offset = 0;
  auto fail = [&](const char* what) {
    return Status::Error(Status::kInvalidArgument,
                         "\"" + std::string(text) + "\" is not a time zone rule (" + what +
                             " at position " + std::to_string(p.pos()) + ")");
  };
  if (!p.Name(&std_name)) return fail("standard time name expected");
  if (!p.Offset(24, &std_offset)) return fail("standard time offset expected");
  result.bias = RoundToMinutes(std_offset);
  if (!p.AtEnd()) {
    if (!p.Name(&dst_name)) return fail("daylight time name expected");
    int dst_offset = std_offset - 3600;
    if (!p.AtEnd() && !p.Peek(',') && !p.Offset(24, &dst_offset)) {
      return fail("daylight time offset expected");
    }
    result.daylight_bias = RoundToMinutes(dst_offset) - result.bias;
    if (p.AtEnd()) {
      // No dates given: the C library falls back to the United States rules.
      result.daylight_date = {ZoneTransition::Kind::kMonthWeekDay, 3, 2, 0, 0, 7200};
      result.standard_date = {ZoneTransition::Kind::kMonthWeekDay, 11, 1, 0, 0, 7200};
    } else {
      if (!p.Eat(',') || !p.Transition(&result.daylight_date)) {
        return fail("daylight time start expected");
      }
      if (!p.Eat(',') || !p.Transition(&result.standard_date)) {
        return fail("daylight time end expected");
      }
      if (!p.AtEnd()) return fail("end of rule expected");
    }
  }
  *rules = std::move(result);
  return Status::Ok();
}

Status ReadZoneFileRule(const std::string& path, std::string* rule) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return Status::Error(Status::kNotFound, "cannot read zone file " + path);
  }
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() < 5 || data.compare(0, 4, "TZif") != 0) {
    return Status::Error(Status::kCorrupt, path + " is not a zone file");
  }
  if (data[4] < '2') {
    return Status::Error(Status::kCorrupt,
                         "zone file " + path + " is of version 1 and holds no rule");
  }
  // The rule stands between the last two newlines of the file.
  if (data.back() != '\n') {
    return Status::Error(Status::kCorrupt, "zone file " + path + " does not end with a rule line");
  }
  size_t start = data.rfind('\n', data.size() - 2);
  if (start == std::string::npos) {
    return Status::Error(Status::kCorrupt, "zone file " + path + " does not end with a rule line");
  }
  *rule = data.substr(start + 1, data.size() - start - 2);
  if (rule->empty()) {
    return Status::Error(Status::kCorrupt, "zone file " + path + " has no rule for the present");
  }
  return Status::Ok();
}

TimeZoneRules LoadZoneRules(const char* tz) {
  if (tz == nullptr) {
    // No TZ: the system's zone; a system without one runs on UTC by design.
    if (!IsFile("/etc/localtime")) return UtcRules("default");
    return RulesFromFile("/etc/localtime");
  }
  std::string_view value(tz);
  if (value.empty()) return UtcRules("TZ");
  bool file_only = value.front() == ':';
  if (file_only) value.remove_prefix(1);
  std::string name(value);
  std::string path = !name.empty() && name.front() == '/' ? name : ZoneDir() + "/" + name;
  if (!name.empty() && IsFile(path)) return RulesFromFile(path);

  // A value that is no rule either is reported below as naming nothing.
  TimeZoneRules rules;
  if (!file_only && ParsePosixRule(name, &rules).ok()) return rules;
  TimeZoneRules utc = UtcRules("TZ");
  utc.known = false;
  utc.error = "TZ=\"" + std::string(tz) + "\" names no zone file under " + ZoneDir() +
              " and is no valid rule";
  return utc;
}

const TimeZoneRules& ActiveZone() {
  if (const TimeZoneRules* rules = g_active.load(std::memory_order_acquire)) return *rules;
  std::lock_guard lock(g_zone_mutex);
  if (const TimeZoneRules* rules = g_active.load(std::memory_order_acquire)) return *rules;
  return InstallZone();
}

const TimeZoneRules& ReloadActiveZone() {
  std::lock_guard lock(g_zone_mutex);
  return InstallZone();
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

int64_t DaysFrom1601(int year, int month, int day) {
  int64_t y = year;
  int64_t m = month - 1;
  y += m >= 0 ? m / 12 : (m - 11) / 12;
  m = ((m % 12) + 12) % 12;
  return DaysFromCivil(y, static_cast<unsigned>(m + 1), 1) + (day - 1) + kDays1601To1970;
}

int64_t CalendarToFileTime(const CalendarTime& t) {
  int64_t days = DaysFrom1601(t.year, t.month, t.day);
  int64_t seconds = days * 86400 + int64_t{t.hour} * 3600 + int64_t{t.minute} * 60 + t.second;
  return seconds * kTicksPerSecond;
}

bool FileTimeToCalendar(int64_t ticks, CalendarTime* t) {
  if (ticks < 0) return false;
  int64_t days = ticks / kTicksPerDay;
  int64_t rest = (ticks % kTicksPerDay) / kTicksPerSecond;
  CivilFromDays(days - kDays1601To1970, &t->year, &t->month, &t->day);
  t->hour = static_cast<int>(rest / 3600);
  t->minute = static_cast<int>(rest / 60 % 60);
  t->second = static_cast<int>(rest % 60);
  return true;
}

int WeekdayOf(int year, int month, int day) {
  // 1601-01-01 was a Monday.
  int64_t days = DaysFrom1601(year, month, day);
  return static_cast<int>(((days + 1) % 7 + 7) % 7);
}

int64_t TransitionFileTime(const ZoneTransition& t, int year) {
  int64_t day = 0;
  switch (t.kind) {
    case ZoneTransition::Kind::kMonthWeekDay: {
      int first = WeekdayOf(year, t.month, 1);
      int dom = 1 + (t.weekday - first + 7) % 7 + (t.week - 1) * 7;
      while (dom > DaysInMonth(year, t.month)) dom -= 7;
      day = DaysFrom1601(year, t.month, dom);
      break;
    }
    case ZoneTransition::Kind::kJulianNoLeap:
      day = DaysFrom1601(year, 1, 1) + t.day - 1 + (IsLeapYear(year) && t.day >= 60 ? 1 : 0);
      break;
    case ZoneTransition::Kind::kDayOfYear:
      day = DaysFrom1601(year, 1, 1) + t.day;
      break;
  }
  return day * kTicksPerDay + int64_t{t.seconds} * kTicksPerSecond;
}

}  // namespace logrum::platform
