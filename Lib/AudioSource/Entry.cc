// The library's only export. The manager is built on the first call and destroyed with
// the library (a static object of this module), stopping every capture thread.
#include <exception>
#include <memory>

#include "Lib/AudioSource/AudioSourceManager.h"
#include "Lib/AudioSource/AudioTrace.h"
#include "Lib/Platform/Export.h"

namespace {

logrum::audio::CAudioSourceManager* Instance() {
  static logrum::audio::AudioSourceManager manager;
  return &manager;
}

}  // namespace

LOGRUM_EXPORT logrum::audio::CAudioSourceManager* _6A7B31() {
  try {
    return Instance();
  } catch (const std::exception& e) {
    AUDIO_TRACE(logrum::audio::AudioUnit::kEvents,
                "audiosrc: cannot create the audio source manager: %s\n", e.what());
  } catch (...) {
    AUDIO_TRACE(logrum::audio::AudioUnit::kEvents,
                "audiosrc: cannot create the audio source manager\n");
  }
  return nullptr;
}
