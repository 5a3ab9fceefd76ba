#include "App/Server/StatusText.h"

#include <cstdint>
#include <cstdio>

#include "Lib/Platform/Clock.h"

namespace logrum::server {

std::string DayText(int64_t seconds) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  constexpr int64_t kMostSeconds = INT64_MAX / 1000000;  // what ToLocalTime can hold
  if (seconds > kMostSeconds || seconds < -kMostSeconds) return "?";
  const platform::LocalTime local = platform::ToLocalTime(seconds * 1000000);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%d.%s.%02d", local.year, kMonths[local.month - 1],
                local.day);
  return buffer;
}

std::string StateText(bool scheduled, bool record_enabled, int32_t record_to_disk, bool skim_on) {
  const char* skim = skim_on ? "ON" : "OFF";
  if (scheduled) {
    return record_enabled ? std::string("Scheduled, Active, skim ") + skim : "Scheduled, Paused";
  }
  return record_to_disk == 1 ? std::string("Active, skim ") + skim : "Server active (not recording)";
}

std::string DiskText(double used_mb, double total_mb) {
  if (!(total_mb > 0)) return "";
  auto scaled = [](double mb, const char** unit) {
    if (mb > 1000000) {
      *unit = "GB";
      return mb * 0.001;
    }
    *unit = "MB";
    return mb;
  };
  const char* used_unit;
  const char* total_unit;
  double used = scaled(used_mb, &used_unit);
  double total = scaled(total_mb, &total_unit);
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "%.3f %s used of %.3f %s total", used, used_unit, total,
                total_unit);
  return buffer;
}

std::string AudioText(int64_t first_time, int64_t last_time) {
  return DayText(first_time) + " - " + DayText(last_time);
}

}  // namespace logrum::server
