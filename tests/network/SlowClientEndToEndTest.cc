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
#include "Lib/ArchiveManager/Time/ZoneTime.h"
#include "Lib/Kit/Mutex.h"
#include "tests/support/InProcessArchive.h"
#include "tests/support/SystemTest.h"
#include "tests/support/TestSupport.h"
#include "tests/support/Users.h"

namespace logrum::archive {
namespace {

constexpr int kRate = 44100;
constexpr char kArchive[] = "Studio A";

std::string Root() {
  return logrum::testing::ProgramFolder("slow-client-e2e");
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
    logrum::testing::SetUpToneStation(Root(), "start=2026-06-01T10:00:00,speed=75", 440, 440);
  }
};

TEST_F(SlowClientEndToEndTest, ZeroWindowLiveClientForTenMinutesKeepsMemoryFlatAndIsTold) {
  logrum::testing::AddUser(Root(), "anna", "secret", kArchive, 2);

  testing::ArchiveHost host;
  ASSERT_NO_FATAL_FAILURE(logrum::testing::LoadBuiltLibraries(host, "Studio"));
  testing::HostOptions options;
  logrum::testing::PlaceArchive(&options, Root(), "Studio");
  options.live_bitrate_k = 128;  // 16000 bytes a second; the limit is 160000
  options.live_sample_rate = 44100;
  options.live_channels = 1;
  options.segment_minutes = 60;  // no segment ends (with its one-off allocations) in the test
  testing::HostSkimSwitch skim_switch;
  IArchive* archive = nullptr;
  ASSERT_NO_FATAL_FAILURE(
      logrum::testing::OpenArchive(host, kArchive, options, skim_switch, nullptr, &archive));
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
    const double rss = logrum::testing::ResidentKiB() / 1000.0;
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
