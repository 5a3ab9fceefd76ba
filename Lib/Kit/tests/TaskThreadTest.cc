#include <gtest/gtest.h>

#include <atomic>

#include "Lib/Kit/TaskThread.h"

namespace logrum::kit {
namespace {

// A task that runs until cancelled (or released), recording its argument.
class BlockingTask : public TaskThreadTask {
 public:
  void Run(uint32_t argument) override {
    this->argument.store(argument);
    running.Set();
    go.Wait(kInfinite);
    runs.fetch_add(1);
  }
  void Cancel() override {
    cancels.fetch_add(1);
    go.Set();
  }

  std::atomic<uint32_t> argument{0};
  std::atomic<int> runs{0};
  std::atomic<int> cancels{0};
  EventObject running{false, false};
  EventObject go{true, false};
};

TEST(KitTaskThreadTest, CallsInTheWrongStateReturnFalse) {
  TaskThread thread;
  BlockingTask task;
  EXPECT_FALSE(thread.IsStarted());
  EXPECT_FALSE(thread.Execute(&task, 1));
  EXPECT_FALSE(thread.Cancel(0));
  EXPECT_FALSE(thread.Stop(kInfinite));

  ASSERT_TRUE(thread.Start());
  EXPECT_TRUE(thread.IsStarted());
  EXPECT_FALSE(thread.Start());
  EXPECT_FALSE(thread.Cancel(0));  // no task
  EXPECT_TRUE(thread.Stop(kInfinite));
  EXPECT_FALSE(thread.IsStarted());
  EXPECT_EQ(task.runs.load(), 0);
}

TEST(KitTaskThreadTest, ExecuteRunsTaskOnThreadAndRefusesASecondWhileBusy) {
  TaskThread thread;
  ASSERT_TRUE(thread.Start());
  BlockingTask task, other;
  ASSERT_TRUE(thread.Execute(&task, 77));
  ASSERT_TRUE(task.running.Wait(kInfinite));
  EXPECT_EQ(task.argument.load(), 77u);
  EXPECT_TRUE(thread.IsBusy());
  EXPECT_FALSE(thread.Execute(&other, 1));
  EXPECT_FALSE(thread.Stop(kInfinite));  // a task is still set

  EXPECT_TRUE(thread.Cancel(kInfinite));
  EXPECT_EQ(task.cancels.load(), 1);
  EXPECT_EQ(task.runs.load(), 1);
  EXPECT_FALSE(thread.IsBusy());

  // The thread takes the next task after the first.
  other.go.Set();
  ASSERT_TRUE(thread.Execute(&other, 2));
  ASSERT_TRUE(other.running.Wait(kInfinite));
  while (thread.IsBusy()) std::this_thread::yield();
  EXPECT_TRUE(thread.Stop(kInfinite));
  EXPECT_EQ(other.runs.load(), 1);
}

TEST(KitTaskThreadTest, CancelAfterAnEarlierTaskEndedWaitsForTheCurrentTask) {
  TaskThread thread;
  ASSERT_TRUE(thread.Start());
  BlockingTask first;
  first.go.Set();
  ASSERT_TRUE(thread.Execute(&first, 1));
  while (thread.IsBusy()) std::this_thread::yield();

  // The first task's done signal is not taken by anybody; it must not make the
  // cancel of the second one report success before that task has ended.
  class StubbornTask : public TaskThreadTask {
   public:
    void Run(uint32_t) override {
      running.Set();
      go.Wait(kInfinite);
    }
    void Cancel() override {}
    EventObject running{false, false};
    EventObject go{true, false};
  } second;
  ASSERT_TRUE(thread.Execute(&second, 2));
  ASSERT_TRUE(second.running.Wait(kInfinite));
  EXPECT_FALSE(thread.Cancel(20));  // time-out: the task ignores cancel
  second.go.Set();
  while (thread.IsBusy()) std::this_thread::yield();
  EXPECT_TRUE(thread.Stop(kInfinite));
}

TEST(KitTaskThreadTest, RestartsAfterStopAndDestructorWaitsForRunningTask) {
  BlockingTask task;
  {
    TaskThread thread;
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.Stop(kInfinite));
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.Execute(&task, 5));
    ASSERT_TRUE(task.running.Wait(kInfinite));
    task.go.Set();
  }
  EXPECT_EQ(task.runs.load(), 1);
}

}  // namespace
}  // namespace logrum::kit
