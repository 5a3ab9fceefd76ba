#include "Lib/Platform/WaveInAlsa.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "Lib/Platform/tests/WaveInTestUtil.h"
#include "tests/support/TempDir.h"

namespace logrum::platform {
namespace {

using testing::PatternSamples;
using testing::Recorder;

// ALSA's file plugin over a null slave returns the bytes of `infile` as capture, as fast
// as they are read, on a machine with no sound card at all.
std::string FileCaptureConfig(const std::string& infile) {
  return "pcm.capture { type file slave.pcm { type null } file \"/dev/null\" infile \"" +
         infile + "\" format \"raw\" }\n"
         "pcm.plugged { type plug slave.pcm \"capture\" }\n";
}

class WaveInAlsaTest : public ::testing::Test {
 protected:
  logrum::testing::TempDir temp_{"wavein-alsa"};
  std::string dir_ = temp_.path();
};

TEST_F(WaveInAlsaTest, CaptureReturnsTheFileSamplesInOrder) {
  const uint32_t kBufferBytes = 36864;
  const size_t kBuffers = 12;
  auto samples = PatternSamples(kBufferBytes / 2 * kBuffers, 3);
  std::string raw = dir_ + "/capture.raw";
  FILE* f = std::fopen(raw.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(samples.data(), 2, samples.size(), f), samples.size());
  std::fclose(f);

  for (const char* pcm : {"capture", "plugged"}) {
    SCOPED_TRACE(pcm);
    std::unique_ptr<WaveInStream> stream;
    WaveFormat format;
    const Status status = OpenAlsaStream(pcm, FileCaptureConfig(raw), format, &stream);
    ASSERT_TRUE(status.ok()) << status.message();
    Recorder r(4, kBufferBytes);
    std::unique_ptr<WaveIn> wave;
    ASSERT_EQ(WaveIn::OpenStream(std::move(stream), "file capture", format, &Recorder::Callback,
                                 &r, &wave),
              kWaveInOk);
    for (auto& h : r.headers) {
      ASSERT_EQ(wave->Prepare(&h), kWaveInOk);
      ASSERT_EQ(wave->AddBuffer(&h), kWaveInOk);
    }
    ASSERT_EQ(wave->Start(), kWaveInOk);
    for (size_t i = 0; i < kBuffers; ++i) {
      ASSERT_TRUE(r.WaitReturned(i + 1));
      if (i + 4 < kBuffers) {
        std::lock_guard lock(r.mutex);
        ASSERT_EQ(wave->AddBuffer(&r.headers[static_cast<size_t>(r.returned[i])]), kWaveInOk);
      }
    }
    ASSERT_EQ(wave->Reset(), kWaveInOk);
    std::lock_guard lock(r.mutex);
    ASSERT_GE(r.data.size(), samples.size());
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(r.data[i], samples[i]) << i;
    for (size_t i = 0; i < kBuffers; ++i) EXPECT_EQ(r.returned[i], static_cast<int>(i % 4));
    EXPECT_TRUE(r.overruns.empty());
  }
}

TEST_F(WaveInAlsaTest, UnknownPcmFailsWithItsName) {
  std::unique_ptr<WaveInStream> stream;
  const Status status =
      OpenAlsaStream("nonexistent", FileCaptureConfig("/dev/null"), WaveFormat{}, &stream);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(stream, nullptr);
  EXPECT_NE(status.message().find("nonexistent"), std::string::npos) << status.message();
}

}  // namespace
}  // namespace logrum::platform
