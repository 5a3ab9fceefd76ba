#include "Lib/ArchiveManager/Segment/Layer3Format.h"

#include <initializer_list>

namespace logrum::archive {
namespace {

// Block duration as the fraction numerator / samplerate milliseconds.
uint64_t BlockDurationNumerator(const AudioFormat& f) {
  return uint64_t{SamplesPerFrame(f)} * FramesPerBlock(f) * 1000;
}

}  // namespace

bool IsValidFormat(const AudioFormat& f) {
  bool bitrate_ok = f.bitrate > 0 && (f.bitrate % 8 == 0 || f.bitrate == 12 || f.bitrate == 14 ||
                                      f.bitrate == 18 || f.bitrate == 20);
  bool rate_ok = false;
  for (uint16_t rate : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000}) {
    if (f.samplerate == rate) rate_ok = true;
  }
  return bitrate_ok && rate_ok && (f.channels == 1 || f.channels == 2);
}

uint32_t SamplesPerFrame(const AudioFormat& f) {
  if (!IsValidFormat(f)) return 0;
  return f.samplerate >= 32000 ? 1152 : 576;
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
  const uint64_t k = f.samplerate >= 32000 ? 2000 : 1000;
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

}  // namespace logrum::archive
