#include "App/Server/StatusText.h"

#include <time.h>

#include <cstdio>

namespace logrum::server {

std::string DayText(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm local;
  char buffer[64];
  if (localtime_r(&t, &local) == nullptr || strftime(buffer, sizeof buffer, "%Y.%b.%d", &local) == 0) {
    return "?";
  }
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
