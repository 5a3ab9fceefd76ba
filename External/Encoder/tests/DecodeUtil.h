// Test helpers: decode layer 3 data with the real decoders and look at the PCM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Lib/Kit/Layer3Format.h"

namespace logrum::audenc::test {

enum class Decoder { kMpg123, kFfmpeg };
const char* DecoderName(Decoder decoder);

struct Decoded {
  bool ok = false;           // exit status 0 and nothing on the error output
  std::string errors;        // what the decoder said on its error output
  std::vector<int16_t> pcm;  // interleaved, the stream's own rate and channels
};

// Writes `data` to a temporary file and decodes it.
Decoded Decode(Decoder decoder, const std::vector<uint8_t>& data);

// Splits `data` into frames by their headers; false with *why when a frame is
// not a standard unpadded layer 3 frame of `format`'s block pattern.
bool CheckFrames(const std::vector<uint8_t>& data, const kit::AudioFormat& format, size_t* frames,
                 std::string* why);

// Interleaved 16-bit sine of `frames` frames at `rate`, `channels` channels.
std::vector<int16_t> Sine(double hz, uint32_t rate, uint32_t channels, size_t frames,
                          double amplitude = 12000.0, size_t first_frame = 0);

// Frequency of one channel of `pcm` from its zero crossings in [begin, end).
double ZeroCrossingHz(const std::vector<int16_t>& pcm, uint32_t channels, uint32_t rate,
                      size_t begin, size_t end);

// Phase lag in samples of one channel of `pcm` against sin(2π·hz·n/rate) over
// [begin, end), and the amplitude found there.
double LagSamples(const std::vector<int16_t>& pcm, uint32_t channels, uint32_t rate, double hz,
                  size_t begin, size_t end, double* amplitude);

}  // namespace logrum::audenc::test
