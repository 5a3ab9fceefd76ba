#include "Lib/ArchiveManager/Segment/Layer3Format.h"

#include <gtest/gtest.h>

#include <cmath>

namespace logrum::archive {
namespace {

// The bitrate choices offered for archives (index 1-32 of the options table).
constexpr AudioFormat kBitrateTable[] = {
    {8, 11025, 1},   {16, 11025, 1},  {18, 11025, 1},  {20, 11025, 1},  {20, 11025, 2},
    {24, 11025, 2},  {32, 11025, 2},  {24, 22050, 1},  {32, 22050, 1},  {40, 22050, 1},
    {40, 22050, 2},  {48, 22050, 1},  {48, 22050, 2},  {48, 44100, 1},  {56, 22050, 1},
    {56, 22050, 2},  {56, 44100, 1},  {64, 22050, 2},  {64, 44100, 1},  {80, 22050, 2},
    {80, 44100, 1},  {96, 44100, 1},  {96, 44100, 2},  {112, 44100, 1}, {112, 44100, 2},
    {128, 44100, 1}, {128, 44100, 2}, {160, 44100, 2}, {192, 44100, 2}, {224, 44100, 2},
    {256, 44100, 2}, {320, 44100, 2},
};

// One standard frame with padding off: 144000 x kbit/s / Hz bytes for MPEG-1
// sample rates, half of that for the lower ones.
uint32_t StandardFrame(uint32_t kbps, uint32_t rate) {
  return (rate >= 32000 ? 144000u : 72000u) * kbps / rate;
}

TEST(Layer3FormatTest, WorkedExample) {
  const AudioFormat f{128, 44100, 2};
  EXPECT_EQ(BlockSize(f), 417u);
  EXPECT_EQ(SamplesPerFrame(f), 1152u);
  EXPECT_EQ(FramesPerBlock(f), 1u);
  EXPECT_EQ(SamplesPerBlock(f), 2304u);
  EXPECT_NEAR(BlockDurationMs(f), 26.1224, 1e-4);
  EXPECT_EQ(DurationMsOfBytes(f, 417 * 49), 1280u);  // 49 frames are exactly 1280 ms
  EXPECT_EQ(DurationMsOfBytes(f, 417 * 49 - 1), 1253u);
}

TEST(Layer3FormatTest, EveryTableEntryIsWholeStandardFramesAtItsRate) {
  for (const AudioFormat& f : kBitrateTable) {
    SCOPED_TRACE(testing::Message() << f.bitrate << " kbit/s " << f.samplerate << " Hz "
                                    << int{f.channels} << " ch");
    ASSERT_TRUE(IsValidFormat(f));
    const uint32_t spf = SamplesPerFrame(f);
    EXPECT_EQ(spf, f.samplerate >= 32000 ? 1152u : 576u);
    uint32_t expected = 0;
    switch (f.bitrate) {
      case 12: expected = StandardFrame(8, f.samplerate) + StandardFrame(16, f.samplerate); break;
      case 14: expected = 3 * StandardFrame(16, f.samplerate) + StandardFrame(8, f.samplerate); break;
      case 18: expected = 3 * StandardFrame(16, f.samplerate) + StandardFrame(24, f.samplerate); break;
      case 20: expected = StandardFrame(24, f.samplerate) + StandardFrame(16, f.samplerate); break;
      default: expected = StandardFrame(f.bitrate, f.samplerate); break;
    }
    EXPECT_EQ(BlockSize(f), expected);
    // A block carries its bit rate to within one byte per frame.
    const double nominal = f.bitrate * BlockDurationMs(f) / 8.0;
    EXPECT_LE(BlockSize(f), nominal + 0.001);
    EXPECT_GT(BlockSize(f), nominal - FramesPerBlock(f));
    EXPECT_EQ(SamplesPerBlock(f), f.channels * FramesPerBlock(f) * spf);
    // An hour of blocks lasts an hour, to within one block.
    const uint64_t blocks = static_cast<uint64_t>(3600000 / BlockDurationMs(f));
    EXPECT_NEAR(DurationMsOfBytes(f, blocks * BlockSize(f)), 3600000.0, BlockDurationMs(f));
    EXPECT_EQ(BlocksBefore(f, static_cast<uint64_t>(std::ceil(BlockDurationMs(f) * 3))), 3u);
    EXPECT_EQ(BlocksCovering(f, 1), 1u);
    EXPECT_EQ(BlocksCovering(f, static_cast<uint64_t>(BlockDurationMs(f) * 2) + 1), 3u);
  }
  EXPECT_EQ(FramesPerBlock({18, 11025, 1}), 4u);
  EXPECT_EQ(FramesPerBlock({20, 11025, 2}), 2u);
  EXPECT_EQ(BlockSize({20, 11025, 1}), 156u + 104u);
}

TEST(Layer3FormatTest, InvalidTriplesGiveZero) {
  for (const AudioFormat& f : {AudioFormat{0, 44100, 2}, AudioFormat{127, 44100, 2},
                               AudioFormat{10, 8000, 1}, AudioFormat{128, 44000, 2},
                               AudioFormat{128, 44100, 0}, AudioFormat{128, 44100, 3},
                               AudioFormat{}}) {
    EXPECT_FALSE(IsValidFormat(f));
    EXPECT_EQ(BlockSize(f), 0u);
    EXPECT_EQ(SamplesPerFrame(f), 0u);
    EXPECT_EQ(FramesPerBlock(f), 0u);
    EXPECT_EQ(SamplesPerBlock(f), 0u);
    EXPECT_EQ(BlockDurationMs(f), 0.0);
    EXPECT_EQ(DurationMsOfBytes(f, 100000), 0u);
    EXPECT_EQ(BlocksBefore(f, 1000), 0u);
  }
  // Every odd rate and the largest multiple of 8 are valid.
  for (uint16_t kbps : {12, 14, 18, 20, 65528}) EXPECT_TRUE(IsValidFormat({kbps, 8000, 1}));
  EXPECT_EQ(BlockSize({65528, 8000, 1}), 72000ull * 65528 / 8000);
}

}  // namespace
}  // namespace logrum::archive
