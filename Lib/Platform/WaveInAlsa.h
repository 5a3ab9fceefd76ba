// ALSA capture devices.
//
// Every capture device of every card is offered, named "CARD: DEVICE" after the card's
// and the device's names, and opened through the plug layer ("plughw:C,D"), so that
// ALSA converts the card's native format to interleaved signed 16-bit at the rate asked
// for. Overruns are recovered: the stream is restarted, and the frames lost (those in
// the ring when it overflowed plus the time until the restart) are reported.
#pragma once

#include <memory>
#include <string>

#include "Lib/Platform/WaveIn.h"
#include "Lib/Platform/WaveInBackend.h"

namespace logrum::platform {

// Opens PCM `pcm_name` for capture. With `config_text` the PCM is looked up in that ALSA
// configuration (parsed in-program) instead of the system's: this is how tests run the
// backend against ALSA's file plugin on a machine without a sound card.
Status OpenAlsaStream(const std::string& pcm_name, const std::string& config_text,
                      const WaveFormat& format, std::unique_ptr<WaveInStream>* stream);

}  // namespace logrum::platform
