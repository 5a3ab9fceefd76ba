#include <gtest/gtest.h>

#include <cmath>

#include "External/Encoder/Layer3Stream.h"
#include "External/Encoder/tests/DecodeUtil.h"
#include "Lib/Kit/tests/ArchiveBitrates.h"

namespace logrum::audenc {
namespace {

using test::Decode;
using test::Decoder;

constexpr double kToneHz = 440.0;

const auto& kBitrateTable = kit::kArchiveBitrateChoices;

struct Encoded {
  std::vector<uint8_t> data;
  uint64_t blocks = 0;
};

Encoded EncodeSine(uint32_t in_rate, const kit::AudioFormat& format, size_t frames) {
  std::unique_ptr<Layer3Stream> stream;
  platform::Status status = Layer3Stream::Create(in_rate, 2, format, &stream);
  EXPECT_TRUE(status.ok()) << status.message();
  Encoded result;
  if (!stream) return result;
  const std::vector<int16_t> pcm = test::Sine(kToneHz, in_rate, 2, frames);
  // Uneven pieces, as a capture source of another block size would give.
  size_t done = 0;
  for (size_t piece = 1000; done < frames; piece = piece * 3 % 7919 + 500) {
    const size_t n = std::min(piece, frames - done);
    status = stream->Encode(pcm.data() + done * 2, n, &result.data);
    EXPECT_TRUE(status.ok()) << status.message();
    done += n;
  }
  status = stream->Finish(&result.data);
  EXPECT_TRUE(status.ok()) << status.message();
  result.blocks = stream->blocks_out();
  return result;
}

class BitrateTableTest : public testing::TestWithParam<kit::AudioFormat> {};

// Every choice of the options dialog: standard unpadded frames of the nominal
// size, decoded without a complaint by both decoders, to the input's tone, at
// the length the block arithmetic gives, with no time shift.
TEST_P(BitrateTableTest, DecodesToTheInputAtTheBlockArithmeticLength) {
  const kit::AudioFormat format = GetParam();
  const size_t in_frames = 44100 * 3 / 2;
  const Encoded encoded = EncodeSine(44100, format, in_frames);
  ASSERT_GT(encoded.blocks, 0u);
  EXPECT_EQ(encoded.data.size(), encoded.blocks * BlockSize(format));

  size_t frames = 0;
  std::string why;
  EXPECT_TRUE(test::CheckFrames(encoded.data, format, &frames, &why)) << why;

  const uint64_t samples = frames * SamplesPerFrame(format);
  // The stream ends at the first block boundary at or after the input's end.
  const double in_seconds = static_cast<double>(in_frames) / 44100;
  const double block_seconds =
      static_cast<double>(FramesPerBlock(format) * SamplesPerFrame(format)) / format.samplerate;
  EXPECT_EQ(encoded.blocks, static_cast<uint64_t>(std::ceil(in_seconds / block_seconds - 1e-9)));

  for (Decoder decoder : {Decoder::kMpg123, Decoder::kFfmpeg}) {
    SCOPED_TRACE(test::DecoderName(decoder));
    const test::Decoded decoded = Decode(decoder, encoded.data);
    EXPECT_TRUE(decoded.ok) << decoded.errors;
    ASSERT_EQ(decoded.pcm.size(), samples * format.channels);
    const size_t begin = format.samplerate / 4, end = samples - format.samplerate / 4;
    EXPECT_NEAR(test::ZeroCrossingHz(decoded.pcm, format.channels, format.samplerate, begin, end),
                kToneHz, 1.0);
    double amplitude = 0;
    const double lag = test::LagSamples(decoded.pcm, format.channels, format.samplerate, kToneHz,
                                        begin, end, &amplitude);
    EXPECT_NEAR(lag, 0.0, 1.0);
    EXPECT_GT(amplitude, 12000 * 0.7);
  }
}

INSTANTIATE_TEST_SUITE_P(AllChoices, BitrateTableTest, testing::ValuesIn(kBitrateTable),
                         [](const testing::TestParamInfo<kit::AudioFormat>& info) {
                           return std::to_string(info.param.bitrate) + "k_" +
                                  std::to_string(info.param.samplerate) + "_" +
                                  (info.param.channels == 1 ? "mono" : "stereo");
                         });

TEST(Layer3StreamTest, OddRatesAlternateStandardFrames) {
  for (const kit::AudioFormat format : {kit::AudioFormat{12, 8000, 1}, kit::AudioFormat{14, 11025, 1},
                                    kit::AudioFormat{14, 22050, 1}, kit::AudioFormat{18, 24000, 1},
                                    kit::AudioFormat{12, 16000, 2}, kit::AudioFormat{20, 12000, 1}}) {
    SCOPED_TRACE(Describe(format));
    const Encoded encoded = EncodeSine(44100, format, 44100);
    size_t frames = 0;
    std::string why;
    EXPECT_TRUE(test::CheckFrames(encoded.data, format, &frames, &why)) << why;
    EXPECT_EQ(encoded.data.size(), encoded.blocks * BlockSize(format));
    // The nominal rate on average: block bytes × 8 over the block's duration.
    const double seconds =
        static_cast<double>(FramesPerBlock(format) * SamplesPerFrame(format)) / format.samplerate;
    EXPECT_NEAR(BlockSize(format) * 8 / seconds / 1000, format.bitrate, 0.5);
    const test::Decoded decoded = Decode(Decoder::kFfmpeg, encoded.data);
    EXPECT_TRUE(decoded.ok) << decoded.errors;
    EXPECT_EQ(decoded.pcm.size(), frames * SamplesPerFrame(format) * format.channels);
  }
}

TEST(Layer3StreamTest, RefusesWhatCannotBeStandardFrames) {
  for (const kit::AudioFormat format :
       {kit::AudioFormat{20, 44100, 1}, kit::AudioFormat{72, 44100, 2}, kit::AudioFormat{8, 44100, 1},
        kit::AudioFormat{192, 22050, 2}, kit::AudioFormat{32, 44000, 1}, kit::AudioFormat{32, 22050, 3},
        kit::AudioFormat{0, 22050, 1}}) {
    SCOPED_TRACE(Describe(format));
    std::unique_ptr<Layer3Stream> stream;
    const platform::Status made = Layer3Stream::Create(44100, 2, format, &stream);
    EXPECT_FALSE(made.ok());
    EXPECT_EQ(stream, nullptr);
    EXPECT_FALSE(made.message().empty());
  }
  std::unique_ptr<Layer3Stream> stream;
  EXPECT_FALSE(Layer3Stream::Create(44100, 3, {32, 22050, 1}, &stream).ok());
  EXPECT_EQ(stream, nullptr);
}

// A stream that takes over from another at a block boundary of the first, primed
// with the audio just before it, continues the first without a gap or a repeat.
TEST(Layer3StreamTest, FollowingStreamContinuesSeamlessly) {
  struct Pair {
    uint32_t in_rate;
    kit::AudioFormat first, second;
  };
  for (const Pair& p : {Pair{44100, {32, 22050, 1}, {64, 22050, 2}},
                        Pair{48000, {128, 44100, 2}, {64, 44100, 1}},
                        Pair{44100, {20, 11025, 1}, {32, 11025, 2}}}) {
    SCOPED_TRACE(Describe(p.first) + " -> " + Describe(p.second));
    const size_t total = p.in_rate * 2;
    const std::vector<int16_t> pcm = test::Sine(kToneHz, p.in_rate, 2, total);
    std::unique_ptr<Layer3Stream> a, b;
    platform::Status status = Layer3Stream::Create(p.in_rate, 2, p.first, &a);
    ASSERT_TRUE(status.ok()) << status.message();
    status = Layer3Stream::Create(p.in_rate, 2, p.second, &b);
    ASSERT_TRUE(status.ok()) << status.message();
    std::vector<uint8_t> out_a, out_b;
    size_t switch_at = p.in_rate * 3 / 4;
    status = a->Encode(pcm.data(), switch_at, &out_a);
    ASSERT_TRUE(status.ok()) << status.message();
    const size_t rest = a->FramesToBlockEnd();
    status = a->Encode(pcm.data() + switch_at * 2, rest, &out_a);
    ASSERT_TRUE(status.ok()) << status.message();
    EXPECT_EQ(a->FramesToBlockEnd(), 0u);
    status = a->Finish(&out_a);
    ASSERT_TRUE(status.ok()) << status.message();
    switch_at += rest;
    ASSERT_GE(switch_at, b->priming_frames());
    status = b->Prime(pcm.data() + (switch_at - b->priming_frames()) * 2);
    ASSERT_TRUE(status.ok()) << status.message();
    status = b->Encode(pcm.data() + switch_at * 2, total - switch_at, &out_b);
    ASSERT_TRUE(status.ok()) << status.message();
    status = b->Finish(&out_b);
    ASSERT_TRUE(status.ok()) << status.message();

    const test::Decoded da = Decode(Decoder::kMpg123, out_a);
    const test::Decoded db = Decode(Decoder::kMpg123, out_b);
    ASSERT_TRUE(da.ok && db.ok) << da.errors << db.errors;
    const uint32_t rate = p.first.samplerate;
    const size_t frames_a = da.pcm.size() / p.first.channels;
    // The first stream ends exactly where the second begins, on the input's clock.
    EXPECT_NEAR(static_cast<double>(frames_a) * p.in_rate / rate, static_cast<double>(switch_at), 1.0);
    // Both streams keep the input's phase: nothing lost, nothing repeated.
    std::vector<int16_t> joined;
    for (size_t i = 0; i < frames_a; ++i) joined.push_back(da.pcm[i * p.first.channels]);
    for (size_t i = 0; i < db.pcm.size() / p.second.channels; ++i)
      joined.push_back(db.pcm[i * p.second.channels]);
    const size_t window = rate / 10;
    double amplitude = 0;
    EXPECT_NEAR(test::LagSamples(joined, 1, rate, kToneHz, frames_a - window, frames_a, &amplitude),
                0.0, 1.0);
    // Past the decoder's start-up in the second stream's first frame.
    const size_t settle = frames_a + SamplesPerFrame(p.second);
    EXPECT_NEAR(test::LagSamples(joined, 1, rate, kToneHz, settle, settle + window, &amplitude),
                0.0, 1.0);
    EXPECT_GT(amplitude, 12000 * 0.7);
  }
}

}  // namespace
}  // namespace logrum::audenc
