#include "External/Encoder/Layer3Format.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace logrum::audenc {
namespace {

// Index 1..14 of the layer 3 bit-rate tables.
constexpr std::array<uint32_t, 15> kMpeg1Rates = {0,   32,  40,  48,  56,  64,  80, 96,
                                                  112, 128, 160, 192, 224, 256, 320};
constexpr std::array<uint32_t, 15> kMpeg2Rates = {0,  8,  16, 24,  32,  40,  48, 56,
                                                  64, 80, 96, 112, 128, 144, 160};

}  // namespace

bool IsMpeg1Rate(uint32_t sample_rate) { return sample_rate >= 32000; }

bool IsLayer3SampleRate(uint32_t sample_rate) {
  switch (sample_rate) {
    case 8000: case 11025: case 12000: case 16000: case 22050:
    case 24000: case 32000: case 44100: case 48000:
      return true;
    default:
      return false;
  }
}

uint32_t BitrateIndex(uint32_t bitrate_kbps, uint32_t sample_rate) {
  if (!IsLayer3SampleRate(sample_rate) || bitrate_kbps == 0) return 0;
  const auto& table = IsMpeg1Rate(sample_rate) ? kMpeg1Rates : kMpeg2Rates;
  auto it = std::find(table.begin() + 1, table.end(), bitrate_kbps);
  return it == table.end() ? 0 : static_cast<uint32_t>(it - table.begin());
}

uint32_t StandardFrameBytes(uint32_t bitrate_kbps, uint32_t sample_rate) {
  if (!IsLayer3SampleRate(sample_rate)) return 0;
  const uint64_t k = IsMpeg1Rate(sample_rate) ? 2000 : 1000;
  return static_cast<uint32_t>(k * bitrate_kbps * 72 / sample_rate);
}

std::vector<uint32_t> FramePattern(const Layer3Format& format, std::string* why) {
  auto fail = [why](const char* text) {
    if (why) *why = text;
    return std::vector<uint32_t>{};
  };
  if (!IsLayer3SampleRate(format.sample_rate)) return fail("sample rate is not a layer 3 rate");
  if (format.channels != 1 && format.channels != 2) return fail("channels must be 1 or 2");
  switch (format.bitrate_kbps) {
    case 12: case 14: case 18: case 20:
      if (IsMpeg1Rate(format.sample_rate))
        return fail("odd bit rates need a sample rate below 32000 Hz");
      break;
    default:
      break;
  }
  switch (format.bitrate_kbps) {
    case 12: return {16, 8};
    case 14: return {16, 16, 16, 8};
    case 18: return {24, 16, 16, 16};
    case 20: return {24, 16};
    default:
      break;
  }
  if (BitrateIndex(format.bitrate_kbps, format.sample_rate) == 0)
    return fail("bit rate is not a standard layer 3 rate at this sample rate");
  return {format.bitrate_kbps};
}

uint32_t FrameSamples(const Layer3Format& format) {
  return IsMpeg1Rate(format.sample_rate) ? 1152 : 576;
}

uint32_t FramesPerBlock(const Layer3Format& format) {
  switch (format.bitrate_kbps) {
    case 12: case 20: return 2;
    case 14: case 18: return 4;
    default: return 1;
  }
}

uint32_t BlockBytes(const Layer3Format& format) {
  uint32_t total = 0;
  for (uint32_t rate : FramePattern(format)) total += StandardFrameBytes(rate, format.sample_rate);
  return total;
}

std::string Describe(const Layer3Format& format) {
  char text[64];
  std::snprintf(text, sizeof text, "%u kbit/s %u Hz %s", format.bitrate_kbps, format.sample_rate,
                format.channels == 1 ? "mono" : format.channels == 2 ? "stereo" : "?");
  return text;
}

}  // namespace logrum::audenc
