// Loading and saving an archive's schedule in its Schedule key:
// EventCount, then "Desc%3.3d" (string) and "Data%3.3d" (binary, 12 bytes)
// for n = 1 ... EventCount.
//
// Thread safety: none (UI thread).
#pragma once

#include <string_view>

#include "App/Server/Schedule.h"
#include "Lib/Platform/Registry.h"

namespace logrum::server {

// Clears the schedule and loads the key. An event whose description or record
// is missing is skipped. A missing key leaves the schedule empty and returns
// false. EventCount is trusted only as far as the key holds values.
bool LoadSchedule(platform::Registry* store, std::string_view key_path, Schedule* schedule);

// Writes the events numbered from 1 in list order and EventCount; values left
// from a longer schedule are deleted. False when the store fails.
bool SaveSchedule(platform::Registry* store, std::string_view key_path, const Schedule& schedule);
// The same inside a transaction the caller runs.
platform::Status SaveScheduleIn(platform::RegistryTxn& txn, std::string_view key_path,
                                   const Schedule& schedule);

}  // namespace logrum::server
