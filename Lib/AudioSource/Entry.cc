// The library's only export. The manager is built on the first call and destroyed with
// the library (a static object of this module), stopping every capture thread.
#include <cstdio>
#include <exception>
#include <memory>

#include "Lib/AudioSource/AudioSourceManager.h"
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
    std::fprintf(stderr, "audiosrc: cannot create the audio source manager: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "audiosrc: cannot create the audio source manager\n");
  }
  return nullptr;
}
