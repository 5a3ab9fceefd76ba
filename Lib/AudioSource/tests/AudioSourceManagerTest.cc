#include "Lib/AudioSource/AudioSourceManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "Lib/AudioSource/tests/AudioTestUtil.h"

namespace logrum::audio {
namespace {

using testing::RecordingSink;
using testing::TraceLines;

class AudioSourceManagerTest : public testing::VirtualDeviceTest {
 protected:
  void SetUp() override {
    VirtualDeviceTest::SetUp();
    Declare("Zero=silence;One=silence;TwentyCharactersName=silence;Broken=nonsense");
    manager_ = std::make_unique<AudioSourceManager>();
    a_ = alsa_count_;
    b_ = alsa_count_ + 1;
    named_ = alsa_count_ + 2;
    broken_ = alsa_count_ + 3;
  }
  void TearDown() override {
    manager_.reset();
    VirtualDeviceTest::TearDown();
  }
  bool Define(const DeviceInfo& info) { return manager_->DefineDevice(&info); }
  bool Sub(const char* name, SourceSubscription* s) { return manager_->Subscribe(name, s); }
  bool Unsub(const char* name, SourceSubscription* s) { return manager_->Unsubscribe(name, s); }

  std::unique_ptr<AudioSourceManager> manager_;
  uint32_t a_, b_, named_, broken_;
  RecordingSink sink_;
  SourceSubscription sub_{&sink_, 3, nullptr};
};

TEST_F(AudioSourceManagerTest, CountsAndNamesDevices) {
  EXPECT_EQ(manager_->GetNumDevices(), static_cast<int32_t>(alsa_count_ + 4));
  EXPECT_EQ(manager_->device_count(), alsa_count_ + 4);

  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(manager_->GetDeviceName(named_, buffer, 10), 21u);  // 20 characters + 1
  EXPECT_STREQ(buffer, "TwentyCha");
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(manager_->GetDeviceName(named_, buffer, 64), 21u);
  EXPECT_STREQ(buffer, "TwentyCharactersName");
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(manager_->GetDeviceName(named_, buffer, 1), 21u);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(buffer[1], 'x');
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(manager_->GetDeviceName(named_, buffer, 0), 21u);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(manager_->GetDeviceName(named_, nullptr, 64), 21u);
  EXPECT_EQ(manager_->GetDeviceName(alsa_count_ + 4, buffer, 64), 0u);
}

TEST_F(AudioSourceManagerTest, DefineDeviceRules) {
  TraceLines trace;
  // Index equal to the device count.
  EXPECT_FALSE(Define(Info(manager_->device_count(), "Past")));
  EXPECT_TRUE(trace.Contains("DefineDevice: Failed: Invalid device index\n"));

  // Redefining a stopped device with its own names works.
  ASSERT_TRUE(Define(Info(a_, "Studio L", "Studio R", true)));
  ASSERT_TRUE(Define(Info(a_, "Studio L", "Studio R", true)));
  EXPECT_TRUE(trace.Contains("DefineDevice: Split mono: L='Studio L', R='Studio R'\n"));

  // A name of another device: refused, and the device's previous names are gone.
  ASSERT_TRUE(Define(Info(b_, "Line")));
  trace.Clear();
  EXPECT_FALSE(Define(Info(b_, "Studio R")));
  EXPECT_TRUE(trace.Contains("DefineDevice: Failed: Source 'Studio R' exists!\n"));
  EXPECT_FALSE(Sub("Line", &sub_));
  EXPECT_TRUE(trace.Contains("Subscribe: Source 'Line' not found!\n"));
  EXPECT_EQ(std::string(manager_->device_info(b_).szSourceLeft), "Line");  // record kept

  // One name for both sides of a split device would hide the left side.
  EXPECT_FALSE(Define(Info(b_, "Same", "Same", true)));

  // An active device cannot be redefined.
  ASSERT_TRUE(Sub("Studio L", &sub_));
  EXPECT_FALSE(Define(Info(a_, "Other")));
  EXPECT_TRUE(trace.Contains("DefineDevice: Failed: Device active!\n"));
  EXPECT_FALSE(manager_->DefineDevice(nullptr));
}

TEST_F(AudioSourceManagerTest, NamesAreCaseSensitive) {
  ASSERT_TRUE(Define(Info(a_, "Left")));
  ASSERT_TRUE(Define(Info(b_, "left")));
  RecordingSink upper, lower;
  SourceSubscription su{&upper, 3, nullptr}, sl{&lower, 3, nullptr};
  ASSERT_TRUE(Sub("Left", &su));
  ASSERT_TRUE(Sub("left", &sl));
  EXPECT_TRUE(manager_->IsDeviceActive(a_));
  EXPECT_TRUE(manager_->IsDeviceActive(b_));
  EXPECT_FALSE(Sub("LEFT", &su));
  manager_->RemoveAll();  // before the sinks go
}

TEST_F(AudioSourceManagerTest, SplitDeviceRunsOneThreadCountedPerSubscriber) {
  ASSERT_TRUE(Define(Info(a_, "L", "R", true)));
  RecordingSink left, right;
  SourceSubscription sl{&left, 3, nullptr}, sr{&right, 3, nullptr};
  ASSERT_TRUE(Sub("L", &sl));
  CAudioSourceThread* thread = manager_->capture_thread(a_);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(Sub("R", &sr));
  EXPECT_EQ(manager_->capture_thread(a_), thread);
  EXPECT_EQ(manager_->ref_count(a_), 2);
  EXPECT_EQ(thread->sink_count(), 2u);

  ASSERT_TRUE(Unsub("L", &sl));
  EXPECT_TRUE(manager_->IsDeviceActive(a_));
  EXPECT_EQ(left.nulls(), 1);  // told at its removal
  ASSERT_TRUE(Unsub("R", &sr));
  EXPECT_FALSE(manager_->IsDeviceActive(a_));
  EXPECT_EQ(manager_->ref_count(a_), 0);
  EXPECT_EQ(right.nulls(), 1);
  EXPECT_FALSE(Unsub("R", &sr));  // not running any more
}

TEST_F(AudioSourceManagerTest, BothChannelsOfASplitDeviceIsRefusedButCounted) {
  // A split device's names always select a side; the capture thread itself refuses the
  // both-channels selector.
  ASSERT_TRUE(Define(Info(a_, "L", "R", true)));
  ASSERT_TRUE(Sub("L", &sub_));
  RecordingSink both;
  EXPECT_FALSE(manager_->capture_thread(a_)->Subscribe(&both, nullptr, kChannelStereo, 3));
  EXPECT_EQ(manager_->capture_thread(a_)->sink_count(), 1u);
}

TEST_F(AudioSourceManagerTest, FailedStartLeavesNoThreadAndNoCount) {
  TraceLines trace;
  ASSERT_TRUE(Define(Info(broken_, "Broken")));
  EXPECT_FALSE(Sub("Broken", &sub_));
  EXPECT_FALSE(manager_->IsDeviceActive(broken_));
  EXPECT_EQ(manager_->ref_count(broken_), 0);
  EXPECT_TRUE(trace.Contains("Subscribe: Unable to start device"));

  // Nor can a block too small for one frame, or absurdly large, or a bad sample rate.
  for (int32_t block : {2, 0, -4, 0x7FFFFFFF}) {
    SCOPED_TRACE(block);
    ASSERT_TRUE(Define(Info(a_, "Odd", "", false, block)));
    EXPECT_FALSE(Sub("Odd", &sub_));
    EXPECT_FALSE(manager_->IsDeviceActive(a_));
    EXPECT_EQ(manager_->ref_count(a_), 0);
  }
  DeviceInfo rate = Info(a_, "Odd");
  rate.nSampleRate = 0;
  ASSERT_TRUE(Define(rate));
  EXPECT_FALSE(Sub("Odd", &sub_));
}

TEST_F(AudioSourceManagerTest, UnsubscribeNeedsARunningDeviceAndAKnownName) {
  ASSERT_TRUE(Define(Info(a_, "Idle")));
  EXPECT_FALSE(Unsub("Idle", &sub_));
  EXPECT_FALSE(Unsub("Nobody", &sub_));
  EXPECT_FALSE(Unsub(nullptr, &sub_));
  EXPECT_FALSE(Unsub("", &sub_));
  EXPECT_FALSE(Sub(nullptr, &sub_));
  EXPECT_FALSE(Sub("", &sub_));
}

TEST_F(AudioSourceManagerTest, RemoveAllStopsDevicesUnmapsNamesAndClearsCounts) {
  ASSERT_TRUE(Define(Info(a_, "A")));
  ASSERT_TRUE(Sub("A", &sub_));
  ASSERT_TRUE(Sub("A", &sub_));
  manager_->RemoveAll();
  EXPECT_FALSE(manager_->IsDeviceActive(a_));
  EXPECT_GE(sink_.nulls(), 1);  // end of stream when the thread ended
  EXPECT_FALSE(Sub("A", &sub_));
  EXPECT_EQ(manager_->ref_count(a_), 0);
  // Defined again, one subscriber and one unsubscribe stop the device.
  ASSERT_TRUE(Define(Info(a_, "A")));
  RecordingSink again;
  SourceSubscription s{&again, 3, nullptr};
  ASSERT_TRUE(Sub("A", &s));
  ASSERT_TRUE(Unsub("A", &s));
  EXPECT_FALSE(manager_->IsDeviceActive(a_));
}

TEST_F(AudioSourceManagerTest, DumpDeviceInfoWritesEveryField) {
  TraceLines trace;
  DeviceInfo info = Info(3, "Studio L", "Studio R", true, 36864);
  DumpDeviceInfo("label", &info);
  auto lines = trace.lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0].rfind("DeviceInfo (label @0x", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "  uDeviceIndex =3\n");
  EXPECT_EQ(lines[2], "  nSampleRate  =44100\n");
  EXPECT_EQ(lines[3], "  bSplitMono   =true\n");
  EXPECT_EQ(lines[4], "  cbPcmBlock   =36864\n");
  EXPECT_EQ(lines[5], "  szSourceLeft ='Studio L'\n");
  EXPECT_EQ(lines[6], "  szSourceRight='Studio R'\n");
  trace.Clear();
  DumpDeviceInfo("label", nullptr);
  EXPECT_EQ(trace.lines(), std::vector<std::string>{"DumpDeviceInfo: NULL!\n"});
}

TEST_F(AudioSourceManagerTest, NameWithoutTerminatorIsReadAsItsFirst63Characters) {
  DeviceInfo info = Info(a_, "");
  std::memset(info.szSourceLeft, 'n', sizeof info.szSourceLeft);
  std::memset(info.szSourceRight, 'r', sizeof info.szSourceRight);
  ASSERT_TRUE(Define(info));
  EXPECT_TRUE(Sub(std::string(63, 'n').c_str(), &sub_));
}

// Archives subscribe from their opening threads, the host unsubscribes from its own and
// every network connection subscribes a level listener from its thread: all at once.
// Run under ThreadSanitizer too; a lost count shows here as a device left running or
// stopped under a subscriber, a double start as two threads for one device.
TEST_F(AudioSourceManagerTest, ConcurrentCallersKeepCountsAndOneCaptureThread) {
  ASSERT_TRUE(Define(Info(a_, "L", "R", true)));
  ASSERT_TRUE(Define(Info(b_, "Stereo")));
  constexpr int kThreads = 6;
  constexpr int kRounds = 40;
  struct Caller {
    RecordingSink sink;
    testing::RecordingListener listener;
  };
  std::vector<Caller> callers(kThreads);
  std::atomic<bool> go{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      const char* name = t % 3 == 0 ? "L" : t % 3 == 1 ? "R" : "Stereo";
      SourceSubscription s{&callers[t].sink, 3, &callers[t].listener};
      for (int i = 0; i < kRounds; ++i) {
        if (!Sub(name, &s)) ++failures;
        manager_->IsDeviceActive(a_);
        if (!Unsub(name, &s)) ++failures;
      }
    });
  }
  // The host redefines a device nobody subscribes to meanwhile.
  threads.emplace_back([&] {
    while (!go.load()) std::this_thread::yield();
    for (int i = 0; i < kRounds; ++i) {
      if (!Define(Info(named_, i % 2 ? "Spare" : "Spare 2"))) ++failures;
    }
  });
  go = true;
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(manager_->ref_count(a_), 0);
  EXPECT_EQ(manager_->ref_count(b_), 0);
  EXPECT_FALSE(manager_->IsDeviceActive(a_));
  EXPECT_FALSE(manager_->IsDeviceActive(b_));
  for (auto& caller : callers) EXPECT_EQ(caller.sink.nulls(), kRounds);  // one per removal
}

// A capture device that fails (a USB interface pulled out) and comes back: the sinks
// learn that the stream ended where the audio stopped, the capture thread reopens the
// device by itself, and the same sinks receive audio again. The time in between is
// not filled with anything.
class DeviceRecoveryTest : public testing::VirtualDeviceTest {
 protected:
  static constexpr int32_t kBlockFrames = 4096;
  void SetUp() override {
    VirtualDeviceTest::SetUp();
    setenv(platform::kVirtualUnpluggedVariable, dir_.c_str(), 1);
    Declare("Spare=silence;Deck=tone:1000");
    manager_ = std::make_unique<AudioSourceManager>();
    deck_ = alsa_count_ + 1;
  }
  void TearDown() override {
    manager_.reset();
    unsetenv(platform::kVirtualUnpluggedVariable);
    VirtualDeviceTest::TearDown();
  }
  void Unplug() { std::ofstream(dir_ + "/Deck").put('x'); }
  void Plug() { std::filesystem::remove(dir_ + "/Deck"); }

  std::unique_ptr<AudioSourceManager> manager_;
  uint32_t deck_ = 0;
};

TEST_F(DeviceRecoveryTest, CaptureResumesAfterTheDeviceComesBack) {
  DeviceInfo info = Info(deck_, "Deck", "", false, kBlockFrames * 4);
  ASSERT_TRUE(manager_->DefineDevice(&info));
  RecordingSink sink;
  SourceSubscription s{&sink, 3, nullptr};
  MarkStart();
  ASSERT_TRUE(manager_->Subscribe("Deck", &s));
  CAudioSourceThread* thread = manager_->capture_thread(deck_);
  ASSERT_NE(thread, nullptr);
  AdvanceToFrame(3 * kBlockFrames);
  ASSERT_TRUE(sink.WaitBlocks(3));

  Unplug();
  clock_.AdvanceUs(10'000'000);  // ten seconds pass without the card
  ASSERT_TRUE(sink.WaitNulls(1));
  EXPECT_TRUE(thread->WaitInputLost(true, 30000));
  EXPECT_TRUE(manager_->IsDeviceActive(deck_));  // the thread stays, waiting for the card
  EXPECT_EQ(sink.blocks(), 3u);

  Plug();
  ASSERT_TRUE(thread->WaitInputLost(false, 30000));
  EXPECT_EQ(thread->outages(), 1u);
  clock_.AdvanceUs((2 * int64_t{kBlockFrames} * 1000000 + 44099) / 44100);
  ASSERT_TRUE(sink.WaitBlocks(5));
  // Five blocks of real audio and no more: the ten seconds stay a gap.
  EXPECT_EQ(sink.blocks(), 5u);
  for (uint32_t length : sink.lengths()) EXPECT_EQ(length, static_cast<uint32_t>(kBlockFrames * 4));
  EXPECT_EQ(sink.nulls(), 1);
  EXPECT_EQ(manager_->capture_thread(deck_), thread);

  ASSERT_TRUE(manager_->Unsubscribe("Deck", &s));
  EXPECT_FALSE(manager_->IsDeviceActive(deck_));
}

TEST_F(DeviceRecoveryTest, StoppingWhileTheDeviceIsMissingEndsAtOnce) {
  DeviceInfo info = Info(deck_, "Deck", "", false, kBlockFrames * 4);
  ASSERT_TRUE(manager_->DefineDevice(&info));
  RecordingSink sink;
  SourceSubscription s{&sink, 3, nullptr};
  ASSERT_TRUE(manager_->Subscribe("Deck", &s));
  CAudioSourceThread* thread = manager_->capture_thread(deck_);
  Unplug();
  clock_.AdvanceUs(1'000'000);
  ASSERT_TRUE(thread->WaitInputLost(true, 30000));
  // The back-off is waiting for the card; the last subscriber leaves.
  ASSERT_TRUE(manager_->Unsubscribe("Deck", &s));
  EXPECT_FALSE(manager_->IsDeviceActive(deck_));
  EXPECT_EQ(sink.nulls(), 2);  // the outage, then the removal
}

}  // namespace
}  // namespace logrum::audio
