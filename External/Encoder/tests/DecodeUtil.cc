#include "External/Encoder/tests/DecodeUtil.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <numbers>

#include "tests/support/TempDir.h"

namespace logrum::audenc::test {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

const char* DecoderName(Decoder decoder) {
  return decoder == Decoder::kMpg123 ? "mpg123" : "ffmpeg";
}

Decoded Decode(Decoder decoder, const std::vector<uint8_t>& data) {
  Decoded result;
  const logrum::testing::TempDir dir("audenc-decode");
  const std::string in = dir.Sub("in.mp3");
  const std::string out = dir.Sub("out.raw");
  const std::string err = dir.Sub("err.txt");
  {
    std::ofstream file(in, std::ios::binary);
    file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  std::string command = decoder == Decoder::kMpg123
                            ? "mpg123 -q -s '" + in + "' > '" + out + "' 2> '" + err + "'"
                            : "ffmpeg -nostdin -v error -i '" + in + "' -f s16le -acodec pcm_s16le '" +
                                  out + "' 2> '" + err + "'";
  const int status = std::system(command.c_str());
  result.errors = ReadAll(err);
  const std::string raw = ReadAll(out);
  result.pcm.resize(raw.size() / 2);
  std::copy(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(result.pcm.size() * 2),
            reinterpret_cast<char*>(result.pcm.data()));
  result.ok = status == 0 && result.errors.empty();
  return result;
}

bool CheckFrames(const std::vector<uint8_t>& data, const kit::AudioFormat& format, size_t* frames,
                 std::string* why) {
  const std::vector<uint32_t> pattern = kit::FramePattern(format);
  *frames = 0;
  size_t pos = 0;
  while (pos < data.size()) {
    const uint32_t rate = pattern[*frames % pattern.size()];
    const uint32_t size = kit::StandardFrameBytes(rate, format.samplerate);
    if (data.size() - pos < 4) {
      *why = "trailing bytes";
      return false;
    }
    const uint8_t* h = data.data() + pos;
    const bool mono = (h[3] >> 6) == 3;
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || ((h[1] >> 1) & 3) != 1 ||
        (h[2] >> 4) != kit::BitrateIndex(rate, format.samplerate) || ((h[2] >> 1) & 1) != 0 ||
        mono != (format.channels == 1)) {
      *why = "frame " + std::to_string(*frames) + " at byte " + std::to_string(pos) +
             " is not an unpadded " + std::to_string(rate) + " kbit/s frame";
      return false;
    }
    if (data.size() - pos < size) {
      *why = "last frame cut";
      return false;
    }
    pos += size;
    ++*frames;
  }
  if (*frames % pattern.size() != 0) {
    *why = "stream ends inside a block";
    return false;
  }
  return true;
}

std::vector<int16_t> Sine(double hz, uint32_t rate, uint32_t channels, size_t frames,
                          double amplitude, size_t first_frame) {
  std::vector<int16_t> pcm(frames * channels);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(first_frame + i) / rate;
    const auto v = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * t)));
    for (uint32_t c = 0; c < channels; ++c) pcm[i * channels + c] = v;
  }
  return pcm;
}

double ZeroCrossingHz(const std::vector<int16_t>& pcm, uint32_t channels, uint32_t rate,
                      size_t begin, size_t end) {
  size_t first = 0, last = 0, count = 0;
  for (size_t i = begin + 1; i < end; ++i) {
    if (pcm[(i - 1) * channels] < 0 && pcm[i * channels] >= 0) {
      if (count == 0) first = i;
      last = i;
      ++count;
    }
  }
  if (count < 2) return 0;
  return static_cast<double>(count - 1) * rate / static_cast<double>(last - first);
}

double LagSamples(const std::vector<int16_t>& pcm, uint32_t channels, uint32_t rate, double hz,
                  size_t begin, size_t end, double* amplitude) {
  double s = 0, c = 0;
  const double w = 2 * std::numbers::pi * hz / rate;
  for (size_t i = begin; i < end; ++i) {
    const double v = pcm[i * channels];
    s += v * std::sin(w * static_cast<double>(i));
    c += v * std::cos(w * static_cast<double>(i));
  }
  const double n = static_cast<double>(end - begin);
  if (amplitude) *amplitude = 2 * std::hypot(s, c) / n;
  // v ≈ A·sin(w(i − lag)) = A(sin wi·cos wl − cos wi·sin wl)
  const double phase = std::atan2(-c, s);
  return phase / w;
}

}  // namespace logrum::audenc::test
