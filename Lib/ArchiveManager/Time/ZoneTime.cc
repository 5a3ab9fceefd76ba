#include "Lib/ArchiveManager/Time/ZoneTime.h"

#include "Lib/Platform/Clock.h"
#include "Lib/Platform/TimeZone.h"

namespace logrum::archive {
namespace {

using platform::kTicksPerMinute;
using platform::kTicksPerSecond;

constexpr int kYearShift = 27, kMonthShift = 23, kDayShift = 18, kHourShift = 13,
              kMinuteShift = 7, kSecondShift = 1;
constexpr uint32_t kSignBit = 0x80000000u;

uint32_t Field(uint32_t word, int shift, uint32_t mask) { return (word >> shift) & mask; }

uint32_t WithField(uint32_t word, int shift, uint32_t mask, uint32_t value) {
  return (word & ~(mask << shift)) | ((value & mask) << shift);
}

// The base year is read from the process clock once, when the first time value
// needs it; tests set their clock before that moment.
int LoadBaseYear() { return platform::LocalNow().year; }

}  // namespace

int CZoneTime::BaseYear() {
  static const int base_year = LoadBaseYear();
  return base_year;
}

int CZoneTime::GetYear() const {
  int magnitude = static_cast<int>(Field(word_, kYearShift, 0xF));
  return BaseYear() + ((word_ & kSignBit) != 0 ? -magnitude : magnitude);
}
int CZoneTime::GetMonth() const { return static_cast<int>(Field(word_, kMonthShift, 0xF)); }
int CZoneTime::GetDay() const { return static_cast<int>(Field(word_, kDayShift, 0x1F)); }
int CZoneTime::GetHour() const { return static_cast<int>(Field(word_, kHourShift, 0x1F)); }
int CZoneTime::GetMinute() const { return static_cast<int>(Field(word_, kMinuteShift, 0x3F)); }
int CZoneTime::GetSecond() const { return static_cast<int>(Field(word_, kSecondShift, 0x3F)); }
bool CZoneTime::IsDaylight() const { return (word_ & 1u) != 0; }

bool CZoneTime::SetYear(int year) {
  int offset = year - BaseYear();
  if (offset < -15 || offset > 15) return false;
  uint32_t word = WithField(word_, kYearShift, 0xF, static_cast<uint32_t>(offset < 0 ? -offset : offset));
  word_ = offset < 0 ? (word | kSignBit) : (word & ~kSignBit);
  return true;
}
bool CZoneTime::SetMonth(int month) {
  if (month < 0 || month > 12) return false;
  word_ = WithField(word_, kMonthShift, 0xF, static_cast<uint32_t>(month));
  return true;
}
bool CZoneTime::SetDay(int day) {
  if (day < 0 || day > 31) return false;
  word_ = WithField(word_, kDayShift, 0x1F, static_cast<uint32_t>(day));
  return true;
}
bool CZoneTime::SetHour(int hour) {
  if (hour < 0 || hour > 23) return false;
  word_ = WithField(word_, kHourShift, 0x1F, static_cast<uint32_t>(hour));
  return true;
}
bool CZoneTime::SetMinute(int minute) {
  if (minute < 0 || minute > 59) return false;
  word_ = WithField(word_, kMinuteShift, 0x3F, static_cast<uint32_t>(minute));
  return true;
}
bool CZoneTime::SetSecond(int second) {
  if (second < 0 || second > 59) return false;
  word_ = WithField(word_, kSecondShift, 0x3F, static_cast<uint32_t>(second));
  return true;
}
bool CZoneTime::SetDaylight(bool daylight) {
  word_ = daylight ? (word_ | 1u) : (word_ & ~1u);
  return true;
}

bool CZoneTime::Set(int year, int month, int day, int hour, int minute, int second,
                    int daylight) {
  if (second < 0 || minute < 0 || hour < 0) return false;
  minute += second / 60;
  second %= 60;
  hour += minute / 60;
  minute %= 60;
  // A day the month does not have would index a segment at a moment that never was.
  if (month < 1 || month > 12 || day < 1 || day > platform::DaysInMonth(year, month)) return false;
  CZoneTime t;
  if (!t.SetYear(year) || !t.SetMonth(month) || !t.SetDay(day) || !t.SetHour(hour) ||
      !t.SetMinute(minute) || !t.SetSecond(second)) {
    return false;
  }
  if (daylight < 0) {
    const platform::TimeZoneRules& zone = platform::ActiveZone();
    int64_t standard = platform::CalendarToFileTime({year, month, day, hour, minute, second}) +
                       int64_t{zone.standard_bias} * kTicksPerMinute;
    t.SetDaylight(IsDaylightLinear(standard));
  } else {
    t.SetDaylight(daylight > 0);
  }
  *this = t;
  return true;
}

CZoneTime CZoneTime::Now() {
  platform::LocalTime now = platform::LocalNow();
  CZoneTime t;
  t.Set(now.year, now.month, now.day, now.hour, now.minute, now.second, now.daylight ? 1 : 0);
  return t;
}

uint64_t CZoneTime::ToPacked() const {
  if (IsNull()) return 0;
  return static_cast<uint64_t>(GetYear()) << 48 | static_cast<uint64_t>(GetMonth()) << 40 |
         static_cast<uint64_t>(GetDay()) << 32 | static_cast<uint64_t>(GetHour()) << 24 |
         static_cast<uint64_t>(GetMinute()) << 16 | static_cast<uint64_t>(GetSecond()) << 8 |
         (IsDaylight() ? 1u : 0u);
}

bool CZoneTime::FromPacked(uint64_t packed) {
  word_ = 0;
  if (packed == 0) return true;
  CZoneTime t;
  if (!t.SetYear(static_cast<int>(packed >> 48 & 0xFFFF)) ||
      !t.SetMonth(static_cast<int>(packed >> 40 & 0xFF)) ||
      !t.SetDay(static_cast<int>(packed >> 32 & 0xFF)) ||
      !t.SetHour(static_cast<int>(packed >> 24 & 0xFF)) ||
      !t.SetMinute(static_cast<int>(packed >> 16 & 0xFF)) ||
      !t.SetSecond(static_cast<int>(packed >> 8 & 0xFF))) {
    return false;
  }
  t.SetDaylight((packed & 0xFF) != 0);
  word_ = t.word_;
  return true;
}

bool CZoneTime::IsDaylightLinear(int64_t ticks) {
  const platform::TimeZoneRules& zone = platform::ActiveZone();
  if (!zone.HasRules()) return false;
  platform::CalendarTime c;
  if (!platform::FileTimeToCalendar(ticks, &c)) return false;
  // Index walks convert thousands of times of the same year in a row.
  thread_local const platform::TimeZoneRules* cached_zone = nullptr;
  thread_local int cached_year = 0;
  thread_local int64_t start = 0, end = 0;
  if (cached_zone != &zone || cached_year != c.year) {
    start = platform::TransitionFileTime(zone.daylight_date, c.year);
    end = platform::TransitionFileTime(zone.standard_date, c.year) +
          int64_t{zone.daylight_bias} * kTicksPerMinute;
    cached_zone = &zone;
    cached_year = c.year;
  }
  if (start < end) return start <= ticks && ticks < end;
  return ticks >= start || ticks < end;  // daylight time spans the new year
}

int64_t CZoneTime::ToLinear() const {
  if (IsNull()) return 0;
  int64_t ticks = platform::CalendarToFileTime(
      {GetYear(), GetMonth(), GetDay(), GetHour(), GetMinute(), GetSecond()});
  const platform::TimeZoneRules& zone = platform::ActiveZone();
  if (zone.HasRules()) {
    ticks += int64_t{IsDaylight() ? zone.daylight_bias : zone.standard_bias} * kTicksPerMinute;
  }
  return ticks;
}

bool CZoneTime::FromLinear(int64_t ticks) {
  if (ticks == 0) {
    word_ = 0;
    return true;
  }
  bool daylight = IsDaylight();
  const platform::TimeZoneRules& zone = platform::ActiveZone();
  if (zone.HasRules()) {
    daylight = IsDaylightLinear(ticks);
    ticks -= int64_t{daylight ? zone.daylight_bias : zone.standard_bias} * kTicksPerMinute;
  }
  platform::CalendarTime c;
  if (!platform::FileTimeToCalendar(ticks, &c)) return false;
  CZoneTime t;
  if (!t.SetYear(c.year) || !t.SetMonth(c.month) || !t.SetDay(c.day) || !t.SetHour(c.hour) ||
      !t.SetMinute(c.minute) || !t.SetSecond(c.second)) {
    return false;
  }
  t.SetDaylight(daylight);
  word_ = t.word_;
  return true;
}

bool CZoneTime::AddSeconds(int64_t seconds) {
  if (IsNull()) return false;
  return FromLinear(ToLinear() + seconds * kTicksPerSecond);
}

int64_t CZoneTime::ToUnixSeconds() const {
  return platform::LocalToUnixSeconds(GetYear(), GetMonth(), GetDay(), GetHour(), GetMinute(),
                                      GetSecond(), IsDaylight() ? 1 : 0)
      .value_or(-1);
}

bool CZoneTime::FromUnixSeconds(int64_t seconds) {
  constexpr int64_t kMostSeconds = INT64_MAX / 1000000;  // what ToLocalTime can hold
  if (seconds > kMostSeconds || seconds < -kMostSeconds) return false;
  const platform::LocalTime local = platform::ToLocalTime(seconds * 1000000);
  return Set(local.year, local.month, local.day, local.hour, local.minute, local.second,
             local.daylight ? 1 : 0);
}

int CZoneTime::GetWeekday() const {
  int year = GetYear(), month = GetMonth(), day = GetDay();
  if (month < 1 || month > 12 || day < 1 || day > platform::DaysInMonth(year, month)) return 0;
  return platform::WeekdayOf(year, month, day) + 1;
}

}  // namespace logrum::archive
