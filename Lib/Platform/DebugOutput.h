// The platform's debugger output: developer lines that nobody sees unless asked for.
// On Linux they go to standard error while LOGRUM2_DEBUG is set (read once), else nowhere.
// Thread safety: any thread; one call writes one whole line.
#pragma once

namespace logrum::platform {

bool DebugOutputEnabled();
void DebugOutput(const char* text);

}  // namespace logrum::platform
