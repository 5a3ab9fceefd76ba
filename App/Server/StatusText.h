// The texts of an archive's status display.
//
// Thread safety: plain functions without state.
#pragma once

#include <cstdint>
#include <string>

namespace logrum::server {

// "%Y.%b.%d" of a time (seconds since 1970) in local time; "?" when it has none.
std::string DayText(int64_t seconds);

// "Scheduled, Active, skim ON", "Scheduled, Paused", "Active, skim OFF" or
// "Server active (not recording)".
std::string StateText(bool scheduled, bool record_enabled, int32_t record_to_disk, bool skim_on);

// "%.3f %s used of %.3f %s total", each figure in GB (x 0.001) above 1000000
// MB and in MB otherwise; empty when total is not above 0.
std::string DiskText(double used_mb, double total_mb);

// "%s - %s" of the first and last segment times (seconds since 1970), each
// as "%Y.%b.%d" in local time.
std::string AudioText(int64_t first_time, int64_t last_time);

}  // namespace logrum::server
