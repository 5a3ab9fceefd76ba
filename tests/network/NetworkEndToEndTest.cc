// The network service end to end, through the built programs: archsvc.so
// records a stereo tone (440 Hz left, 1000 Hz right) from a virtual file:
// device on a clock running eight times fast, and logrum-client, as a station
// engineer would run it, lists, indexes, plays a stretch, follows the live
// stream and the status. ffmpeg decodes the audio that came over the wire.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Lib/ArchiveManager/Archive/testing/ArchiveHost.h"
#include "Lib/ArchiveManager/Archive/testing/HostOptions.h"
#include "tests/support/InProcessArchive.h"
#include "tests/support/SystemTest.h"
#include "tests/support/TestSupport.h"
#include "tests/support/Users.h"

namespace logrum::archive {
namespace {

constexpr int kRate = 44100;
constexpr char kArchive[] = "Studio A";

std::string Root() {
  return logrum::testing::ProgramFolder("network-e2e");
}

uint16_t FreePort() { return logrum::testing::FreeLoopbackPort(); }

struct ClientRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs logrum-client with the arguments (already quoted for the shell).
ClientRun Client(uint16_t port, const std::string& login, const std::string& arguments) {
  const std::string err_file = Root() + "/client.err";
  const logrum::testing::CommandRun run =
      logrum::testing::RunLogrumClient(port, login + " " + arguments, err_file);
  return {run.status, run.out, logrum::testing::ReadFileText(err_file)};
}

// Frequency of one channel from its rising zero crossings.
double Frequency(const std::vector<int16_t>& pcm, int channels, int channel, int rate) {
  const size_t frames = pcm.size() / channels;
  int crossings = 0;
  for (size_t i = 1; i < frames; ++i) {
    if (pcm[(i - 1) * channels + channel] < 0 && pcm[i * channels + channel] >= 0) ++crossings;
  }
  return frames == 0 ? 0 : crossings * static_cast<double>(rate) / frames;
}

class NetworkEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    logrum::testing::SetUpToneStation(Root(), "start=2026-06-01T10:00:50,speed=8", 440, 1000);
  }
};

TEST_F(NetworkEndToEndTest, ClientListsIndexesPlaysAndFollowsARecordingArchive) {
  logrum::testing::AddUser(Root(), "anna", "secret", kArchive, 3);
  logrum::testing::AddUser(Root(), "bert", "secret", kArchive, 2);  // live stream only

  testing::ArchiveHost host;
  ASSERT_NO_FATAL_FAILURE(logrum::testing::LoadBuiltLibraries(host, "Studio"));
  testing::HostOptions options;
  logrum::testing::PlaceArchive(&options, Root(), "Studio");
  options.live_bitrate_k = 32;
  options.live_sample_rate = 22050;
  options.live_channels = 1;
  options.live_block_duration = 200;  // blocks of 790 bytes: one AudioData each
  options.off_bitrate_k = 128;
  options.off_sample_rate = 44100;
  options.off_channels = 2;
  options.segment_minutes = 1;
  testing::HostSkimSwitch skim_switch;
  IArchive* archive = nullptr;
  ASSERT_NO_FATAL_FAILURE(
      logrum::testing::OpenArchive(host, kArchive, options, skim_switch, nullptr, &archive));
  const uint16_t port = FreePort();
  ASSERT_TRUE(host.server()->Open(port));

  const std::string anna = "--user anna --password secret";
  const std::string bert = "--user bert --password secret";
  const std::string name = std::string("'") + kArchive + "'";

  ClientRun run = Client(port, anna, "list");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, std::string(kArchive) + "\n");
  EXPECT_EQ(Client(port, bert, "list").out, "");
  EXPECT_EQ(Client(port, bert, "list --live").out, std::string(kArchive) + "\n");

  // The first segment (from the open to 10:02:00: alignment starts no segment
  // shorter than a minute) is indexed once it is finished.
  std::string minute;
  for (int i = 0; i < 120 && minute.empty(); ++i) {
    run = Client(port, anna, "index " + name + " 2026-06-01T10:00:00 2026-06-01T11:00:00");
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
      if (minute.empty() && line.rfind("2026.06.01-10.0", 0) == 0) minute = line;
    }
    if (minute.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  ASSERT_FALSE(minute.empty()) << run.out << run.err;
  const std::string start = minute.substr(0, minute.find(' '));
  const int duration_ms = std::stoi(minute.substr(minute.find(' ') + 1));
  EXPECT_GE(duration_ms, 60000);

  // 20 s from 10 s into the minute, decoded.
  const std::string played = Root() + "/played.mp3";
  run = Client(port, anna, "play " + name + " " + start + " 10000 20000 -o " + played);
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<int16_t> pcm = logrum::testing::DecodeWithFfmpeg(played, 2, kRate);
  const double seconds = static_cast<double>(pcm.size()) / 2 / kRate;
  EXPECT_NEAR(seconds, 20.0, 0.1);
  EXPECT_NEAR(Frequency(pcm, 2, 0, kRate), 440, 5);
  EXPECT_NEAR(Frequency(pcm, 2, 1, kRate), 1000, 10);

  // Rights are checked where the data is served.
  run = Client(port, bert, "play " + name + " " + start + " 0 1000 -o " + Root() + "/no.mp3");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Access denied"), std::string::npos) << run.err;
  run = Client(port, bert, "index " + name + " 2026-06-01T10:00:00 2026-06-01T11:00:00");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Access denied"), std::string::npos) << run.err;

  // The live stream: 32 kbit/s, 22050 Hz mono.
  const std::string live = Root() + "/live.mp3";
  run = Client(port, bert, "live " + name + " -o " + live + " --seconds 3");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("32 kbit/s, 22050 Hz, 1 channel"), std::string::npos) << run.err;
  pcm = logrum::testing::DecodeWithFfmpeg(live, 1, 22050);
  EXPECT_GE(static_cast<double>(pcm.size()) / 22050, 2.5)
      << std::filesystem::file_size(live) << " bytes; " << run.err;

  // Status: the tone's levels (8000 peak) and this client attached.
  run = Client(port, anna, "status " + name + " --count 3");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("clients 1"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("peak max 7999"), std::string::npos) << run.out;

  // Nine clients at once, each following the status for a few seconds: all
  // are served together (the ninth grows the pool), so each sees nine
  // attached clients at some point.
  std::vector<FILE*> pipes;
  for (int i = 0; i < 9; ++i) {
    const std::string command = std::string(LOGRUM2_BUILD_DIR) + "/bin/logrum-client --port " +
                                std::to_string(port) + " " + anna + " status " + name +
                                " --count 150 2>/dev/null";
    pipes.push_back(::popen(command.c_str(), "r"));
    ASSERT_NE(pipes.back(), nullptr);
  }
  for (FILE* pipe : pipes) {
    std::string out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    EXPECT_EQ(::pclose(pipe), 0);
    EXPECT_NE(out.find("clients 9,"), std::string::npos) << out.substr(0, 400);
  }

  host.server()->Close();
  archive->Close();
  archive->Release();
  host.Unload();
}

}  // namespace
}  // namespace logrum::archive
