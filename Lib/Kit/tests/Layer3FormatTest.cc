#include <gtest/gtest.h>

#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "Lib/Kit/Layer3Format.h"
#include "Lib/Kit/tests/ArchiveBitrates.h"

namespace logrum::kit {
namespace {

const auto& kBitrateTable = kArchiveBitrateChoices;

// One standard frame with padding off: 144000 x kbit/s / Hz bytes for MPEG-1
// sample rates, half of that for the lower ones.
uint32_t StandardFrame(uint32_t kbps, uint32_t rate) {
  return (rate >= 32000 ? 144000u : 72000u) * kbps / rate;
}

constexpr uint16_t kSampleRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
constexpr uint16_t kMpeg1Bitrates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr uint16_t kMpeg2Bitrates[] = {8,  12, 14, 16, 18,  20,  24,  32,
                                       40, 48, 56, 64, 80, 96, 112, 128, 144, 160};

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

// The encoder writes a block as its frame pattern and the reader seeks by
// BlockSize: over every format the encoder can write, the two must agree.
TEST(Layer3FormatTest, WriterFramesAndReaderArithmeticAgreeOnEveryWritableFormat) {
  int writable = 0;
  for (uint16_t rate : kSampleRates) {
    const bool mpeg1 = rate >= 32000;
    for (uint16_t kbps : mpeg1 ? std::span<const uint16_t>(kMpeg1Bitrates)
                               : std::span<const uint16_t>(kMpeg2Bitrates)) {
      for (uint8_t channels : {1, 2}) {
        const AudioFormat f{kbps, rate, channels};
        SCOPED_TRACE(Describe(f));
        std::string why;
        const std::vector<uint32_t> pattern = FramePattern(f, &why);
        ASSERT_FALSE(pattern.empty()) << why;
        ASSERT_TRUE(IsValidFormat(f));
        uint32_t bytes = 0, bits_per_second = 0;
        for (uint32_t frame_kbps : pattern) {
          EXPECT_EQ(BitrateOfIndex(BitrateIndex(frame_kbps, rate), rate), frame_kbps);
          bytes += StandardFrameBytes(frame_kbps, rate);
          bits_per_second += frame_kbps;
        }
        EXPECT_EQ(BlockSize(f), bytes);
        EXPECT_EQ(FramesPerBlock(f), pattern.size());
        EXPECT_EQ(bits_per_second, kbps * pattern.size());  // the block has the nominal rate
        EXPECT_EQ(SamplesPerFrame(f), mpeg1 ? 1152u : 576u);
        ++writable;
      }
    }
  }
  EXPECT_EQ(writable, 2 * (3 * 14 + 6 * 18));
  // Every archive choice is writable.
  for (const AudioFormat& f : kBitrateTable) EXPECT_FALSE(FramePattern(f).empty()) << Describe(f);
}

TEST(Layer3FormatTest, WorkedBlocks) {
  struct Case {
    AudioFormat format;
    uint32_t block_bytes, frames_per_block, samples_per_frame;
  };
  const Case cases[] = {
      {{128, 44100, 2}, 417, 1, 1152}, {{32, 22050, 1}, 104, 1, 576},
      {{20, 11025, 1}, 156 + 104, 2, 576}, {{18, 11025, 1}, 3 * 104 + 156, 4, 576},
      {{12, 8000, 1}, 144 + 72, 2, 576},   {{14, 8000, 1}, 3 * 144 + 72, 4, 576},
      {{320, 48000, 2}, 960, 1, 1152},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Describe(c.format));
    EXPECT_EQ(BlockSize(c.format), c.block_bytes);
    EXPECT_EQ(FramesPerBlock(c.format), c.frames_per_block);
    EXPECT_EQ(SamplesPerFrame(c.format), c.samples_per_frame);
  }
}

// Valid for a segment, but no standard frames make them: the encoder refuses.
TEST(Layer3FormatTest, SomeValidFormatsAreNotWritable) {
  for (const AudioFormat& f : {AudioFormat{20, 44100, 1}, AudioFormat{72, 44100, 2},
                               AudioFormat{8, 44100, 1}, AudioFormat{192, 22050, 2}}) {
    SCOPED_TRACE(Describe(f));
    EXPECT_TRUE(IsValidFormat(f));
    std::string why;
    EXPECT_TRUE(FramePattern(f, &why).empty());
    EXPECT_FALSE(why.empty());
  }
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
}  // namespace logrum::kit
