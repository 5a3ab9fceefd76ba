#include "Lib/Platform/Clock.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "Lib/Platform/DebugOutput.h"

namespace logrum::platform {
namespace {

int64_t SteadyUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t SystemUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Clock* MakeProcessClock() {
  ClockSpec spec;
  if (const char* text = std::getenv("LOGRUM2_CLOCK"); text != nullptr && *text != '\0') {
    if (Status status = ParseClockSpec(text, &spec); !status.ok()) {
      Warn("ignoring LOGRUM2_CLOCK=\"%s\": %s", text, status.message().c_str());
      spec = ClockSpec{};
    }
  }
  return new ScaledClock(spec);  // lives as long as the process
}

// The process clock stays reachable from its own static even while a test has
// replaced it, so it is neither lost nor reported as a leak.
Clock* ProcessClock() {
  static Clock* const clock = MakeProcessClock();
  return clock;
}

std::atomic<Clock*>& CurrentClock() {
  static std::atomic<Clock*> clock{ProcessClock()};
  return clock;
}

}  // namespace

Clock& DefaultClock() { return *CurrentClock().load(std::memory_order_acquire); }

Clock* SetDefaultClock(Clock* clock) {
  return CurrentClock().exchange(clock, std::memory_order_acq_rel);
}

Status ParseClockSpec(std::string_view text, ClockSpec* spec) {
  ClockSpec result;
  while (!text.empty()) {
    size_t comma = text.find(',');
    std::string_view part = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    size_t eq = part.find('=');
    if (eq == std::string_view::npos) {
      return Status::Error(Status::kInvalidArgument,
                           "expected NAME=VALUE, got \"" + std::string(part) + "\"");
    }
    std::string name(part.substr(0, eq));
    std::string value(part.substr(eq + 1));
    if (name == "start") {
      int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
      char tail = 0;
      if (std::sscanf(value.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour,
                      &minute, &second, &tail) != 6 ||
          month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
          second > 59) {
        return Status::Error(Status::kInvalidArgument,
                             "start must be YYYY-MM-DDTHH:MM:SS, got \"" + value + "\"");
      }
      const std::optional<int64_t> t = LocalToUnixSeconds(year, month, day, hour, minute, second);
      if (!t) {
        return Status::Error(Status::kInvalidArgument,
                             "start is not a representable local time: \"" + value + "\"");
      }
      result.has_start = true;
      result.start_unix_us = *t * 1000000;
    } else if (name == "speed") {
      char* end = nullptr;
      double speed = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(speed > 0) || speed > 1e6) {
        return Status::Error(Status::kInvalidArgument,
                             "speed must be a positive number, got \"" + value + "\"");
      }
      result.speed = speed;
    } else {
      return Status::Error(Status::kInvalidArgument,
                           "unknown part \"" + name + "\" (expected start or speed)");
    }
  }
  *spec = result;
  return Status::Ok();
}

ScaledClock::ScaledClock(const ClockSpec& spec)
    : origin_real_us_(SteadyUs()),
      origin_virtual_us_(spec.has_start ? spec.start_unix_us : SystemUs()),
      speed_(spec.speed) {}

int64_t ScaledClock::NowUs() const {
  if (speed_ == 1.0) {
    return origin_virtual_us_ + (SteadyUs() - origin_real_us_);
  }
  return origin_virtual_us_ + static_cast<int64_t>((SteadyUs() - origin_real_us_) * speed_);
}

uint64_t ScaledClock::TickMs() const { return static_cast<uint64_t>(SteadyUs() / 1000); }

bool ScaledClock::WaitUntil(int64_t unix_us, std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any cv;
  std::unique_lock lock(mutex);
  while (!stop.stop_requested()) {
    int64_t remaining = unix_us - NowUs();
    if (remaining <= 0) return true;
    auto real_wait = std::chrono::microseconds(static_cast<int64_t>(remaining / speed_) + 1);
    cv.wait_for(lock, stop, real_wait, [] { return false; });
  }
  return false;
}

ManualClock::ManualClock(int64_t unix_us, uint64_t tick_ms)
    : now_us_(unix_us), tick_us_(tick_ms * 1000) {}

int64_t ManualClock::NowUs() const {
  std::lock_guard lock(mutex_);
  return now_us_;
}

uint64_t ManualClock::TickMs() const {
  std::lock_guard lock(mutex_);
  return tick_us_ / 1000;
}

bool ManualClock::WaitUntil(int64_t unix_us, std::stop_token stop) {
  std::unique_lock lock(mutex_);
  return changed_.wait(lock, stop, [&] { return now_us_ >= unix_us; });
}

void ManualClock::SetUs(int64_t unix_us) {
  {
    std::lock_guard lock(mutex_);
    now_us_ = unix_us;
  }
  changed_.notify_all();
}

void ManualClock::AdvanceUs(int64_t delta_us) {
  {
    std::lock_guard lock(mutex_);
    now_us_ += delta_us;
    tick_us_ += static_cast<uint64_t>(delta_us);
  }
  changed_.notify_all();
}

LocalTime ToLocalTime(int64_t unix_us) {
  int64_t seconds = unix_us >= 0 ? unix_us / 1000000 : -((-unix_us + 999999) / 1000000);
  time_t t = static_cast<time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  LocalTime local;
  local.year = tm.tm_year + 1900;
  local.month = tm.tm_mon + 1;
  local.day = tm.tm_mday;
  local.hour = tm.tm_hour;
  local.minute = tm.tm_min;
  local.second = tm.tm_sec;
  local.millisecond = static_cast<int>((unix_us - seconds * 1000000) / 1000);
  local.weekday = tm.tm_wday;
  local.daylight = tm.tm_isdst > 0;
  return local;
}

std::optional<int64_t> LocalToUnixSeconds(int year, int month, int day, int hour, int minute,
                                          int second, int daylight) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = daylight;
  const time_t t = std::mktime(&tm);
  if (t == static_cast<time_t>(-1)) return std::nullopt;
  return static_cast<int64_t>(t);
}

}  // namespace logrum::platform
