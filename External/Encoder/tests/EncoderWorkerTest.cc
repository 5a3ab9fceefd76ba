// The encoders' input queue at a close that cannot wait: past the drain time
// what is queued is dropped, counted, and reported as one gap before the end.
#include "External/Encoder/EncoderWorker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>

#include "Lib/Kit/MemBlock.h"

namespace logrum::audenc {
namespace {

// An encoder as slow as it gets: the first block holds the worker until the
// test lets it go.
class HeldHandler : public EncoderWorker::Handler {
 public:
  void Process(const InputItem& item, const int16_t*) override {
    std::unique_lock lock(mu_);
    ++processed_;
    processed_frames_ += item.frames;
    held_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  void Gap(uint64_t position, uint64_t frames, int64_t) override {
    std::lock_guard lock(mu_);
    gaps_.push_back({position, frames});
    events_ += "gap ";
  }
  void EndOfInput(const char* why, int64_t) override {
    std::lock_guard lock(mu_);
    events_ += std::string("end:") + why;
  }
  bool WaitHeld() {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return held_; });
  }
  void Open() {
    std::lock_guard lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

  std::mutex mu_;
  std::condition_variable cv_;
  bool held_ = false, open_ = false;
  int processed_ = 0;
  uint64_t processed_frames_ = 0;
  std::vector<std::pair<uint64_t, uint64_t>> gaps_;
  std::string events_;
};

TEST(EncoderWorkerTest, StopPastItsDrainTimeDropsWhatIsQueuedAsOneGap) {
  constexpr uint32_t kFrames = 1024;
  HeldHandler handler;
  EncoderWorker worker(&handler, "test", 2, 100 * kFrames);
  ASSERT_TRUE(worker.Start());
  auto* block = new kit::MemBlock(kFrames * 4);
  block->set_data_length(kFrames * 4);
  ASSERT_TRUE(worker.Write(block->block()));
  ASSERT_TRUE(handler.WaitHeld());

  uint64_t written = 1;
  for (; written <= 20; ++written) ASSERT_TRUE(worker.Write(block->block()));
  auto stopped = std::async(std::launch::async, [&] { worker.Stop(0); });
  // Blocks keep coming until Stop turns the input away; past the queue's bound
  // they are dropped at once, before that they wait in the queue.
  while (worker.Write(block->block())) ++written;
  handler.Open();
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "hang guard";
  block->Release();

  EXPECT_EQ(handler.processed_, 1);  // nothing encoded after the deadline
  const uint64_t after_first = (written - 1) * kFrames;
  ASSERT_EQ(handler.gaps_.size(), 1u);
  EXPECT_EQ(handler.gaps_[0], (std::pair<uint64_t, uint64_t>{kFrames, after_first}));
  EXPECT_EQ(handler.events_, "gap end:encoder closed");
  EXPECT_EQ(worker.dropped_frames(), after_first);
  EXPECT_EQ(worker.dropped_at_stop_frames(), std::min<uint64_t>(after_first, 100 * kFrames));
  EXPECT_EQ(worker.queued_frames(), 0u);
}

// Without a drain time (and while it lasts) Stop encodes everything queued.
TEST(EncoderWorkerTest, StopWithinItsDrainTimeEncodesEverything) {
  constexpr uint32_t kFrames = 1024;
  HeldHandler handler;
  handler.Open();
  EncoderWorker worker(&handler, "test", 2, 100 * kFrames);
  ASSERT_TRUE(worker.Start());
  auto* block = new kit::MemBlock(kFrames * 4);
  block->set_data_length(kFrames * 4);
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(worker.Write(block->block()));
  block->Release();
  worker.Stop(EncoderWorker::kDrainAll);
  EXPECT_EQ(handler.processed_frames_, 50u * kFrames);
  EXPECT_EQ(handler.events_, "end:encoder closed");
  EXPECT_EQ(worker.dropped_frames(), 0u);
}

}  // namespace
}  // namespace logrum::audenc
