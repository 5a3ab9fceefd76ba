#include "Lib/Diagnostics/Trace.h"

#include <cstdio>

#include "Lib/Platform/DebugOutput.h"

namespace logrum::diag {

void DebugTraceV(const char* format, va_list args) {
  if (!platform::DebugOutputEnabled()) return;
  char buffer[1056];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  platform::DebugOutput(buffer);
}

void DebugTrace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  DebugTraceV(format, args);
  va_end(args);
}

// Until the trace provider binding exists every channel is the silent one.
namespace {
const volatile uint8_t kSilent = 0;
}

TraceChannel::TraceChannel(uint16_t module, uint16_t unit)
    : id_(static_cast<uint32_t>(module) << 16 | unit), enabled_(&kSilent) {}

bool TraceChannel::IsLineEnabled(int) const { return *enabled_ != 0; }

void TraceChannel::Print(int, const char*, ...) const {}

void TraceChannel::AssertFailed(int) const {}

}  // namespace logrum::diag
