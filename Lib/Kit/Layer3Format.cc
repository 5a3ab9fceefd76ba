#include "Lib/Kit/Layer3Format.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <initializer_list>

namespace logrum::kit {
namespace {

// Index 1..14 of the layer 3 bit-rate tables.
constexpr std::array<uint32_t, 15> kMpeg1Rates = {0,   32,  40,  48,  56,  64,  80, 96,
                                                  112, 128, 160, 192, 224, 256, 320};
constexpr std::array<uint32_t, 15> kMpeg2Rates = {0,  8,  16, 24,  32,  40,  48, 56,
                                                  64, 80, 96, 112, 128, 144, 160};

constexpr uint32_t kRatesV1[3] = {44100, 48000, 32000};
constexpr uint32_t kRatesV2[3] = {22050, 24000, 16000};
constexpr uint32_t kRatesV25[3] = {11025, 12000, 8000};

bool IsLayer3SampleRate(uint32_t samplerate) {
  for (uint32_t rate : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000}) {
    if (samplerate == rate) return true;
  }
  return false;
}

// Block duration as the fraction numerator / samplerate milliseconds.
uint64_t BlockDurationNumerator(const AudioFormat& f) {
  return uint64_t{SamplesPerFrame(f)} * FramesPerBlock(f) * 1000;
}

}  // namespace

bool IsValidFormat(const AudioFormat& f) {
  bool bitrate_ok = f.bitrate > 0 && (f.bitrate % 8 == 0 || f.bitrate == 12 || f.bitrate == 14 ||
                                      f.bitrate == 18 || f.bitrate == 20);
  return bitrate_ok && IsLayer3SampleRate(f.samplerate) && (f.channels == 1 || f.channels == 2);
}

uint32_t SamplesPerFrame(const AudioFormat& f) {
  if (!IsValidFormat(f)) return 0;
  return IsMpeg1Rate(f.samplerate) ? 1152 : 576;
}

uint32_t FramesPerBlock(const AudioFormat& f) {
  if (!IsValidFormat(f)) return 0;
  switch (f.bitrate) {
    case 12: case 20: return 2;
    case 14: case 18: return 4;
    default: return 1;
  }
}

uint32_t BlockSize(const AudioFormat& f) {
  if (!IsValidFormat(f)) return 0;
  const uint64_t k = IsMpeg1Rate(f.samplerate) ? 2000 : 1000;
  const uint64_t r = f.samplerate;
  switch (f.bitrate) {
    case 12: return static_cast<uint32_t>(k * 1152 / r + k * 576 / r);
    case 14: return static_cast<uint32_t>(3 * (k * 1152 / r) + k * 576 / r);
    case 18: return static_cast<uint32_t>(3 * (k * 1152 / r) + k * 1728 / r);
    case 20: return static_cast<uint32_t>(k * 1728 / r + k * 1152 / r);
    default: return static_cast<uint32_t>(k * f.bitrate * 72 / r);
  }
}

double FrameDurationMs(const AudioFormat& f) {
  if (!IsValidFormat(f)) return 0;
  return SamplesPerFrame(f) * 1000.0 / f.samplerate;
}

double BlockDurationMs(const AudioFormat& f) { return FrameDurationMs(f) * FramesPerBlock(f); }

uint32_t SamplesPerBlock(const AudioFormat& f) {
  return uint32_t{f.channels} * FramesPerBlock(f) * SamplesPerFrame(f);
}

uint32_t DurationMsOfBytes(const AudioFormat& f, uint64_t bytes) {
  const uint32_t block = BlockSize(f);
  if (block == 0) return 0;
  // Exact: samples x 1000 / rate, so whole-millisecond frame lengths never lose a ms.
  return static_cast<uint32_t>(bytes / block * BlockDurationNumerator(f) / f.samplerate);
}

uint64_t BlocksBefore(const AudioFormat& f, uint64_t ms) {
  const uint64_t numerator = BlockDurationNumerator(f);
  if (numerator == 0) return 0;
  return ms * f.samplerate / numerator;
}

uint64_t BlocksCovering(const AudioFormat& f, uint64_t ms) {
  const uint64_t numerator = BlockDurationNumerator(f);
  if (numerator == 0) return 0;
  return (ms * f.samplerate + numerator - 1) / numerator;
}

bool IsMpeg1Rate(uint32_t samplerate) { return samplerate >= 32000; }

uint32_t BitrateIndex(uint32_t bitrate, uint32_t samplerate) {
  if (!IsLayer3SampleRate(samplerate) || bitrate == 0) return 0;
  const auto& table = IsMpeg1Rate(samplerate) ? kMpeg1Rates : kMpeg2Rates;
  auto it = std::find(table.begin() + 1, table.end(), bitrate);
  return it == table.end() ? 0 : static_cast<uint32_t>(it - table.begin());
}

uint32_t BitrateOfIndex(uint32_t index, uint32_t samplerate) {
  if (!IsLayer3SampleRate(samplerate) || index == 0 || index >= kMpeg1Rates.size()) return 0;
  return (IsMpeg1Rate(samplerate) ? kMpeg1Rates : kMpeg2Rates)[index];
}

uint32_t StandardFrameBytes(uint32_t bitrate, uint32_t samplerate) {
  if (!IsLayer3SampleRate(samplerate)) return 0;
  const uint64_t k = IsMpeg1Rate(samplerate) ? 2000 : 1000;
  return static_cast<uint32_t>(k * bitrate * 72 / samplerate);
}

std::vector<uint32_t> FramePattern(const AudioFormat& format, std::string* why) {
  auto fail = [why](const char* text) {
    if (why) *why = text;
    return std::vector<uint32_t>{};
  };
  if (!IsLayer3SampleRate(format.samplerate)) return fail("sample rate is not a layer 3 rate");
  if (format.channels != 1 && format.channels != 2) return fail("channels must be 1 or 2");
  switch (format.bitrate) {
    case 12: case 14: case 18: case 20:
      if (IsMpeg1Rate(format.samplerate))
        return fail("odd bit rates need a sample rate below 32000 Hz");
      break;
    default:
      break;
  }
  switch (format.bitrate) {
    case 12: return {16, 8};
    case 14: return {16, 16, 16, 8};
    case 18: return {24, 16, 16, 16};
    case 20: return {24, 16};
    default:
      break;
  }
  if (BitrateIndex(format.bitrate, format.samplerate) == 0)
    return fail("bit rate is not a standard layer 3 rate at this sample rate");
  return {format.bitrate};
}

bool ParseFrameHeader(const uint8_t* b, size_t length, FrameHeader* header) {
  if (length < 4 || b[0] != 0xFF || (b[1] & 0xE0) != 0xE0) return false;
  const int version = (b[1] >> 3) & 3;  // 0: 2.5, 1: reserved, 2: 2, 3: 1
  const int layer = (b[1] >> 1) & 3;    // 1: layer 3
  const int bitrate_index = b[2] >> 4;
  const int rate_index = (b[2] >> 2) & 3;
  if (version == 1 || layer != 1 || rate_index == 3) return false;
  const uint32_t rate = version == 3   ? kRatesV1[rate_index]
                        : version == 2 ? kRatesV2[rate_index]
                                       : kRatesV25[rate_index];
  const uint32_t bitrate = BitrateOfIndex(static_cast<uint32_t>(bitrate_index), rate);
  if (bitrate == 0) return false;  // free format or a bad index
  const uint32_t padding = (b[2] >> 1) & 1;
  header->bitrate = bitrate;
  header->samplerate = rate;
  header->channels = (b[3] >> 6) == 3 ? 1 : 2;
  header->frame_bytes = StandardFrameBytes(bitrate, rate) + padding;
  return true;
}

std::string Describe(const AudioFormat& format) {
  char text[64];
  std::snprintf(text, sizeof text, "%u kbit/s %u Hz %s", format.bitrate, format.samplerate,
                format.channels == 1 ? "mono" : format.channels == 2 ? "stereo" : "?");
  return text;
}

}  // namespace logrum::kit
