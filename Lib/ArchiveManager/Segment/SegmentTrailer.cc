#include "Lib/ArchiveManager/Segment/SegmentTrailer.h"

#include <algorithm>
#include <cstring>

#include "Lib/Platform/Clock.h"

namespace logrum::archive {
namespace {

// Offsets of the current form.
constexpr size_t kKind = 0, kSource = 5, kReserved1 = 38, kSize = 43, kStart = 48,
                 kDuration = 58, kBitrate = 63, kSampleRate = 68, kChannels = 73, kSkim = 78,
                 kEnd = 79, kVersion = 89, kReserved2 = 94, kMagic = 99, kLength = 104;
// Offsets of the older form that differ.
constexpr size_t kOldStart = 48, kOldDuration = 53, kOldBitrate = 58, kOldSampleRate = 63,
                 kOldChannels = 68, kOldSkim = 73, kOldVersion = 74, kOldEnd = 79, kOldMagic = 84,
                 kOldLength = 89;

constexpr size_t kSourceField = 33;

std::string ReadSource(const uint8_t* in) {
  const char* text = reinterpret_cast<const char*>(in);
  return std::string(text, strnlen(text, kSourceNameMax));
}

void WriteSource(const std::string& source, uint8_t* out) {
  std::memset(out, 0, kSourceField);
  std::memcpy(out, source.data(), std::min(source.size(), kSourceNameMax));
}

// Local wall-clock time of the active zone, packed without the year window of
// CZoneTime, so that an old file keeps its times whenever it is read.
uint64_t PackedFromUnix(uint32_t seconds) {
  if (seconds == 0) return 0;
  const platform::LocalTime tm = platform::ToLocalTime(int64_t{seconds} * 1000000);
  return static_cast<uint64_t>(tm.year) << 48 | static_cast<uint64_t>(tm.month) << 40 |
         static_cast<uint64_t>(tm.day) << 32 | static_cast<uint64_t>(tm.hour) << 24 |
         static_cast<uint64_t>(tm.minute) << 16 | static_cast<uint64_t>(tm.second) << 8 |
         (tm.daylight ? 1u : 0u);
}

}  // namespace

void PackU32(uint32_t value, uint8_t out[5]) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (7 * i) & 0x7F);
  out[4] = static_cast<uint8_t>(value >> 28 & 0x0F);
}

uint32_t UnpackU32(const uint8_t in[5]) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{in[i] & 0x7Fu} << (7 * i);
  return value | uint32_t{in[4] & 0x0Fu} << 28;
}

void PackU64(uint64_t value, uint8_t out[10]) {
  for (int i = 0; i < 9; ++i) out[i] = static_cast<uint8_t>(value >> (7 * i) & 0x7F);
  out[9] = static_cast<uint8_t>(value >> 63 & 0x01);
}

uint64_t UnpackU64(const uint8_t in[10]) {
  uint64_t value = 0;
  for (int i = 0; i < 9; ++i) value |= uint64_t{in[i] & 0x7Fu} << (7 * i);
  return value | uint64_t{in[9] & 0x01u} << 63;
}

TrailerForm ReadLocator(std::span<const uint8_t, kLocatorSize> locator) {
  const uint8_t* p = locator.data();
  uint32_t version = UnpackU32(p);
  uint32_t magic = UnpackU32(p + 10);
  uint32_t length = UnpackU32(p + 15);
  if (version == kTrailerVersion && magic == kTrailerMagic && length == kTrailerSize) {
    return TrailerForm::kCurrent;
  }
  if (version == 0 && magic == kOldTrailerMagic && length == kOldTrailerSize) {
    return TrailerForm::kOlder;
  }
  return TrailerForm::kNone;
}

void EncodeTrailer(const SegmentTrailer& t, std::span<uint8_t, kTrailerSize> out) {
  uint8_t* p = out.data();
  std::memset(p, 0, kTrailerSize);
  PackU32(t.kind, p + kKind);
  WriteSource(t.source, p + kSource);
  PackU32(t.reserved1, p + kReserved1);
  PackU32(t.size_bytes, p + kSize);
  PackU64(t.start_time, p + kStart);
  PackU32(t.duration_ms, p + kDuration);
  PackU32(t.bitrate, p + kBitrate);
  PackU32(t.samplerate, p + kSampleRate);
  PackU32(t.channels, p + kChannels);
  p[kSkim] = static_cast<uint8_t>(t.skim);
  PackU64(t.end_time, p + kEnd);
  PackU32(t.version, p + kVersion);
  PackU32(t.reserved2, p + kReserved2);
  PackU32(t.magic, p + kMagic);
  PackU32(t.length, p + kLength);
}

bool DecodeTrailer(std::span<const uint8_t, kTrailerSize> in, SegmentTrailer* t) {
  const uint8_t* p = in.data();
  if (ReadLocator(in.last<kLocatorSize>()) != TrailerForm::kCurrent) return false;
  SegmentTrailer r;
  r.kind = UnpackU32(p + kKind);
  r.source = ReadSource(p + kSource);
  r.reserved1 = UnpackU32(p + kReserved1);
  r.size_bytes = UnpackU32(p + kSize);
  r.start_time = UnpackU64(p + kStart);
  r.duration_ms = UnpackU32(p + kDuration);
  r.bitrate = UnpackU32(p + kBitrate);
  r.samplerate = UnpackU32(p + kSampleRate);
  r.channels = UnpackU32(p + kChannels);
  r.skim = static_cast<char>(p[kSkim]);
  r.end_time = UnpackU64(p + kEnd);
  r.version = UnpackU32(p + kVersion);
  r.reserved2 = UnpackU32(p + kReserved2);
  r.magic = UnpackU32(p + kMagic);
  r.length = UnpackU32(p + kLength);
  *t = std::move(r);
  return true;
}

bool DecodeOldTrailer(std::span<const uint8_t, kOldTrailerSize> in, SegmentTrailer* t) {
  const uint8_t* p = in.data();
  if (ReadLocator(in.last<kLocatorSize>()) != TrailerForm::kOlder) return false;
  SegmentTrailer r;
  r.kind = UnpackU32(p + kKind);
  r.source = ReadSource(p + kSource);
  r.reserved1 = UnpackU32(p + kReserved1);
  r.size_bytes = UnpackU32(p + kSize);
  r.start_time = PackedFromUnix(UnpackU32(p + kOldStart));
  r.duration_ms = UnpackU32(p + kOldDuration);
  r.bitrate = UnpackU32(p + kOldBitrate);
  r.samplerate = UnpackU32(p + kOldSampleRate);
  r.channels = UnpackU32(p + kOldChannels);
  r.skim = static_cast<char>(p[kOldSkim]);
  r.end_time = PackedFromUnix(UnpackU32(p + kOldEnd));
  r.version = UnpackU32(p + kOldVersion);
  r.reserved2 = 0;
  r.magic = UnpackU32(p + kOldMagic);
  r.length = UnpackU32(p + kOldLength);
  *t = std::move(r);
  return true;
}

void EncodeOldTrailer(const SegmentTrailer& t, uint32_t start_unix, uint32_t end_unix,
                      std::span<uint8_t, kOldTrailerSize> out) {
  uint8_t* p = out.data();
  std::memset(p, 0, kOldTrailerSize);
  PackU32(t.kind, p + kKind);
  WriteSource(t.source, p + kSource);
  PackU32(t.reserved1, p + kReserved1);
  PackU32(t.size_bytes, p + kSize);
  PackU32(start_unix, p + kOldStart);
  PackU32(t.duration_ms, p + kOldDuration);
  PackU32(t.bitrate, p + kOldBitrate);
  PackU32(t.samplerate, p + kOldSampleRate);
  PackU32(t.channels, p + kOldChannels);
  p[kOldSkim] = static_cast<uint8_t>(t.skim);
  PackU32(0, p + kOldVersion);
  PackU32(end_unix, p + kOldEnd);
  PackU32(kOldTrailerMagic, p + kOldMagic);
  PackU32(kOldTrailerSize, p + kOldLength);
}

}  // namespace logrum::archive
