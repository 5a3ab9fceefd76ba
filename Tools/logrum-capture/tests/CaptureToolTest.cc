// Runs the built logrum-capture against virtual devices on an accelerated clock.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "Lib/Platform/WaveIn.h"
#include "Lib/Platform/WaveInVirtual.h"
#include "Lib/Platform/tests/WaveInTestUtil.h"
#include "tests/support/TempDir.h"

namespace {

using logrum::platform::testing::PatternSamples;
using logrum::platform::testing::WriteWav;

struct Result {
  int status;
  std::string output;
};

Result RunTool(const std::string& args) {
  std::string command = std::string(LOGRUM2_BUILD_DIR) + "/bin/logrum-capture " + args + " 2>&1";
  Result r{-1, ""};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  std::array<char, 512> chunk;
  while (fgets(chunk.data(), chunk.size(), pipe) != nullptr) r.output += chunk.data();
  int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

class CaptureToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv(logrum::platform::kVirtualDevicesVariable);
    alsa_count_ = logrum::platform::WaveInDeviceCount();
    samples_ = PatternSamples(2 * 30011, 5);
    ASSERT_TRUE(WriteWav(dir_ + "/in.wav", samples_, 2, 44100));
    setenv(logrum::platform::kVirtualDevicesVariable,
           ("Hum=tone:50;Desk=file:" + dir_ + "/in.wav").c_str(), 1);
    setenv("LOGRUM2_CLOCK", "speed=5", 1);  // quick, with room for a loaded machine
  }
  void TearDown() override {
    unsetenv(logrum::platform::kVirtualDevicesVariable);
    unsetenv("LOGRUM2_CLOCK");
  }
  std::vector<int16_t> ReadWav(const std::string& path, SF_INFO* info) {
    *info = SF_INFO{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, info);
    if (f == nullptr) return {};
    std::vector<int16_t> data(static_cast<size_t>(info->frames * info->channels));
    sf_readf_short(f, data.data(), info->frames);
    sf_close(f);
    return data;
  }
  logrum::testing::TempDir temp_{"capture-tool"};
  std::string dir_ = temp_.path();
  int alsa_count_ = 0;
  std::vector<int16_t> samples_;
};

TEST_F(CaptureToolTest, ListsEveryDeviceWithItsIndex) {
  Result r = RunTool("--list");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find(std::to_string(alsa_count_) + "  Hum\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(std::to_string(alsa_count_ + 1) + "  Desk\n"), std::string::npos)
      << r.output;
}

TEST_F(CaptureToolTest, RecordsTheDeviceThroughTheLibrary) {
  std::string out = dir_ + "/out.wav";
  Result r = RunTool(std::to_string(alsa_count_ + 1) + " 2 " + out);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("peak L"), std::string::npos) << r.output;
  SF_INFO info;
  auto data = ReadWav(out, &info);
  ASSERT_EQ(info.frames, 88200);
  ASSERT_EQ(info.channels, 2);
  ASSERT_EQ(info.samplerate, 44100);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], samples_[i % samples_.size()]) << i;
}

TEST_F(CaptureToolTest, RecordsOneSideOfASplitInput) {
  std::string out = dir_ + "/right.wav";
  Result r = RunTool(std::to_string(alsa_count_ + 1) + " 1 " + out + " --split right");
  ASSERT_EQ(r.status, 0) << r.output;
  SF_INFO info;
  auto data = ReadWav(out, &info);
  ASSERT_EQ(info.frames, 44100);
  for (size_t f = 0; f < static_cast<size_t>(info.frames); ++f) {
    ASSERT_EQ(data[2 * f], samples_[(2 * f + 1) % samples_.size()]) << f;
    ASSERT_EQ(data[2 * f + 1], data[2 * f]) << f;
  }
}

TEST_F(CaptureToolTest, BadArgumentsAreRefusedClearly) {
  struct Case {
    std::string args;
    int status;
    const char* says;
  } cases[] = {
      {"", 2, "usage"},
      {"x 1 " + dir_ + "/a.wav", 2, "not a device index"},
      {"0 -1 " + dir_ + "/a.wav", 2, "not a number of seconds"},
      {"0 1 " + dir_ + "/a.wav --split middle", 2, "left or right"},
      {std::to_string(alsa_count_ + 2) + " 1 " + dir_ + "/a.wav", 1, "no capture device"},
      {std::to_string(alsa_count_) + " 1 /nonexistent-dir/a.wav", 1, "cannot write"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    Result r = RunTool(c.args);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
  }
}

}  // namespace
