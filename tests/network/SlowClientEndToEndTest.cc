// A live listener that stops reading, end to end: archsvc.so records a tone
// from a virtual device on a clock running 75 times fast, with a live stream
// of 128 kbit/s. The client shuts its TCP window for ten minutes of that
// clock (8 s of real time, so within the server's 10 s send deadline even if
// the kernel's buffers take nothing). The process's
// resident memory stays flat meanwhile, and when the client reads again the
// stream ends with AudioError 4.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Lib/ArchiveManager/Archive/testing/ArchiveHost.h"
#include "Lib/ArchiveManager/Archive/testing/HostOptions.h"
#include "Lib/ArchiveManager/Protocol/Client/ProtocolClient.h"
#include "Lib/ArchiveManager/Protocol/Messages.h"
#include "Lib/ArchiveManager/Protocol/PasswordDigest.h"
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Kit/Mutex.h"
#include "Lib/Kit/Options/OptionsReg.h"
#include "Lib/Kit/Options/RegistryKey.h"
#include "Lib/Platform/Registry.h"
#include "tests/support/TestSupport.h"

namespace logrum::archive {
namespace {

constexpr int kRate = 44100;
constexpr char kUsers[] = "Software\\Norvane Systems\\Logrum2\\Users";
constexpr char kArchive[] = "Studio A";

std::string Root() {
  static std::string root = [] {
    char pattern[] = "/tmp/logrum-slow-client-e2e-XXXXXX";
    return std::string(::mkdtemp(pattern));
  }();
  return root;
}

double ResidentMB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1000.0;
  }
  return 0;
}

// Reads nothing once the stream has begun, until `resume` is set.
class StallingReceiver : public protocol::AudioReceiver {
 public:
  bool OnAudioBegin(const protocol::AudioFormatInfo&) override {
    kit::UniqueLock lock(mu);
    began = true;
    changed.notify_all();
    changed.wait_for(lock.native(), std::chrono::seconds(120),
                     [this]() REQUIRES(mu) { return resume; });
    return true;
  }
  bool OnAudioData(const uint8_t*, size_t) override {
    ++blocks;
    return true;
  }
  kit::Mutex mu;
  std::condition_variable changed;
  bool began GUARDED_BY(mu) = false;
  bool resume GUARDED_BY(mu) = false;
  std::atomic<size_t> blocks{0};
};

class SlowClientEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const int frames = kRate * 10;
    std::vector<int16_t> pcm(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
      pcm[2 * i] = pcm[2 * i + 1] =
          static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * i / static_cast<double>(kRate)));
    }
    logrum::testing::WriteStereoWav(Root() + "/tone.wav", pcm, kRate);
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    ::setenv("LOGRUM2_HOME", Root().c_str(), 1);
    ::setenv("LOGRUM2_CLOCK", "start=2026-06-01T10:00:00,speed=75", 1);
    ::setenv("LOGRUM2_VIRTUAL_DEVICES", ("Tone=file:" + Root() + "/tone.wav").c_str(), 1);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    std::filesystem::remove_all(Root(), ec);
  }
};

TEST_F(SlowClientEndToEndTest, ZeroWindowLiveClientForTenMinutesKeepsMemoryFlatAndIsTold) {
  {
    std::unique_ptr<platform::Registry> store;
    ASSERT_TRUE(platform::Registry::Open(Root() + "/registry.db3", &store).ok());
    kit::RegistryKey users(false, store.get());
    ASSERT_TRUE(users.Open(kUsers, false));
    ASSERT_TRUE(
        users.WriteString("anna", "Password", protocol::PasswordDigestText("anna", "secret")));
    kit::OptionsReg rights(false, store.get());
    rights.SetInteger(kArchive, 2);
    ASSERT_TRUE(rights.Save(std::string(kUsers) + "\\anna\\ArchiveRights"));
  }

  testing::ArchiveHost host;
  std::string error;
  ASSERT_TRUE(host.Load(std::string(LOGRUM2_BUILD_DIR) + "/lib", &error)) << error;
  ASSERT_TRUE(host.DefineSource(0, "Studio"));
  testing::HostOptions options;
  options.log_path = Root() + "/logs";
  options.archive_path = Root() + "/archive";
  options.source_name = "Studio";
  options.live_bitrate_k = 128;  // 16000 bytes a second; the limit is 160000
  options.live_sample_rate = 44100;
  options.live_channels = 1;
  options.segment_minutes = 60;  // no segment ends (with its one-off allocations) in the test
  testing::HostSkimSwitch skim_switch;
  IArchive* archive = host.manager()->CreateArchive(kArchive);
  ASSERT_NE(archive, nullptr);
  ASSERT_TRUE(archive->Open(&options, &skim_switch, nullptr, true, nullptr));
  const uint16_t port = logrum::testing::FreeLoopbackPort();
  ASSERT_TRUE(host.server()->Open(port));

  protocol::ProtocolClient client;
  protocol::ClientOptions client_options;
  client_options.receive_buffer = 4096;
  client_options.answer_timeout_ms = 60000;
  ASSERT_TRUE(client.Connect("127.0.0.1", port, client_options).ok());
  ASSERT_TRUE(client.LoginWithPassword("anna", "secret").ok());
  ASSERT_TRUE(client.Attach(kArchive).ok());
  StallingReceiver receiver;
  protocol::ClientStatus status = protocol::ClientStatus::Ok();
  std::thread listener([&] { status = client.PlayLive(receiver); });
  {
    kit::UniqueLock lock(receiver.mu);
    ASSERT_TRUE(receiver.changed.wait_for(lock.native(), std::chrono::seconds(30),
                                          [&]() REQUIRES(receiver.mu) { return receiver.began; }));
  }

  // Ten minutes on the process clock; resident memory once a minute, from
  // the end of the first (the encoders and pools have settled by then).
  const int64_t start = CZoneTime::Now().ToLinear();
  double rss_start = 0, rss_max = 0;
  for (int minute = 1; minute <= 10; ++minute) {
    while (CZoneTime::Now().ToLinear() - start < int64_t{minute} * 60 * 10000000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const double rss = ResidentMB();
    if (minute == 1) rss_start = rss;
    rss_max = std::max(rss_max, rss);
  }
  // Unbounded, the queue would grow by almost 1 MB a minute of stream once
  // the kernel's buffers are full (after about three minutes): 6 MB or more.
  // Bounded, what moves is the recording's own working memory (about 1.5 MB).
  EXPECT_LT(rss_max - rss_start, 3.0) << "after a minute " << rss_start << " MB, max " << rss_max;

  {
    kit::MutexLock lock(receiver.mu);
    receiver.resume = true;
    receiver.changed.notify_all();
  }
  listener.join();
  EXPECT_EQ(status.result(), protocol::kAudioTooSlow) << status.ToString();
  EXPECT_GT(receiver.blocks.load(), 0u);
  EXPECT_TRUE(client.Ping().ok());

  host.server()->Close();
  archive->Close();
  archive->Release();
  host.Unload();
}

}  // namespace
}  // namespace logrum::archive
