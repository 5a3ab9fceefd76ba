#include "Lib/Kit/KitTrace.h"

#include <sys/syscall.h>
#include <unistd.h>

#include "Lib/Diagnostics/Trace.h"
#include "Lib/Platform/DebugOutput.h"

namespace logrum::kit {

void TraceRoute::Write(TraceUnit unit, int source_line, const char* format, ...) const {
  if (!IsLineEnabled(unit, source_line)) return;
  va_list args;
  va_start(args, format);
  WriteV(unit, source_line, format, args);
  va_end(args);
}

unsigned CurrentThreadId() {
  return static_cast<unsigned>(::syscall(SYS_gettid));
}

namespace {

class DebugRoute final : public TraceRoute {
 public:
  bool IsLineEnabled(TraceUnit, int) const override { return platform::DebugOutputEnabled(); }
  void WriteV(TraceUnit, int, const char* format, va_list args) const override {
    diag::DebugTraceV(format, args);
  }
  void AssertFailed(TraceUnit, int) const override { diag::DebugTrace("Assert failed!\n"); }
};

}  // namespace

const TraceRoute& DebugTraceRoute() {
  static const DebugRoute route;
  return route;
}

}  // namespace logrum::kit
