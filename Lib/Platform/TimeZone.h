// The rules of the active time zone, and the calendar arithmetic of file times.
//
// The archive engine orders wall-clock times by a "standard-time scale": the
// wall-clock time read as a file time (100-ns ticks since 1601-01-01), shifted
// by the daylight bias while daylight time is in force. For that it needs the
// zone's rules in the form bias / standard date / daylight date, which glibc
// does not expose. They are taken from the POSIX rule of the active zone: the
// TZ variable when it holds a rule, or the rule line that ends every zone file
// (TZif version 2 and later) for a zone name, /etc/localtime when TZ is unset.
//
// A zone name that names no zone file and is no valid rule is reported (the C
// library silently runs such a zone as UTC); the rules then say UTC, matching
// what localtime() does, and `known` is false with the reason in `error`.
//
// Thread safety: ActiveZone() may be called from any thread. ReloadActiveZone()
// is for start-up and tests: it must not run while other threads convert times.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Lib/Platform/Status.h"

namespace logrum::platform {

// 100-ns ticks per second and per minute.
inline constexpr int64_t kTicksPerSecond = 10'000'000;
inline constexpr int64_t kTicksPerMinute = 600'000'000;

// A moment of change between standard and daylight time, in one of the three
// forms of a POSIX rule. The time of day is the local time then in force.
struct ZoneTransition {
  enum class Kind : uint8_t { kMonthWeekDay, kJulianNoLeap, kDayOfYear };
  Kind kind = Kind::kMonthWeekDay;
  int month = 0;    // kMonthWeekDay: 1-12 (0: no transition)
  int week = 0;     // kMonthWeekDay: 1-4, 5 = the last such weekday of the month
  int weekday = 0;  // kMonthWeekDay: 0 = Sunday
  int day = 0;      // kJulianNoLeap: 1-365 (29 February never counted); kDayOfYear: 0-365
  int seconds = 2 * 3600;  // time of day in seconds; may be negative or beyond 24 h

  bool IsSet() const { return kind != Kind::kMonthWeekDay || month != 0; }
};

struct TimeZoneRules {
  // Biases in minutes, as the platform's zone information gives them:
  // UTC = local time + bias + (standard_bias or daylight_bias).
  int bias = 0;
  int standard_bias = 0;
  int daylight_bias = 0;
  ZoneTransition standard_date;  // daylight time ends (given in daylight time)
  ZoneTransition daylight_date;  // daylight time begins (given in standard time)

  std::string rule;    // the POSIX rule the fields come from ("UTC0" when none)
  std::string source;  // where the rule was found: "TZ", a zone file path, or "default"
  bool known = true;   // false: the zone could not be identified; the fields say UTC
  std::string error;   // why, when !known

  // Both dates present: the zone changes between standard and daylight time.
  bool HasRules() const { return standard_date.IsSet() && daylight_date.IsSet(); }
};

// Parses a POSIX TZ rule ("CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT", "<+03>-3").
// The Status says why when the text is no rule; *rules is then left as it was.
Status ParsePosixRule(std::string_view text, TimeZoneRules* rules);

// Reads the rule line at the end of a TZif zone file.
Status ReadZoneFileRule(const std::string& path, std::string* rule);

// The rules for a TZ value (nullptr: TZ unset), found as the C library finds
// the zone. Never fails: an unknown zone gives UTC rules with known = false.
TimeZoneRules LoadZoneRules(const char* tz);

// The rules of the process's zone, loaded once on first use; an unknown zone
// is reported once as a warning (DebugOutput.h).
const TimeZoneRules& ActiveZone();

// Re-reads TZ (and tzset()s the C library) after the environment changed.
const TimeZoneRules& ReloadActiveZone();

// Calendar arithmetic on file times (100-ns ticks since 1601-01-01 00:00:00),
// proleptic Gregorian, no time zone involved.
struct CalendarTime {
  int year = 1601, month = 1, day = 1;  // month 1-12, day 1-31
  int hour = 0, minute = 0, second = 0;
};
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);  // 0 for a month outside 1-12
// Days from 1601-01-01 to the date (the date need not be valid: it is normalised).
int64_t DaysFrom1601(int year, int month, int day);
// Ticks of a calendar time; fields are not checked (see DaysFrom1601).
int64_t CalendarToFileTime(const CalendarTime& time);
// The calendar time of a file time; false for a negative value.
bool FileTimeToCalendar(int64_t ticks, CalendarTime* time);
// 0 = Sunday.
int WeekdayOf(int year, int month, int day);
// The wall-clock moment of a transition in `year`, as a file time without bias.
int64_t TransitionFileTime(const ZoneTransition& transition, int year);

}  // namespace logrum::platform
