#include "Lib/Platform/DebugOutput.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace logrum::platform {

bool DebugOutputEnabled() {
  static const bool enabled = std::getenv("LOGRUM2_DEBUG") != nullptr;
  return enabled;
}

void DebugOutput(const char* text) {
  if (!DebugOutputEnabled() || text == nullptr) return;
  // One write() per line keeps lines from different threads whole.
  size_t length = std::strlen(text);
  while (length > 0) {
    ssize_t n = ::write(STDERR_FILENO, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

}  // namespace logrum::platform
