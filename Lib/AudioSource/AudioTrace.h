// The audio capture library's trace lines: one trace channel per unit (module
// kModuleAudioSource), and a tap through which tests read the lines.
//
// Thread safety: any thread. SetTraceTap is for tests and must not race with tracing.
#pragma once

#include <cstdint>

namespace logrum::audio {

enum class AudioUnit : uint16_t {
  kManager = 2,    // CAudioSourceManager and DumpDeviceInfo
  kFeed = 3,       // CAudioFeedThread, CAudioSourceThread, SplitBlock
  kSinks = 4,      // CAudioSinkManager
  kWaveIn = 5,     // WaveInSource
  kPerBlock = 6,   // the feed thread's lines for every block
  kEvents = 7,     // what happened to a device: failures, recoveries, overruns, bad
                   // definitions; every line begins with "audiosrc: "
};

bool TraceWanted(AudioUnit unit, int source_line);
void TraceLine(AudioUnit unit, int source_line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void TraceAssertFailed(AudioUnit unit, int source_line);

// Test hook: every line of every unit also goes to `tap` while it is set.
using TraceTap = void (*)(void* context, const char* line);
void SetTraceTap(TraceTap tap, void* context);

// Trace lines print addresses in hexadecimal, as wide as the platform's pointers.
inline unsigned long Addr(const void* p) { return reinterpret_cast<unsigned long>(p); }

}  // namespace logrum::audio

#define AUDIO_TRACE(unit, ...)                                                              \
  do {                                                                                      \
    if (::logrum::audio::TraceWanted(unit, __LINE__))                                       \
      ::logrum::audio::TraceLine(unit, __LINE__, __VA_ARGS__);                              \
  } while (0)

#define AUDIO_ASSERT(unit, condition)                                                       \
  do {                                                                                      \
    if (!(condition)) ::logrum::audio::TraceAssertFailed(unit, __LINE__);                   \
  } while (0)
