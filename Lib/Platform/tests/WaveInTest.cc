#include "Lib/Platform/WaveIn.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "Lib/Platform/Clock.h"
#include "Lib/Platform/WaveInVirtual.h"
#include "Lib/Platform/tests/WaveInTestUtil.h"
#include "tests/support/TempDir.h"

namespace logrum::platform {
namespace {

using testing::PatternSamples;
using testing::Recorder;
using testing::WriteWav;

TEST(VirtualDeviceSpecTest, ParsesEntriesAndKeepsFaultyOnesInPlace) {
  auto specs = ParseVirtualDevices(
      " Studio A=tone:1000 ; ;Quiet=silence;Loop=file:/tmp/a:b.wav;Two=tone:440,880;"
      "Bad=tone:;NoKind;=silence;Odd=noise;Hush=silence:3;Late=file:/tmp/x@y.wav@2.5");
  ASSERT_EQ(specs.size(), 10u);
  using K = VirtualDeviceSpec::Kind;
  struct Want {
    const char* name;
    K kind;
  } want[] = {{"Studio A", K::kTone}, {"Quiet", K::kSilence}, {"Loop", K::kFile},
              {"Two", K::kTone},      {"Bad", K::kInvalid},   {"NoKind", K::kInvalid},
              {"=silence", K::kInvalid}, {"Odd", K::kInvalid}, {"Hush", K::kInvalid},
              {"Late", K::kFile}};
  for (size_t i = 0; i < specs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(specs[i].name, want[i].name);
    EXPECT_EQ(specs[i].kind, want[i].kind);
    EXPECT_EQ(specs[i].error.empty(), want[i].kind != K::kInvalid) << specs[i].error;
  }
  EXPECT_EQ(specs[0].frequency_left, 1000);
  EXPECT_EQ(specs[0].frequency_right, 1000);
  EXPECT_EQ(specs[2].path, "/tmp/a:b.wav");
  EXPECT_EQ(specs[2].start_seconds, 0);
  EXPECT_EQ(specs[9].path, "/tmp/x@y.wav");  // only a number after the last '@' is a start
  EXPECT_EQ(specs[9].start_seconds, 2.5);
  EXPECT_EQ(specs[3].frequency_left, 440);
  EXPECT_EQ(specs[3].frequency_right, 880);
}

// Two identical USB interfaces used to share one name, so a source defined on the second
// was applied to the first. The first keeps its name (stored names still find it).
TEST(DeviceNamesTest, IdenticalCardsGetNumberedNames) {
  const std::string long_name(70, 'x');
  struct Case {
    std::vector<std::string> in, out;
  } cases[] = {
      {{"USB Audio CODEC: USB Audio", "Onboard: ALC", "USB Audio CODEC: USB Audio",
        "USB Audio CODEC: USB Audio"},
       {"USB Audio CODEC: USB Audio", "Onboard: ALC", "USB Audio CODEC: USB Audio #2",
        "USB Audio CODEC: USB Audio #3"}},
      // Names are compared as callers keep them: without regard to case...
      {{"Deck", "DECK"}, {"Deck", "DECK #2"}},
      // ...and cut to 63 characters, so the suffix must fit inside them.
      {{long_name, long_name}, {long_name, std::string(60, 'x') + " #2"}},
      // A suffix that a device already carries is not given twice.
      {{"Deck", "Deck #2", "Deck"}, {"Deck", "Deck #2", "Deck #3"}},
  };
  for (const Case& c : cases) {
    std::vector<WaveInDeviceEntry> devices;
    for (const auto& name : c.in) devices.push_back({name, nullptr});
    MakeDeviceNamesUnique(&devices);
    std::vector<std::string> names;
    for (const auto& d : devices) names.push_back(d.name);
    EXPECT_EQ(names, c.out);
  }
}

class WaveInVirtualTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv(kVirtualDevicesVariable);
    alsa_count_ = WaveInDeviceCount();
  }
  void TearDown() override { unsetenv(kVirtualDevicesVariable); }

  void Declare(const std::string& text) { setenv(kVirtualDevicesVariable, text.c_str(), 1); }

  // Opens virtual device `n` (counted among the virtual ones) with `recorder`'s buffers added.
  std::unique_ptr<WaveIn> OpenWithBuffers(int n, Recorder* recorder, WaveFormat format = {}) {
    std::unique_ptr<WaveIn> wave;
    const Status status = WaveIn::Open(static_cast<uint32_t>(alsa_count_ + n), format,
                                       &Recorder::Callback, recorder, &wave);
    EXPECT_TRUE(status.ok()) << status.message();
    if (!wave) return nullptr;
    for (auto& h : recorder->headers) {
      EXPECT_EQ(wave->Prepare(&h), kWaveInOk);
      EXPECT_EQ(wave->AddBuffer(&h), kWaveInOk);
    }
    return wave;
  }

  static int64_t FramesToUs(int64_t frames, int rate = 44100) {
    return (frames * 1000000 + rate - 1) / rate;
  }

  ManualClock clock_{1'700'000'000'000'000};
  ScopedDefaultClock scoped_clock_{clock_};
  logrum::testing::TempDir temp_{"wavein"};
  std::string dir_ = temp_.path();
  int alsa_count_ = 0;
};

TEST_F(WaveInVirtualTest, VirtualDevicesFollowAlsaDevicesInDeclarationOrder) {
  Declare("First=silence;Second=tone:1000;Broken=nonsense");
  ASSERT_EQ(WaveInDeviceCount(), alsa_count_ + 3);
  std::string name;
  ASSERT_EQ(WaveInDeviceName(alsa_count_ + 1, &name), kWaveInOk);
  EXPECT_EQ(name, "Second");
  ASSERT_EQ(WaveInDeviceName(alsa_count_ + 2, &name), kWaveInOk);
  EXPECT_EQ(name, "Broken");
  EXPECT_EQ(WaveInDeviceName(alsa_count_ + 3, &name), kWaveInBadDeviceId);

  // The faulty entry keeps its number but cannot be opened, and says why.
  Recorder r(1, 400);
  std::unique_ptr<WaveIn> wave;
  Status status = WaveIn::Open(alsa_count_ + 2, WaveFormat{}, &Recorder::Callback, &r, &wave);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(wave, nullptr);
  EXPECT_NE(status.message().find("nonsense"), std::string::npos) << status.message();
  status = WaveIn::Open(alsa_count_ + 3, WaveFormat{}, &Recorder::Callback, &r, &wave);
  EXPECT_TRUE(status.IsNotFound()) << status.message();
  EXPECT_EQ(WaveInResultOf(status), kWaveInBadDeviceId);
  WaveFormat eight_bit;
  eight_bit.bits_per_sample = 8;
  status = WaveIn::Open(alsa_count_, eight_bit, &Recorder::Callback, &r, &wave);
  EXPECT_EQ(status.code(), Status::kInvalidArgument) << status.message();
  EXPECT_EQ(WaveInResultOf(status), kWaveInBadFormat);
}

TEST_F(WaveInVirtualTest, UnpluggedDeviceFailsItsReadAndItsOpenUntilPluggedBack) {
  setenv(kVirtualUnpluggedVariable, dir_.c_str(), 1);
  Declare("A=silence;Deck=tone:440");
  EXPECT_EQ(WaveInFindDevice("Deck"), static_cast<int>(alsa_count_ + 1));
  EXPECT_EQ(WaveInFindDevice("deck"), -1);  // the name as it was opened, exactly
  Recorder r(2, 4096);
  auto wave = OpenWithBuffers(1, &r);
  ASSERT_NE(wave, nullptr);
  ASSERT_EQ(wave->Start(), kWaveInOk);
  clock_.AdvanceUs(FramesToUs(1024));
  ASSERT_TRUE(r.WaitReturned(1));

  std::ofstream(dir_ + "/Deck").put('x');
  clock_.AdvanceUs(FramesToUs(1024));
  {
    std::unique_lock lock(r.mutex);
    ASSERT_TRUE(r.changed.wait_for(lock, std::chrono::seconds(30), [&] { return !r.errors.empty(); }));
    EXPECT_EQ(r.errors[0], kWaveInError);
  }
  wave.reset();
  std::unique_ptr<WaveIn> again;
  Status status = WaveIn::Open(alsa_count_ + 1, WaveFormat{}, &Recorder::Callback, &r, &again);
  EXPECT_TRUE(status.IsNotFound()) << status.message();
  EXPECT_NE(status.message().find("unplugged"), std::string::npos) << status.message();
  std::filesystem::remove(dir_ + "/Deck");
  status = WaveIn::Open(alsa_count_ + 1, WaveFormat{}, &Recorder::Callback, &r, &again);
  EXPECT_TRUE(status.ok()) << status.message();
  unsetenv(kVirtualUnpluggedVariable);
}

TEST_F(WaveInVirtualTest, MissingFileFailsToOpenWithItsPath) {
  Declare("Gone=file:" + dir_ + "/missing.wav");
  Recorder r(1, 400);
  std::unique_ptr<WaveIn> wave;
  const Status status = WaveIn::Open(alsa_count_, WaveFormat{}, &Recorder::Callback, &r, &wave);
  EXPECT_TRUE(status.IsNotFound()) << status.message();
  EXPECT_NE(status.message().find("missing.wav"), std::string::npos) << status.message();
}

TEST_F(WaveInVirtualTest, BufferRulesAreEnforced) {
  Declare("Quiet=silence");
  Recorder r(2, 400);
  std::unique_ptr<WaveIn> wave;
  ASSERT_TRUE(WaveIn::Open(alsa_count_, WaveFormat{}, &Recorder::Callback, &r, &wave).ok());
  EXPECT_EQ(wave->AddBuffer(&r.headers[0]), kWaveInUnprepared);
  ASSERT_EQ(wave->Prepare(&r.headers[0]), kWaveInOk);
  ASSERT_EQ(wave->AddBuffer(&r.headers[0]), kWaveInOk);
  EXPECT_EQ(wave->AddBuffer(&r.headers[0]), kWaveInStillRecording);
  EXPECT_EQ(wave->Unprepare(&r.headers[0]), kWaveInStillRecording);
  WaveInBuffer tiny = r.headers[1];
  tiny.buffer_length = 3;  // less than one frame
  ASSERT_EQ(wave->Prepare(&tiny), kWaveInOk);
  EXPECT_EQ(wave->AddBuffer(&tiny), kWaveInInvalidParam);
  ASSERT_EQ(wave->Reset(), kWaveInOk);
  EXPECT_EQ(wave->Unprepare(&r.headers[0]), kWaveInOk);
}

// The file's samples come back exactly, buffer after buffer in order, looping at the
// end of the file, and only as the clock lets them.
TEST_F(WaveInVirtualTest, FileDevicePlaysTheFileInALoopPacedByTheClock) {
  const int kFileFrames = 1000;
  auto samples = PatternSamples(kFileFrames * 2);
  ASSERT_TRUE(WriteWav(dir_ + "/loop.wav", samples, 2, 44100));
  Declare("Loop=file:" + dir_ + "/loop.wav");
  const uint32_t kBufferFrames = 441;
  Recorder r(3, kBufferFrames * 4);
  auto wave = OpenWithBuffers(0, &r);
  ASSERT_NE(wave, nullptr);
  ASSERT_EQ(wave->Start(), kWaveInOk);

  std::vector<int> order;
  for (int i = 0; i < 10; ++i) {
    clock_.AdvanceUs(10'000);  // exactly one buffer's worth at 44100 Hz
    ASSERT_TRUE(r.WaitReturned(static_cast<size_t>(i + 1)));
    std::lock_guard lock(r.mutex);
    ASSERT_EQ(r.returned.size(), static_cast<size_t>(i + 1)) << "no more than the clock allows";
    WaveInBuffer* back = &r.headers[static_cast<size_t>(r.returned.back())];
    ASSERT_EQ(wave->AddBuffer(back), kWaveInOk);
  }
  ASSERT_EQ(wave->Reset(), kWaveInOk);
  std::lock_guard lock(r.mutex);
  // After the reset the three queued buffers came back too, empty.
  ASSERT_EQ(r.returned.size(), 13u);
  for (size_t i = 0; i < r.returned.size(); ++i) EXPECT_EQ(r.returned[i], static_cast<int>(i % 3));
  for (size_t i = 10; i < 13; ++i) EXPECT_EQ(r.bytes[i], 0u);
  ASSERT_EQ(r.data.size(), 10u * kBufferFrames * 2);
  for (size_t i = 0; i < r.data.size(); ++i) {
    ASSERT_EQ(r.data[i], samples[i % samples.size()]) << "sample " << i;
  }
  EXPECT_FALSE(r.bad_flags);
  EXPECT_TRUE(r.overruns.empty());
  EXPECT_EQ(wave->stats().frames_captured, 10u * kBufferFrames);
}

// Many devices play one file from different places: the first loop starts at the
// offset, the next ones at the file's beginning.
TEST_F(WaveInVirtualTest, FileDeviceStartsAtItsOffset) {
  const int kFileFrames = 1000;
  auto samples = PatternSamples(kFileFrames * 2, 3);
  ASSERT_TRUE(WriteWav(dir_ + "/offset.wav", samples, 2, 44100));
  Declare("Late=file:" + dir_ + "/offset.wav@0.02");  // frame 882
  const uint32_t kBufferFrames = 441;
  Recorder r(1, kBufferFrames * 4);
  auto wave = OpenWithBuffers(0, &r);
  ASSERT_NE(wave, nullptr);
  ASSERT_EQ(wave->Start(), kWaveInOk);
  clock_.AdvanceUs(10'000);
  ASSERT_TRUE(r.WaitReturned(1));
  ASSERT_EQ(wave->Reset(), kWaveInOk);
  std::lock_guard lock(r.mutex);
  ASSERT_GE(r.data.size(), size_t{kBufferFrames} * 2);
  for (size_t i = 0; i < size_t{kBufferFrames} * 2; ++i) {
    ASSERT_EQ(r.data[i], samples[(882 * 2 + i) % samples.size()]) << "sample " << i;
  }
}

TEST_F(WaveInVirtualTest, ResetReturnsThePartBufferWithWhatItHolds) {
  Declare("Quiet=silence");
  Recorder r(2, 44100 * 4);  // one second each
  auto wave = OpenWithBuffers(0, &r);
  ASSERT_NE(wave, nullptr);
  ASSERT_EQ(wave->Start(), kWaveInOk);
  clock_.AdvanceUs(500'000);
  ASSERT_EQ(wave->Reset(), kWaveInOk);  // the device waits for a whole buffer: returns 0 bytes
  std::lock_guard lock(r.mutex);
  ASSERT_EQ(r.returned, (std::vector<int>{0, 1}));
  EXPECT_EQ(r.bytes[0] % 4, 0u);
  EXPECT_LE(r.bytes[0], 44100u * 4);
}

// Capture that found no buffer for longer than the device can hold is lost, and the
// loss is reported with its exact length; the audio after the gap is the audio of then.
TEST_F(WaveInVirtualTest, OverrunIsReportedWithTheLengthOfTheGap) {
  const int kFileFrames = 44100;  // one second of distinct samples
  auto samples = PatternSamples(kFileFrames * 2, 7);
  ASSERT_TRUE(WriteWav(dir_ + "/second.wav", samples, 2, 44100));
  Declare("Loop=file:" + dir_ + "/second.wav");
  Recorder r(1, 4410 * 4);  // 100 ms
  auto wave = OpenWithBuffers(0, &r);
  ASSERT_NE(wave, nullptr);
  ASSERT_EQ(wave->Start(), kWaveInOk);
  clock_.AdvanceUs(100'000);
  ASSERT_TRUE(r.WaitReturned(1));
  // Nobody gives the buffer back for 15 seconds: 5 seconds more than the device holds.
  clock_.AdvanceUs(15'000'000);
  ASSERT_EQ(wave->AddBuffer(&r.headers[0]), kWaveInOk);
  ASSERT_TRUE(r.WaitReturned(2));
  ASSERT_EQ(wave->Reset(), kWaveInOk);
  std::lock_guard lock(r.mutex);
  ASSERT_EQ(r.overruns.size(), 1u);
  const uint64_t kLost = 15'100'000ull * 44100 / 1000000 - 10 * 44100 - 4410;
  EXPECT_EQ(r.overruns[0], kLost);
  EXPECT_EQ(r.overrun_at[0], 4410u * 2);
  EXPECT_EQ(wave->stats().overruns, 1u);
  EXPECT_EQ(wave->stats().frames_lost, kLost);
  // The second buffer starts where the file stood after the gap.
  uint64_t start_frame = 4410 + kLost;
  for (size_t i = 0; i < 4410 * 2; ++i) {
    size_t want = (start_frame * 2 + i) % samples.size();
    ASSERT_EQ(r.data[4410 * 2 + i], samples[want]) << i;
  }
}

TEST_F(WaveInVirtualTest, ToneIsMinus12DbfsAndMayDifferPerChannel) {
  Declare("Two=tone:1000,2000");
  Recorder r(1, 4410 * 4);
  auto wave = OpenWithBuffers(0, &r);
  ASSERT_NE(wave, nullptr);
  ASSERT_EQ(wave->Start(), kWaveInOk);
  clock_.AdvanceUs(100'000);
  ASSERT_TRUE(r.WaitReturned(1));
  std::lock_guard lock(r.mutex);
  int peak[2] = {0, 0};
  int crossings[2] = {0, 0};
  for (size_t i = 0; i < r.data.size(); ++i) {
    int c = static_cast<int>(i % 2);
    peak[c] = std::max(peak[c], std::abs(static_cast<int>(r.data[i])));
    if (i >= 2 && r.data[i - 2] < 0 && r.data[i] >= 0) ++crossings[c];
  }
  const int kExpectedPeak = static_cast<int>(std::lround(32767 * std::pow(10.0, -12.0 / 20)));
  EXPECT_NEAR(peak[0], kExpectedPeak, 3);
  EXPECT_NEAR(peak[1], kExpectedPeak, 3);
  EXPECT_NEAR(crossings[0], 100, 1);  // 1000 Hz over 100 ms
  EXPECT_NEAR(crossings[1], 200, 1);
}

// A file at another rate and with one channel becomes 16-bit stereo at the device's rate.
TEST_F(WaveInVirtualTest, FileIsConvertedToTheDeviceRateAndStereo) {
  std::vector<int16_t> ramp(2205);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<int16_t>(i * 10);
  ASSERT_TRUE(WriteWav(dir_ + "/mono22k.wav", ramp, 1, 22050));
  Declare("Ramp=file:" + dir_ + "/mono22k.wav");
  Recorder r(1, 4000 * 4);
  auto wave = OpenWithBuffers(0, &r);
  ASSERT_NE(wave, nullptr);
  ASSERT_EQ(wave->Start(), kWaveInOk);
  clock_.AdvanceUs(FramesToUs(4000));
  ASSERT_TRUE(r.WaitReturned(1));
  std::lock_guard lock(r.mutex);
  ASSERT_EQ(r.data.size(), 8000u);
  for (size_t f = 0; f < 4000; ++f) {
    EXPECT_EQ(r.data[2 * f], r.data[2 * f + 1]);
    EXPECT_EQ(r.data[2 * f], static_cast<int16_t>(f * 5)) << "frame " << f;  // halfway points
  }
}

}  // namespace
}  // namespace logrum::platform
