// CZoneTime: local wall-clock time to the second with a daylight-saving flag.
//
// The archive names, indexes and compares segments by this value. In memory it
// is one 32-bit word:
//   bit 31     sign of the year offset from the base year (1 = negative)
//   bits 27-30 magnitude of the year offset
//   bits 23-26 month 1-12 (0 = the null time; the word 0 is the null time)
//   bits 18-22 day, bits 13-17 hour, bits 7-12 minute, bits 1-6 second
//   bit 0      daylight-saving flag
// The base year is the local calendar year on the process clock when the first
// time value is made (in practice while the library loads); years within 15 of
// it can be held.
//
// Two other forms travel outside the process:
//  - the 64-bit packed value (segment trailers): year<<48 | month<<40 | day<<32 |
//    hour<<24 | minute<<16 | second<<8 | daylight; numeric order = wall-clock order;
//  - linear time (database, wire): 100-ns ticks since 1601 on the zone's
//    standard-time scale, i.e. the wall-clock time as a file time plus the daylight
//    bias while the flag is set. All arithmetic goes through it, so the hour that
//    repeats when daylight time ends is still ordered by the flag.
//
// The zone's rules come from Lib/Platform/TimeZone.h (ActiveZone()).
//
// Thread safety: a value; distinct objects may be used from any thread.
#pragma once

#include <cstdint>

namespace logrum::archive {

class CZoneTime {
 public:
  CZoneTime() = default;
  explicit CZoneTime(uint32_t word) : word_(word) {}
  CZoneTime(const CZoneTime&) = default;
  CZoneTime& operator=(const CZoneTime&) = default;
  ~CZoneTime() = default;

  // Fields. The null time reads year = base year, month 0 and zero elsewhere.
  virtual int GetYear() const;
  virtual int GetMonth() const;
  virtual int GetDay() const;
  virtual int GetHour() const;
  virtual int GetMinute() const;
  virtual int GetSecond() const;
  virtual bool IsDaylight() const;
  // Each setter refuses a value out of range and then leaves the word unchanged:
  // year outside base year +-15, month above 12, day above 31, hour above 23,
  // minute or second above 59 (and any negative value).
  virtual bool SetYear(int year);
  virtual bool SetMonth(int month);
  virtual bool SetDay(int day);
  virtual bool SetHour(int hour);
  virtual bool SetMinute(int minute);
  virtual bool SetSecond(int second);
  virtual bool SetDaylight(bool daylight);

  // Construction from fields. Seconds of 60 or more carry into minutes, minutes
  // into hours (hours never carry into days). Fails, leaving the value unchanged,
  // on any field out of range, including a day that the month does not have.
  // daylight: -1 = the zone's rules decide (the time read as standard time),
  // 0 = standard time, positive = daylight time.
  bool Set(int year, int month, int day, int hour, int minute, int second, int daylight);
  static bool Make(int year, int month, int day, int hour, int minute, int second, int daylight,
                   CZoneTime* out) {
    return out->Set(year, month, day, hour, minute, second, daylight);
  }

  // The local time now on the process clock (Lib/Platform/Clock.h), ms dropped.
  static CZoneTime Now();

  uint32_t GetWord() const { return word_; }
  void SetWord(uint32_t word) { word_ = word; }
  bool IsNull() const { return GetMonth() == 0; }

  // The 64-bit packed value; 0 for the null time.
  uint64_t ToPacked() const;
  // Sets the fields through the setters; a value that does not fit gives the
  // null time (and false), the value 0 gives the null time (and true).
  bool FromPacked(uint64_t packed);
  static CZoneTime FromPacked64(uint64_t packed) {
    CZoneTime t;
    t.FromPacked(packed);
    return t;
  }

  // Linear time. The null time is 0 and 0 converts to the null time.
  int64_t ToLinear() const;
  // false when the ticks give a time that cannot be held (the value is unchanged).
  bool FromLinear(int64_t ticks);
  static CZoneTime FromLinear64(int64_t ticks) {
    CZoneTime t;
    t.FromLinear(ticks);
    return t;
  }

  // linear + seconds. false (value unchanged) when the result cannot be held.
  bool AddSeconds(int64_t seconds);
  // linear(a) - linear(b) in 100-ns ticks.
  static int64_t Difference(const CZoneTime& a, const CZoneTime& b) {
    return a.ToLinear() - b.ToLinear();
  }
  // All seven fields equal.
  static bool IsSame(const CZoneTime& a, const CZoneTime& b) { return a.word_ == b.word_; }
  bool operator==(const CZoneTime& other) const { return word_ == other.word_; }

  // Seconds since 1970 (UTC) through platform::LocalToUnixSeconds, with the
  // daylight flag as its hint; -1 when it cannot be converted.
  int64_t ToUnixSeconds() const;
  // Through platform::ToLocalTime; the flag follows its daylight result.
  bool FromUnixSeconds(int64_t seconds);

  // 1 = Sunday to 7 = Saturday; 0 for a date that does not exist.
  int GetWeekday() const;

  // Whether the zone's rules put a linear time into daylight time.
  static bool IsDaylightLinear(int64_t ticks);

  // The base year of the 32-bit word.
  static int BaseYear();

 private:
  uint32_t word_ = 0;
};

}  // namespace logrum::archive
