#include "External/Encoder/SkimCore.h"

#include <gtest/gtest.h>

#include <cmath>

#include "External/Encoder/tests/DecodeUtil.h"

namespace logrum::audenc {
namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kPiece = 9216;  // frames of one captured block at the server's defaults
constexpr double kToneHz = 440.0;

// Records what the core reports: each stretch of one state with its audio.
class Recorder : public SkimCore::Sink {
 public:
  struct Stretch {
    uint8_t state;
    kit::AudioFormat format;
    uint64_t position;
    std::string why;
    std::vector<uint8_t> audio;
  };
  std::vector<Stretch> stretches;
  std::vector<std::string> messages;

  void Audio(uint8_t state, const kit::AudioFormat& format, std::span<const uint8_t> data,
             int64_t) override {
    ASSERT_FALSE(stretches.empty());
    EXPECT_EQ(state, stretches.back().state);
    EXPECT_EQ(format, stretches.back().format);
    stretches.back().audio.insert(stretches.back().audio.end(), data.begin(), data.end());
  }
  void StateChanged(uint8_t state, const kit::AudioFormat& format, uint64_t position, int64_t,
                    const std::string& why) override {
    stretches.push_back({state, format, position, why, {}});
  }
  void Message(int32_t, const std::string& text) override { messages.push_back(text); }

  std::vector<std::pair<int, uint64_t>> Sequence() const {
    std::vector<std::pair<int, uint64_t>> result;
    for (const Stretch& s : stretches) result.emplace_back(s.state, s.position);
    return result;
  }
};


// Runs `pieces` pieces of a continuous tone through a core; sample(i) gives
// what the switch, schedule and storage said when piece i arrived.
template <typename SampleFn>
void Feed(SkimCore* core, size_t pieces, SampleFn sample) {
  for (size_t i = 0; i < pieces; ++i) {
    const auto pcm = test::Sine(kToneHz, kRate, 2, kPiece, 12000.0, i * kPiece);
    core->Input(pcm.data(), kPiece, sample(i), static_cast<int64_t>(i) * kPiece * 1000000 / kRate);
  }
}

// Each stretch with audio decodes to the tone at the right phase for its input
// position, start and end: nothing lost or repeated at the joins.
void ExpectStretchesContinueTheInput(const Recorder& recorder) {
  for (size_t i = 0; i < recorder.stretches.size(); ++i) {
    const Recorder::Stretch& s = recorder.stretches[i];
    if (s.state == kSkimStateStopped) {
      EXPECT_TRUE(s.audio.empty());
      continue;
    }
    SCOPED_TRACE("stretch " + std::to_string(i) + " " + Describe(s.format));
    size_t frames = 0;
    std::string why;
    ASSERT_TRUE(test::CheckFrames(s.audio, s.format, &frames, &why)) << why;
    const test::Decoded decoded = test::Decode(test::Decoder::kMpg123, s.audio);
    ASSERT_TRUE(decoded.ok) << decoded.errors;
    const uint32_t rate = s.format.samplerate;
    const size_t samples = decoded.pcm.size() / s.format.channels;
    ASSERT_EQ(samples, frames * SamplesPerFrame(s.format));
    // The stretch's length on the input's clock reaches the next stretch's start.
    if (i + 1 < recorder.stretches.size()) {
      EXPECT_NEAR(static_cast<double>(samples) * kRate / rate,
                  static_cast<double>(recorder.stretches[i + 1].position - s.position), 1.0);
    }
    // Phase against the input's clock: shift the reference by the stretch's start.
    std::vector<int16_t> shifted(samples);
    const double offset = static_cast<double>(s.position) * rate / kRate;
    const size_t settle = SamplesPerFrame(s.format), window = rate / 10;
    ASSERT_GT(samples, settle + 2 * window);
    for (const auto& [begin, end] : {std::pair{settle, settle + window},
                                     std::pair{samples - window, samples}}) {
      double amplitude = 0;
      const double lag = test::LagSamples(decoded.pcm, s.format.channels, rate, kToneHz, begin, end,
                                          &amplitude);
      // lag relative to a tone that starts at the stretch's input position
      const double period = rate / kToneHz;
      double expected = -std::fmod(offset, period);
      double diff = std::remainder(lag - expected, period);
      EXPECT_NEAR(diff, 0.0, 1.0) << "window at " << begin;
      EXPECT_GT(amplitude, 12000 * 0.7);
    }
  }
}

const kit::AudioFormat kOff{32, 22050, 1};
const kit::AudioFormat kOn{64, 44100, 2};

TEST(SkimCoreTest, SwitchWithPreAndPostDelay) {
  Recorder recorder;
  std::unique_ptr<SkimCore> core;
  const platform::Status made =
      SkimCore::Create({kRate, 2, kOn, kOff, 1000, 2000}, &recorder, &core);
  ASSERT_TRUE(made.ok()) << made.message();
  // The switch is on for pieces 20..29: input frames [184320, 276480).
  Feed(core.get(), 60, [](size_t i) { return SwitchSample{i >= 20 && i < 30, true, false}; });
  core->End("encoder closed", 0);

  // On from 1 s before the switch closed (140220), at the off stream's next
  // block boundary (1152 input frames a block): 140544. Off from 2 s after it
  // opened (364680), at the on stream's next boundary: 140544 + 195·1152.
  const std::vector<std::pair<int, uint64_t>> expected = {
      {kSkimStateOff, 0}, {kSkimStateOn, 140544}, {kSkimStateOff, 365184},
      {kSkimStateStopped, 60 * kPiece}};
  EXPECT_EQ(recorder.Sequence(), expected);
  EXPECT_EQ(recorder.stretches[1].format, kOn);
  EXPECT_EQ(recorder.stretches[2].format, kOff);
  EXPECT_EQ(recorder.stretches[3].why, "encoder closed");
  ExpectStretchesContinueTheInput(recorder);
}

TEST(SkimCoreTest, ZeroOffRateRecordsOnlyTheOnStretch) {
  Recorder recorder;
  std::unique_ptr<SkimCore> core;
  const platform::Status made = SkimCore::Create({kRate, 2, kOn, {}, 1000, 2000}, &recorder, &core);
  ASSERT_TRUE(made.ok()) << made.message();
  Feed(core.get(), 50, [](size_t i) { return SwitchSample{i >= 20 && i < 30, true, false}; });
  core->End("encoder closed", 0);
  // Nothing runs while off, so the on stream starts exactly 1 s before the
  // switch closed; it ends at its first block boundary 2 s after the release.
  const std::vector<std::pair<int, uint64_t>> expected = {
      {kSkimStateStopped, 0}, {kSkimStateOn, 140220}, {kSkimStateStopped, 140220 + 195 * 1152}};
  EXPECT_EQ(recorder.Sequence(), expected);
  ExpectStretchesContinueTheInput(recorder);
}

TEST(SkimCoreTest, SwitchBackOnWithinThePostDelayKeepsOneStretch) {
  Recorder recorder;
  std::unique_ptr<SkimCore> core;
  const platform::Status made = SkimCore::Create({kRate, 2, kOn, kOff, 0, 3000}, &recorder, &core);
  ASSERT_TRUE(made.ok()) << made.message();
  // On 10..14, off for 5 pieces (about 1 s, less than the post-delay), on 20..24.
  Feed(core.get(), 50, [](size_t i) {
    return SwitchSample{(i >= 10 && i < 15) || (i >= 20 && i < 25), true, false};
  });
  core->End("encoder closed", 0);
  ASSERT_EQ(recorder.stretches.size(), 4u);
  EXPECT_EQ(recorder.stretches[1].state, kSkimStateOn);
  EXPECT_EQ(recorder.stretches[1].position, 10 * kPiece);  // a block boundary of the off stream
  EXPECT_EQ(recorder.stretches[2].state, kSkimStateOff);
  EXPECT_GE(recorder.stretches[2].position, 25 * kPiece + 3 * kRate);
}

TEST(SkimCoreTest, PausedScheduleAndFullStorageStopAndResume) {
  Recorder recorder;
  std::unique_ptr<SkimCore> core;
  const platform::Status made = SkimCore::Create({kRate, 2, kOn, kOff, 1000, 0}, &recorder, &core);
  ASSERT_TRUE(made.ok()) << made.message();
  Feed(core.get(), 40, [](size_t i) {
    return SwitchSample{false, !(i >= 10 && i < 15), i >= 25 && i < 28};
  });
  core->End("source stopped", 0);
  // Piece boundaries are block boundaries of the off stream (8 blocks a piece),
  // and the schedule and storage are not stretched by the delays.
  const std::vector<std::pair<int, uint64_t>> expected = {
      {kSkimStateOff, 0},          {kSkimStateStopped, 10 * kPiece}, {kSkimStateOff, 15 * kPiece},
      {kSkimStateStopped, 25 * kPiece}, {kSkimStateOff, 28 * kPiece}, {kSkimStateStopped, 40 * kPiece}};
  EXPECT_EQ(recorder.Sequence(), expected);
  EXPECT_EQ(recorder.stretches[1].why, "schedule paused");
  EXPECT_EQ(recorder.stretches[3].why, "storage full");
  ExpectStretchesContinueTheInput(recorder);
}

TEST(SkimCoreTest, GapEndsTheStreamAndReportsTheLoss) {
  Recorder recorder;
  std::unique_ptr<SkimCore> core;
  const platform::Status made = SkimCore::Create({kRate, 2, kOn, kOff, 500, 0}, &recorder, &core);
  ASSERT_TRUE(made.ok()) << made.message();
  Feed(core.get(), 10, [](size_t) { return SwitchSample{}; });
  core->Gap(2 * kPiece, 0);
  EXPECT_EQ(core->position(), 12 * kPiece);
  const auto pcm = test::Sine(kToneHz, kRate, 2, kPiece);
  // Held back for the pre-delay (half a second) until the fourth piece.
  for (int i = 0; i < 4; ++i) core->Input(pcm.data(), kPiece, {}, 0);
  const std::vector<std::pair<int, uint64_t>> expected = {
      {kSkimStateOff, 0}, {kSkimStateStopped, 10 * kPiece}, {kSkimStateOff, 12 * kPiece}};
  EXPECT_EQ(recorder.Sequence(), expected);
  ASSERT_FALSE(recorder.messages.empty());
  EXPECT_EQ(recorder.messages[0], "WARNING: Skim encoder could not keep up: 417 ms of audio dropped\n");
  // The audio held back for the pre-delay was recorded before the gap.
  size_t frames = 0;
  std::string why;
  ASSERT_TRUE(test::CheckFrames(recorder.stretches[0].audio, kOff, &frames, &why)) << why;
  EXPECT_EQ(frames * 1152, 10u * kPiece);
}

TEST(SkimCoreTest, RefusesFormatsItCannotWrite) {
  Recorder recorder;
  std::unique_ptr<SkimCore> core;
  platform::Status made =
      SkimCore::Create({kRate, 2, {20, 44100, 1}, kOff, 0, 0}, &recorder, &core);
  EXPECT_FALSE(made.ok());
  EXPECT_EQ(core, nullptr);
  EXPECT_NE(made.message().find("odd bit rates"), std::string::npos) << made.message();
  made = SkimCore::Create({kRate, 2, kOn, {72, 44100, 2}, 0, 0}, &recorder, &core);
  EXPECT_FALSE(made.ok());
  EXPECT_EQ(core, nullptr);
  made = SkimCore::Create({kRate, 2, {}, {}, 0, 0}, &recorder, &core);
  EXPECT_TRUE(made.ok()) << made.message();
  EXPECT_NE(core, nullptr);
}

}  // namespace
}  // namespace logrum::audenc
