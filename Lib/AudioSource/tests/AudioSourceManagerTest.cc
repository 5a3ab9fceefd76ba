#include "Lib/AudioSource/AudioSourceManager.h"

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
}  // namespace logrum::audio
