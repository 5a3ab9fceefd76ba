// The process clock: local time, real-time ticks, and waiting for a moment.
//
// Two time lines are kept apart on purpose:
//  - NowUs() is the wall clock that recordings, schedules and ages follow. It can
//    be shifted and accelerated for the whole process (LOGRUM2_CLOCK), or set by
//    hand in unit tests (ManualClock), so that hours of recording run in minutes.
//  - TickMs() is real elapsed time, for time-outs (network idle, handshakes,
//    window timers). It is never shifted or accelerated.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "Lib/Platform/Status.h"

namespace logrum::platform {

class Clock {
 public:
  virtual ~Clock() = default;

  // Microseconds since 1970-01-01 00:00:00 UTC on this clock's time line.
  virtual int64_t NowUs() const = 0;

  // Milliseconds of real time from an arbitrary origin; monotonic.
  virtual uint64_t TickMs() const = 0;

  // Blocks until NowUs() >= unix_us. Returns false, early, once `stop` is requested.
  virtual bool WaitUntil(int64_t unix_us, std::stop_token stop) = 0;
};

// The clock of the process. The first call reads LOGRUM2_CLOCK (see
// ParseClockSpec); a malformed value is reported as a warning (DebugOutput.h) and
// ignored.
Clock& DefaultClock();

// Replaces the process clock (tests). Returns the previous one; pass it back
// to restore. The caller keeps ownership and must outlive the replacement.
// Tests use ScopedDefaultClock instead, so a failed assertion cannot leave a
// dead clock installed for the next test.
Clock* SetDefaultClock(Clock* clock);

// Installs `clock` as the process clock for the lifetime of this object and
// puts the previous one back when it ends.
class ScopedDefaultClock {
 public:
  explicit ScopedDefaultClock(Clock& clock) : previous_(SetDefaultClock(&clock)) {}
  ~ScopedDefaultClock() { SetDefaultClock(previous_); }
  ScopedDefaultClock(const ScopedDefaultClock&) = delete;
  ScopedDefaultClock& operator=(const ScopedDefaultClock&) = delete;

 private:
  Clock* previous_;
};

// LOGRUM2_CLOCK="start=YYYY-MM-DDTHH:MM:SS,speed=N", both parts optional.
// start is local time of the active zone; speed is a positive number.
struct ClockSpec {
  bool has_start = false;
  int64_t start_unix_us = 0;  // the start moment as UTC microseconds
  double speed = 1.0;
};
// Fills *spec; a malformed spec leaves it as it was and the Status says what is wrong.
Status ParseClockSpec(std::string_view text, ClockSpec* spec);

// Real time, optionally shifted to start at spec.start and run spec.speed times faster.
class ScaledClock : public Clock {
 public:
  explicit ScaledClock(const ClockSpec& spec);
  int64_t NowUs() const override;
  uint64_t TickMs() const override;
  bool WaitUntil(int64_t unix_us, std::stop_token stop) override;

 private:
  int64_t origin_real_us_;     // steady clock at construction
  int64_t origin_virtual_us_;  // clock reading at construction
  double speed_;
};

// A clock that moves only when told to (unit tests). Ticks and wall time move together.
class ManualClock : public Clock {
 public:
  explicit ManualClock(int64_t unix_us = 0, uint64_t tick_ms = 0);
  int64_t NowUs() const override;
  uint64_t TickMs() const override;
  bool WaitUntil(int64_t unix_us, std::stop_token stop) override;

  void SetUs(int64_t unix_us);      // wall clock only (a clock step); ticks stay
  void AdvanceUs(int64_t delta_us);  // wall clock and ticks together

 private:
  mutable std::mutex mutex_;
  std::condition_variable_any changed_;
  int64_t now_us_;
  uint64_t tick_us_;
};

// Local calendar time of the active zone (TZ) for a UTC instant.
struct LocalTime {
  int year = 0, month = 0, day = 0;  // month 1-12, day 1-31
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int weekday = 0;  // 0 = Sunday
  bool daylight = false;
};
LocalTime ToLocalTime(int64_t unix_us);

// The UTC second of a local calendar time of the active zone (the reverse of
// ToLocalTime, to the second). Fields past their range roll over, so day 32 is
// the first of the next month. `daylight` settles an hour that occurs twice:
// 1 daylight, 0 standard, -1 as the zone's rules say. Empty when the time
// cannot be represented.
std::optional<int64_t> LocalToUnixSeconds(int year, int month, int day, int hour, int minute,
                                          int second, int daylight = -1);

// Local time now on the process clock.
inline LocalTime LocalNow() { return ToLocalTime(DefaultClock().NowUs()); }

}  // namespace logrum::platform
