// The About window's system report, written for Linux: processor, kernel and
// distribution, the disk space of the state folder, and the versions of the
// libraries the process has loaded (ours and LAME, SQLite, ALSA, libcurl).
//
// Thread safety: reads the system each call; any thread.
#pragma once

#include <string>

namespace logrum::server {

std::string SystemReport(const std::string& state_folder);

}  // namespace logrum::server
