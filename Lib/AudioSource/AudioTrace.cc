#include "Lib/AudioSource/AudioTrace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "Lib/Diagnostics/Trace.h"

namespace logrum::audio {
namespace {

diag::TraceChannel g_manager(diag::kModuleAudioSource, static_cast<uint16_t>(AudioUnit::kManager));
diag::TraceChannel g_feed(diag::kModuleAudioSource, static_cast<uint16_t>(AudioUnit::kFeed));
diag::TraceChannel g_sinks(diag::kModuleAudioSource, static_cast<uint16_t>(AudioUnit::kSinks));
diag::TraceChannel g_wavein(diag::kModuleAudioSource, static_cast<uint16_t>(AudioUnit::kWaveIn));
diag::TraceChannel g_per_block(diag::kModuleAudioSource,
                               static_cast<uint16_t>(AudioUnit::kPerBlock));
diag::TraceChannel g_events(diag::kModuleAudioSource, static_cast<uint16_t>(AudioUnit::kEvents));

std::atomic<TraceTap> g_tap{nullptr};
std::atomic<void*> g_tap_context{nullptr};

const diag::TraceChannel& ChannelOf(AudioUnit unit) {
  switch (unit) {
    case AudioUnit::kManager: return g_manager;
    case AudioUnit::kFeed: return g_feed;
    case AudioUnit::kSinks: return g_sinks;
    case AudioUnit::kWaveIn: return g_wavein;
    case AudioUnit::kEvents: return g_events;
    case AudioUnit::kPerBlock: break;
  }
  return g_per_block;
}

}  // namespace

bool TraceWanted(AudioUnit unit, int source_line) {
  return g_tap.load(std::memory_order_relaxed) != nullptr ||
         ChannelOf(unit).IsLineEnabled(source_line);
}

void TraceLine(AudioUnit unit, int source_line, const char* format, ...) {
  char line[1056];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (TraceTap tap = g_tap.load(std::memory_order_acquire)) tap(g_tap_context.load(), line);
  ChannelOf(unit).Print(source_line, "%s", line);
}

void TraceAssertFailed(AudioUnit unit, int source_line) {
  if (TraceTap tap = g_tap.load(std::memory_order_acquire)) tap(g_tap_context.load(), "Assert failed!\n");
  ChannelOf(unit).AssertFailed(source_line);
}

void SetTraceTap(TraceTap tap, void* context) {
  g_tap_context.store(context);
  g_tap.store(tap, std::memory_order_release);
}

}  // namespace logrum::audio
