// The segment file format.
//
// A segment file is the layer 3 audio of one segment followed by a fixed-size
// trailer; nothing precedes the audio. The trailer makes the file self-describing,
// so the segment database can be rebuilt from the files alone.
//
// Every trailer number is a little-endian group of 7-bit digits, one per byte with
// the top bit clear (32-bit: 5 bytes, 64-bit: 10 bytes), so no trailer byte can
// start an MPEG frame sync. Current form, 109 bytes:
//    0  5 kind (1)            5 33 source name, NUL-padded   38  5 reserved (0)
//   43  5 audio bytes        48 10 start time (packed)       58  5 duration ms
//   63  5 bit rate kbit/s    68  5 sample rate Hz            73  5 channels
//   78  1 skim '1'/'0'       79 10 end time (packed)
//   89  5 version (200)      94  5 reserved (0)              99  5 magic 0xA5A5A5C8
//  104  5 length (109)
// The last 20 bytes are the locator a reader checks first. The older form (94
// bytes, still read) has the times as 32-bit seconds since 1970 in 5-byte fields
// (start at 48, end at 79), the numbers in between moved up by 5, the skim flag at
// 73, 0 where the version stands, magic 0xA5A5A5FB and length 94.
//
// A file cut while it was written (power loss, crash) has no locator at its end:
// it is reported as unreadable, never guessed at. Times of the current form are
// packed wall-clock values (CZoneTime::ToPacked), so a file describes its segment
// in the terms of its name, whatever zone the reader runs in.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace logrum::archive {

inline constexpr size_t kTrailerSize = 109;
inline constexpr size_t kOldTrailerSize = 94;
inline constexpr size_t kLocatorSize = 20;
inline constexpr uint32_t kTrailerVersion = 200;
inline constexpr uint32_t kTrailerMagic = 0xA5A5A5C8u;
inline constexpr uint32_t kOldTrailerMagic = 0xA5A5A5FBu;
inline constexpr size_t kSourceNameMax = 32;

// 7-bit packed integers.
void PackU32(uint32_t value, uint8_t out[5]);
uint32_t UnpackU32(const uint8_t in[5]);
void PackU64(uint64_t value, uint8_t out[10]);
uint64_t UnpackU64(const uint8_t in[10]);

struct SegmentTrailer {
  uint32_t kind = 1;
  std::string source;  // at most 32 bytes
  uint32_t reserved1 = 0;
  uint32_t size_bytes = 0;
  uint64_t start_time = 0;  // CZoneTime packed value
  uint32_t duration_ms = 0;
  uint32_t bitrate = 0;
  uint32_t samplerate = 0;
  uint32_t channels = 0;
  char skim = '0';
  uint64_t end_time = 0;  // CZoneTime packed value; 0 when the segment had no end
  uint32_t version = kTrailerVersion;  // 0: read from the older form
  uint32_t reserved2 = 0;
  uint32_t magic = kTrailerMagic;
  uint32_t length = kTrailerSize;

  bool IsSkim() const { return skim == '1'; }
  bool IsOlderForm() const { return version == 0; }
};

enum class TrailerForm { kNone, kCurrent, kOlder };

// Which trailer the last 20 bytes of a file close.
TrailerForm ReadLocator(std::span<const uint8_t, kLocatorSize> locator);

void EncodeTrailer(const SegmentTrailer& trailer, std::span<uint8_t, kTrailerSize> out);
// false when the bytes are no current-form trailer.
bool DecodeTrailer(std::span<const uint8_t, kTrailerSize> in, SegmentTrailer* trailer);
// Reads an older-form trailer and converts its times (seconds since 1970) to
// local packed times in the active zone; the version stays 0.
bool DecodeOldTrailer(std::span<const uint8_t, kOldTrailerSize> in, SegmentTrailer* trailer);
// The older form, as old recorders wrote it (for tests and conversions).
void EncodeOldTrailer(const SegmentTrailer& trailer, uint32_t start_unix, uint32_t end_unix,
                      std::span<uint8_t, kOldTrailerSize> out);

}  // namespace logrum::archive
