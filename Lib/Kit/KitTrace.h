// Where the kit's class trace lines go.
//
// The kit is linked into the archive service and into the audio capture library.
// Both write the same lines from the same code; only the route differs:
//  - DebugTraceRoute(): the archive service's debug trace (logrum::diag::DebugTrace);
//  - CaptureTraceRoute(): the audio capture library's trace channels, one per unit,
//    module kModuleAudioSource, units as in TraceUnit below.
// Classes that trace take a `const TraceRoute&` (stored by pointer; routes are
// process-lifetime objects). Tests pass a recording route of their own.
//
// Thread safety: every operation may be called from any thread at once.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace logrum::kit {

// Unit numbers of the audio capture library's channels that the kit writes to.
enum class TraceUnit : uint16_t {
  kThread = 1,        // CAppThread
  kEventSource = 20,  // CEventSource
  kBlockReset = 26,   // MemBlock reset
  kPoolObject = 38,   // CPoolObject
};

class TraceRoute {
 public:
  virtual ~TraceRoute() = default;
  // Cheap test made before formatting a line.
  virtual bool IsLineEnabled(TraceUnit unit, int source_line) const = 0;
  // Writes one formatted line (the text carries its own line break).
  virtual void WriteV(TraceUnit unit, int source_line, const char* format, va_list args) const = 0;
  // A failed consistency check: writes "Assert failed!\n" when the route wants it.
  virtual void AssertFailed(TraceUnit unit, int source_line) const = 0;

  // Formats and writes the line if IsLineEnabled.
  void Write(TraceUnit unit, int source_line, const char* format, ...) const
      __attribute__((format(printf, 4, 5)));
};

// The archive service's route: every unit to the debug output.
const TraceRoute& DebugTraceRoute();
// The audio capture library's route: one trace channel per unit.
const TraceRoute& CaptureTraceRoute();

// The identifier of the calling thread as the trace lines show it (the kernel's
// thread id).
unsigned CurrentThreadId();

}  // namespace logrum::kit
