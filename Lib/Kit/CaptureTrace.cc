// The audio capture library's channels for the kit's units. They are static
// objects so that they register while the library is loaded, before any kit
// object of the library can trace; this file is linked only into programs that
// use CaptureTraceRoute().
#include <cstdio>

#include "Lib/Diagnostics/Trace.h"
#include "Lib/Kit/KitTrace.h"

namespace logrum::kit {
namespace {

diag::TraceChannel g_thread_channel(diag::kModuleAudioSource,
                                    static_cast<uint16_t>(TraceUnit::kThread));
diag::TraceChannel g_source_channel(diag::kModuleAudioSource,
                                    static_cast<uint16_t>(TraceUnit::kEventSource));
diag::TraceChannel g_reset_channel(diag::kModuleAudioSource,
                                   static_cast<uint16_t>(TraceUnit::kBlockReset));
diag::TraceChannel g_pool_channel(diag::kModuleAudioSource,
                                  static_cast<uint16_t>(TraceUnit::kPoolObject));

const diag::TraceChannel& ChannelOf(TraceUnit unit) {
  switch (unit) {
    case TraceUnit::kThread:
      return g_thread_channel;
    case TraceUnit::kEventSource:
      return g_source_channel;
    case TraceUnit::kBlockReset:
      return g_reset_channel;
    case TraceUnit::kPoolObject:
      break;
  }
  return g_pool_channel;
}

class CaptureRoute final : public TraceRoute {
 public:
  bool IsLineEnabled(TraceUnit unit, int source_line) const override {
    return ChannelOf(unit).IsLineEnabled(source_line);
  }
  void WriteV(TraceUnit unit, int source_line, const char* format, va_list args) const override {
    // The channel takes a format and values; the kit hands it the finished line.
    char line[1056];
    std::vsnprintf(line, sizeof line, format, args);
    ChannelOf(unit).Print(source_line, "%s", line);
  }
  void AssertFailed(TraceUnit unit, int source_line) const override {
    ChannelOf(unit).AssertFailed(source_line);
  }
};

}  // namespace

const TraceRoute& CaptureTraceRoute() {
  static const CaptureRoute route;
  return route;
}

}  // namespace logrum::kit
