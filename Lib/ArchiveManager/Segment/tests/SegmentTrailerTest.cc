#include "Lib/ArchiveManager/Segment/SegmentTrailer.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace logrum::archive {
namespace {

std::vector<uint8_t> Packed32(uint32_t value) {
  std::vector<uint8_t> out(5);
  PackU32(value, out.data());
  return out;
}

TEST(PackedIntegerTest, WorkedExamples) {
  EXPECT_EQ(Packed32(0xA5A5A5C8u), (std::vector<uint8_t>{0x48, 0x4B, 0x16, 0x2D, 0x0A}));
  EXPECT_EQ(Packed32(200), (std::vector<uint8_t>{0x48, 0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Packed32(109), (std::vector<uint8_t>{0x6D, 0x00, 0x00, 0x00, 0x00}));
}

TEST(PackedIntegerTest, RoundTripsWithoutATopBitAndMasksOnRead) {
  for (uint32_t v : {0u, 1u, 127u, 128u, 0x0FFFFFFFu, 0x10000000u, 0xFFFFFFFFu, 0xA5A5A5FBu}) {
    std::vector<uint8_t> b = Packed32(v);
    for (uint8_t byte : b) EXPECT_EQ(byte & 0x80, 0);
    EXPECT_EQ(b[4] & 0xF0, 0);
    EXPECT_EQ(UnpackU32(b.data()), v);
  }
  for (uint64_t v : {0ull, 0x07DA030405060701ull, 0x8000000000000000ull, ~0ull}) {
    uint8_t b[10];
    PackU64(v, b);
    for (uint8_t byte : b) EXPECT_EQ(byte & 0x80, 0);
    EXPECT_LE(b[9], 1);
    EXPECT_EQ(UnpackU64(b), v);
  }
  // Stray high bits are ignored on reading.
  const uint8_t noisy[5] = {0xC8, 0xCB, 0x96, 0xAD, 0xFA};
  EXPECT_EQ(UnpackU32(noisy), 0xA5A5A5C8u);
  const uint8_t noisy64[10] = {0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0xFE};
  EXPECT_EQ(UnpackU64(noisy64), 1u);
}

TEST(SegmentTrailerTest, LayoutOfTheCurrentForm) {
  SegmentTrailer t;
  t.source = std::string(40, 'x');
  t.size_bytes = 417;
  t.start_time = 0x07DA030405060700ull;
  t.duration_ms = 26;
  t.bitrate = 128;
  t.samplerate = 44100;
  t.channels = 2;
  t.skim = '1';
  t.end_time = 0x07DA030405070000ull;
  std::array<uint8_t, kTrailerSize> b;
  EncodeTrailer(t, b);
  EXPECT_EQ(UnpackU32(&b[0]), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[5])), std::string(32, 'x'));
  EXPECT_EQ(b[37], 0);
  EXPECT_EQ(UnpackU32(&b[43]), 417u);
  EXPECT_EQ(UnpackU64(&b[48]), 0x07DA030405060700ull);
  EXPECT_EQ(UnpackU32(&b[58]), 26u);
  EXPECT_EQ(UnpackU32(&b[63]), 128u);
  EXPECT_EQ(UnpackU32(&b[68]), 44100u);
  EXPECT_EQ(UnpackU32(&b[73]), 2u);
  EXPECT_EQ(b[78], '1');
  EXPECT_EQ(UnpackU64(&b[79]), 0x07DA030405070000ull);
  EXPECT_EQ((std::vector<uint8_t>(b.begin() + 89, b.end())),
            (std::vector<uint8_t>{0x48, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x48, 0x4B, 0x16, 0x2D, 0x0A,
                                  0x6D, 0, 0, 0, 0}));
  for (size_t i = 0; i < b.size(); ++i) {
    if (i < 5 || i >= 38) {
      EXPECT_EQ(b[i] & 0x80, 0) << i;
    }
  }

  SegmentTrailer back;
  ASSERT_TRUE(DecodeTrailer(b, &back));
  EXPECT_EQ(back.source, std::string(32, 'x'));
  EXPECT_EQ(back.start_time, t.start_time);
  EXPECT_EQ(back.end_time, t.end_time);
  EXPECT_TRUE(back.IsSkim());
  EXPECT_FALSE(back.IsOlderForm());

  b[104] = 0x6E;  // length 110
  EXPECT_EQ(ReadLocator(std::span<const uint8_t, kTrailerSize>(b).last<kLocatorSize>()),
            TrailerForm::kNone);
  EXPECT_FALSE(DecodeTrailer(b, &back));
}

}  // namespace
}  // namespace logrum::archive
