// diaglog.so: the entry point that hands out the process-wide trace file writer.
#include <climits>
#include <string>
#include <unistd.h>

#include "Lib/Diagnostics/DiagLog.h"
#include "Lib/Platform/Export.h"

namespace {

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace

LOGRUM_EXPORT logrum::diag::TraceLogWriter* _6A7B31() {
  try {
    // Built on the first call; destroyed, closing the file, when the library is unloaded.
    static logrum::diag::TraceLogFile writer(ExecutablePath());
    return &writer;
  } catch (...) {
    return nullptr;
  }
}
