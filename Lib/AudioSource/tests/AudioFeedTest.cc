#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstring>

#include "Lib/AudioSource/AudioFeedThread.h"
#include "Lib/AudioSource/AudioSourceManager.h"
#include "Lib/AudioSource/WaveInSource.h"
#include "Lib/AudioSource/tests/AudioTestUtil.h"
#include "Lib/Kit/ObjectPool.h"

namespace logrum::audio {
namespace {

using testing::RecordingListener;
using testing::RecordingSink;
using testing::TraceLines;

constexpr uint32_t kBlockFrames = 9216;  // 36864 bytes

class AudioFeedTest : public testing::VirtualDeviceTest {
 protected:
  // Declares one file device of `frames` pattern frames and builds the manager.
  void StartWithFile(size_t frames) {
    std::string path = PatternFile("pattern.wav", frames, &file_);
    Declare("Pattern=file:" + path);
    manager_ = std::make_unique<AudioSourceManager>();
    device_ = alsa_count_;
  }
  void TearDown() override {
    manager_.reset();
    VirtualDeviceTest::TearDown();
  }
  bool Define(const DeviceInfo& info) { return manager_->DefineDevice(&info); }
  int16_t FileSample(size_t i) const { return file_[i % file_.size()]; }

  std::vector<int16_t> file_;
  std::unique_ptr<AudioSourceManager> manager_;
  uint32_t device_ = 0;
};

TEST_F(AudioFeedTest, StereoSubscriberReceivesTheCapturedBlocksUnchanged) {
  StartWithFile(20000);
  ASSERT_TRUE(Define(Info(device_, "Stereo")));
  RecordingSink sink;
  RecordingListener listener;
  SourceSubscription sub{&sink, 3, &listener};
  ASSERT_TRUE(manager_->Subscribe("Stereo", &sub));
  AdvanceToFrame(3 * kBlockFrames);
  ASSERT_TRUE(sink.WaitBlocks(3));

  EXPECT_EQ(sink.lengths(), (std::vector<uint32_t>{36864, 36864, 36864}));
  EXPECT_EQ(sink.flags(), (std::vector<uint32_t>{1, 1, 1}));
  auto samples = sink.samples();
  for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], FileSample(i)) << i;

  // Each buffer's peaks: a stereo source's listener sees the left channel.
  auto levels = listener.levels();
  ASSERT_GE(levels.size(), 3u);
  for (size_t b = 0; b < 3; ++b) {
    int16_t lo = 32767, hi = -32767;
    for (size_t f = b * kBlockFrames; f < (b + 1) * kBlockFrames; ++f) {
      lo = std::min(lo, FileSample(2 * f));
      hi = std::max(hi, FileSample(2 * f));
    }
    EXPECT_EQ(levels[b].minimum, lo);
    EXPECT_EQ(levels[b].maximum, hi);
    EXPECT_EQ(levels[b].reserved, 0);
  }
  manager_->RemoveAll();  // before the sinks go
}

// Left and right subscribers of a split device get each side in both channels; with a
// block size that is not whole frames, every block still starts on a frame.
TEST_F(AudioFeedTest, SplitDeviceDeliversLeftAndRightCopies) {
  for (int32_t block : {36864, 36866}) {
    SCOPED_TRACE(block);
    MarkStart();
    StartWithFile(30011);
    ASSERT_TRUE(Define(
        Info(device_, "L", "R", true, block)));
    RecordingSink left, right;
    RecordingListener left_levels, right_levels;
    SourceSubscription sl{&left, 3, &left_levels}, sr{&right, 3, &right_levels};
    ASSERT_TRUE(manager_->Subscribe("L", &sl));
    ASSERT_TRUE(manager_->Subscribe("R", &sr));
    AdvanceToFrame(4 * kBlockFrames);
    ASSERT_TRUE(left.WaitBlocks(3));
    ASSERT_TRUE(right.WaitBlocks(3));
    // The feed thread may be handing the next block to one side while we look:
    // compare the blocks that both sides have received.
    auto l = left.samples();
    auto r = right.samples();
    auto left_lengths = left.lengths();
    auto right_lengths = right.lengths();
    size_t blocks = std::min(left_lengths.size(), right_lengths.size());
    left_lengths.resize(blocks);
    right_lengths.resize(blocks);
    for (uint32_t length : left_lengths) EXPECT_EQ(length, 36864u);
    EXPECT_EQ(left_lengths, right_lengths);
    size_t common = std::min(l.size(), r.size());
    ASSERT_GE(common, 3u * 36864u / sizeof(l[0]));
    l.resize(common);
    r.resize(common);
    for (size_t f = 0; f < l.size() / 2; ++f) {
      ASSERT_EQ(l[2 * f], FileSample(2 * f)) << f;
      ASSERT_EQ(l[2 * f + 1], FileSample(2 * f)) << f;
      ASSERT_EQ(r[2 * f], FileSample(2 * f + 1)) << f;
      ASSERT_EQ(r[2 * f + 1], FileSample(2 * f + 1)) << f;
    }
    auto rl = right_levels.levels();
    ASSERT_FALSE(rl.empty());
    int16_t hi = -32767;
    for (size_t f = 0; f < kBlockFrames; ++f) hi = std::max(hi, FileSample(2 * f + 1));
    EXPECT_EQ(rl[0].maximum, hi);
    ASSERT_TRUE(manager_->Unsubscribe("L", &sl));
    ASSERT_TRUE(manager_->Unsubscribe("R", &sr));
    manager_.reset();
  }
}

TEST_F(AudioFeedTest, DuplicateSinkGetsEveryBlockTwiceDuplicateListenerIsRefused) {
  StartWithFile(1000);
  ASSERT_TRUE(Define(Info(device_, "S")));
  RecordingSink sink;
  RecordingListener listener;
  ASSERT_TRUE(manager_->Subscribe("S", nullptr));  // starts the device
  CAudioSourceThread* thread = manager_->capture_thread(device_);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(thread->Subscribe(&sink, &listener, kChannelStereo, 1));
  EXPECT_FALSE(thread->Subscribe(&sink, &listener, kChannelStereo, 1));
  AdvanceToFrame(kBlockFrames);
  ASSERT_TRUE(sink.WaitBlocks(2));
  EXPECT_EQ(sink.blocks(), 2u);
  auto s = sink.samples();
  ASSERT_EQ(s.size(), 2u * 2 * kBlockFrames);
  EXPECT_TRUE(std::equal(s.begin(), s.begin() + 2 * kBlockFrames, s.begin() + 2 * kBlockFrames));
  manager_->RemoveAll();
}

TEST_F(AudioFeedTest, FailingSinkIsDroppedAndMasksSelectBlocks) {
  StartWithFile(1000);
  ASSERT_TRUE(Define(Info(device_, "S")));
  TraceLines trace;
  RecordingSink failing, steady, other_flags;
  failing.set_result(false);
  SourceSubscription a{&failing, 3, nullptr}, b{&steady, 1, nullptr}, c{&other_flags, 2, nullptr};
  ASSERT_TRUE(manager_->Subscribe("S", &a));
  ASSERT_TRUE(manager_->Subscribe("S", &b));
  ASSERT_TRUE(manager_->Subscribe("S", &c));
  AdvanceToFrame(3 * kBlockFrames);
  ASSERT_TRUE(steady.WaitBlocks(3));
  EXPECT_EQ(failing.blocks(), 1u);
  EXPECT_EQ(other_flags.blocks(), 0u);
  EXPECT_TRUE(trace.Contains("Write Error: Remove SSinkData 0x"));
  EXPECT_EQ(manager_->capture_thread(device_)->sink_count(), 2u);

  // End of stream: each removed subscriber hears it once, at its removal; the dropped
  // one hears nothing more.
  ASSERT_TRUE(manager_->Unsubscribe("S", &b));
  EXPECT_EQ(steady.nulls(), 1);
  ASSERT_TRUE(manager_->Unsubscribe("S", &a));
  ASSERT_TRUE(manager_->Unsubscribe("S", &c));
  EXPECT_FALSE(manager_->IsDeviceActive(device_));
  EXPECT_EQ(other_flags.nulls(), 1);
  EXPECT_EQ(failing.nulls(), 0);
  EXPECT_EQ(steady.nulls(), 1);
}

// An hour on the manual clock: the subscriber receives the file's samples in order,
// looping, with nothing lost and nothing repeated.
TEST_F(AudioFeedTest, FileDeviceDeliversAnHourWithoutAGap) {
  StartWithFile(44137);  // a loop that does not fall on block boundaries
  ASSERT_TRUE(Define(Info(device_, "Hour")));

  struct CheckingSink : AudioSink {
    const std::vector<int16_t>* file;
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t frames = 0;
    int64_t first_bad = -1;
    bool Write(IBlock* block) override {
      if (block == nullptr) return true;
      const auto* s = reinterpret_cast<const int16_t*>(block->GetData());
      uint32_t n = block->GetDataLength() / 2;
      size_t pos = static_cast<size_t>((frames * 2) % file->size());
      for (uint32_t i = 0; i < n; ++i) {
        if (s[i] != (*file)[pos] && first_bad < 0) first_bad = static_cast<int64_t>(frames * 2 + i);
        if (++pos == file->size()) pos = 0;
      }
      std::lock_guard lock(mutex);
      frames += n / 2;
      changed.notify_all();
      return true;
    }
  } sink;
  sink.file = &file_;
  SourceSubscription sub{&sink, 3, nullptr};
  ASSERT_TRUE(manager_->Subscribe("Hour", &sub));
  const int64_t kHourFrames = 3600LL * 44100;
  for (int64_t due = 5 * 44100; due <= kHourFrames; due += 5 * 44100) {
    AdvanceToFrame(due);
    uint64_t want = static_cast<uint64_t>(due / kBlockFrames * kBlockFrames);
    std::unique_lock lock(sink.mutex);
    ASSERT_TRUE(sink.changed.wait_for(lock, std::chrono::seconds(30),
                                      [&] { return sink.frames >= want; }))
        << "at frame " << due;
    ASSERT_EQ(sink.frames, want);
  }
  EXPECT_EQ(sink.first_bad, -1);
  EXPECT_GE(sink.frames, static_cast<uint64_t>(kHourFrames - kBlockFrames));
  platform::WaveInStats stats = manager_->capture_thread(device_)->stats();
  EXPECT_EQ(stats.overruns, 0u);
  EXPECT_EQ(stats.frames_lost, 0u);
  manager_->RemoveAll();
}

// The device's own thread only counts an overrun: the feed thread puts it into words
// on the trace, and the counts are kept per device, readable through the manager, also
// after the device has stopped. Blocks carry their capture time, and the gap shows in
// it as the audio that was lost.
TEST_F(AudioFeedTest, OverrunsAreCountedPerDeviceAndTracedOffTheCaptureThread) {
  Declare("Busy=tone:440;Quiet=silence");
  manager_ = std::make_unique<AudioSourceManager>();
  const uint32_t busy = alsa_count_, quiet = alsa_count_ + 1;
  ASSERT_TRUE(Define(Info(busy, "Busy")));
  ASSERT_TRUE(Define(Info(quiet, "Quiet")));

  struct TimedSink : AudioSink {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int64_t> times;
    std::thread::id thread;
    bool Write(IBlock* block) override {
      if (block == nullptr) return true;
      std::lock_guard lock(mutex);
      times.push_back(block->GetTimeUs());
      thread = std::this_thread::get_id();
      changed.notify_all();
      return true;
    }
    bool WaitBlocks(size_t n) {
      std::unique_lock lock(mutex);
      return changed.wait_for(lock, std::chrono::seconds(30), [&] { return times.size() >= n; });
    }
  } busy_sink, quiet_sink;
  struct Tap {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::string, std::thread::id>> lines;
    static void Write(void* context, const char* line) {
      auto* self = static_cast<Tap*>(context);
      std::lock_guard lock(self->mutex);
      self->lines.emplace_back(line, std::this_thread::get_id());
      self->changed.notify_all();
    }
    bool WaitFor(const std::string& text, std::thread::id* thread) {
      std::unique_lock lock(mutex);
      return changed.wait_for(lock, std::chrono::seconds(30), [&] {
        for (const auto& [line, id] : lines) {
          if (line.find(text) != std::string::npos) {
            *thread = id;
            return true;
          }
        }
        return false;
      });
    }
  } tap;
  SetTraceTap(&Tap::Write, &tap);

  MarkStart();
  SourceSubscription busy_sub{&busy_sink, 3, nullptr};
  ASSERT_TRUE(manager_->Subscribe("Busy", &busy_sub));
  AdvanceToFrame(2 * kBlockFrames);
  ASSERT_TRUE(busy_sink.WaitBlocks(2));
  // Fifteen seconds at once: the device keeps ten and drops five, as a sound card
  // whose buffers nobody took would.
  clock_.AdvanceUs(15 * 1000000);
  constexpr uint64_t kLost = 5 * 44100;
  std::thread::id traced_on;
  ASSERT_TRUE(tap.WaitFor("audiosrc: capture device 'Busy': overrun, 220500 frames (5000.0 ms) "
                          "of audio lost in 1 gaps\n",
                          &traced_on));
  const size_t delivered = 2 + 10 * 44100 / kBlockFrames;
  ASSERT_TRUE(busy_sink.WaitBlocks(delivered));

  SourceSubscription quiet_sub{&quiet_sink, 3, nullptr};
  ASSERT_TRUE(manager_->Subscribe("Quiet", &quiet_sub));
  clock_.AdvanceUs(2 * (int64_t{kBlockFrames} * 1000000 / 44100 + 1));
  ASSERT_TRUE(quiet_sink.WaitBlocks(2));

  CaptureStats stats{};
  ASSERT_TRUE(manager_->GetCaptureStats(busy, &stats));
  EXPECT_EQ(stats.nOverruns, 1u);
  EXPECT_EQ(stats.nLostFrames, kLost);
  EXPECT_EQ(stats.nLostMs, 5000u);
  EXPECT_EQ(stats.bActive, 1);
  EXPECT_GE(stats.nFramesCaptured, delivered * kBlockFrames);
  ASSERT_TRUE(manager_->GetCaptureStats(quiet, &stats));
  EXPECT_EQ(stats.nOverruns, 0u);
  EXPECT_EQ(stats.nLostFrames, 0u);
  EXPECT_EQ(stats.bActive, 1);
  EXPECT_FALSE(manager_->GetCaptureStats(manager_->device_count(), &stats));
  EXPECT_FALSE(manager_->GetCaptureStats(busy, nullptr));

  ASSERT_TRUE(manager_->Unsubscribe("Busy", &busy_sub));
  ASSERT_TRUE(manager_->GetCaptureStats(busy, &stats));
  EXPECT_EQ(stats.nOverruns, 1u);
  EXPECT_EQ(stats.nLostMs, 5000u);
  EXPECT_EQ(stats.bActive, 0);
  manager_->RemoveAll();
  SetTraceTap(nullptr, nullptr);

  // Traced on the thread that feeds the sinks, never on the device's own.
  std::lock_guard lock(busy_sink.mutex);
  EXPECT_EQ(traced_on, busy_sink.thread);
  // Each block is a block's length after the one before, except across the gap.
  const auto frame_us = [](uint64_t frames) {
    return static_cast<double>(frames) * 1e6 / 44100.0;
  };
  ASSERT_GE(busy_sink.times.size(), delivered);
  EXPECT_EQ(busy_sink.times[0], start_us_);
  int gaps = 0;
  for (size_t i = 1; i < busy_sink.times.size(); ++i) {
    const double step = static_cast<double>(busy_sink.times[i] - busy_sink.times[i - 1]);
    if (std::abs(step - frame_us(kBlockFrames)) <= 1.0) continue;
    ++gaps;
    EXPECT_NEAR(step, frame_us(kBlockFrames + kLost), 1.0) << "block " << i;
  }
  EXPECT_EQ(gaps, 1);
}

TEST(SplitBlockTest, ShortOutputsOrPartFramesAreReportedAndCut) {
  TraceLines trace;
  kit::CBlockPool* pool = kit::CBlockPool::Create(16);
  kit::CPoolObject* source = pool->GetBlock();
  kit::CPoolObject* left = pool->GetBlock();
  kit::CPoolObject* right = pool->GetBlock();
  const int16_t frames[] = {1, -1, 2, -2, 3, -3, 4, -4};
  std::memcpy(source->data(), frames, sizeof frames);
  source->set_data_length(14);  // three frames and a half
  source->set_flags(5);
  SplitBlock(source, left, right);
  EXPECT_TRUE(trace.Contains("Assert failed!"));
  EXPECT_TRUE(trace.Contains("AFT.SplitBlock(3 from "));
  EXPECT_EQ(left->data_length(), 12u);
  EXPECT_EQ(right->data_length(), 12u);
  EXPECT_EQ(left->GetFlags(), 5u);
  const auto* l = reinterpret_cast<const int16_t*>(left->data());
  const auto* r = reinterpret_cast<const int16_t*>(right->data());
  EXPECT_EQ(std::vector<int16_t>(l, l + 6), (std::vector<int16_t>{1, 1, 2, 2, 3, 3}));
  EXPECT_EQ(std::vector<int16_t>(r, r + 6), (std::vector<int16_t>{-1, -1, -2, -2, -3, -3}));
  source->Release();
  left->Release();
  right->Release();
  pool->Release();
}

TEST(PeaksTest, EmptyStereoAndMonoBuffers) {
  Peaks empty = ComputePeaks(nullptr, 0, 2);
  EXPECT_EQ(empty.left_min, 32767);
  EXPECT_EQ(empty.left_max, -32767);
  EXPECT_EQ(empty.right_min, 32767);
  EXPECT_EQ(empty.right_max, -32767);
  const int16_t s[] = {5, -7, -3, 9, -32768, 0};
  Peaks stereo = ComputePeaks(s, sizeof s, 2);
  EXPECT_EQ(stereo.left_min, -32768);
  EXPECT_EQ(stereo.left_max, 5);
  EXPECT_EQ(stereo.right_min, -7);
  EXPECT_EQ(stereo.right_max, 9);
  Peaks mono = ComputePeaks(s, sizeof s, 1);
  EXPECT_EQ(mono.left_min, -32768);
  EXPECT_EQ(mono.right_max, 9);
  EXPECT_EQ(mono.left_max, mono.right_max);
}

TEST_F(AudioFeedTest, WaveInSourceClosesTwiceAndReadsNothingWhenClosed) {
  StartWithFile(1000);
  WaveInSource source(device_, 44100, 2, 16, 36864, WaveInSource::kBufferCount, nullptr);
  kit::ByteBuffer buffer;
  buffer.Allocate(64);
  EXPECT_EQ(source.Read(&buffer), -1);
  platform::Status status = source.OpenCapture();
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_TRUE(source.IsOpen());
  source.Close();
  source.Close();
  EXPECT_FALSE(source.IsOpen());
  EXPECT_EQ(source.Read(&buffer), -1);
  // Reopening works (through the slot too), and a stop ends a waiting read at once.
  ASSERT_EQ(source.Open(), 0);
  source.Stop();
  EXPECT_EQ(source.Read(&buffer), -1);
}

}  // namespace
}  // namespace logrum::audio
