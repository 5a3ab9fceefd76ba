#include "Lib/Kit/TaskThread.h"

namespace logrum::kit {

TaskThread::TaskThread() = default;

TaskThread::~TaskThread() {
  std::unique_ptr<ThreadObject> thread;
  {
    std::lock_guard<std::mutex> lock(mu_);
    thread = std::move(thread_);
  }
  if (thread == nullptr) return;
  // A running task finishes first; the loop then sees the quit flag.
  quit_.store(true, std::memory_order_release);
  wake_.Set();
  thread.reset();
}

bool TaskThread::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  if (thread_ != nullptr) return false;
  quit_.store(false, std::memory_order_release);
  auto thread = std::make_unique<ThreadObject>(&ThreadProcedure, this, 0, true, 0);
  if (thread->handle() == 0) {
    quit_.store(true, std::memory_order_release);
    return false;
  }
  started_.Wait(kInfinite);
  thread_ = std::move(thread);
  return true;
}

bool TaskThread::Stop(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  if (thread_ == nullptr || task_ != nullptr) return false;
  quit_.store(true, std::memory_order_release);
  wake_.Set();
  lock.unlock();
  if (!exited_.Wait(timeout_ms)) return false;
  lock.lock();
  thread_.reset();
  return true;
}

bool TaskThread::Execute(TaskThreadTask* task, uint32_t argument) {
  if (task == nullptr) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (thread_ == nullptr || task_ != nullptr || quit_.load(std::memory_order_acquire)) {
      return false;
    }
    task_ = task;
    argument_ = argument;
    // A done signal left from an earlier task must not answer this task's Cancel.
    done_.Reset();
  }
  wake_.Set();
  accepted_.Wait(kInfinite);
  return true;
}

bool TaskThread::Cancel(uint32_t timeout_ms) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (thread_ == nullptr || task_ == nullptr) return false;
    // Under the lock: the task thread clears the task under it too, so the task
    // object is still in use here.
    task_->Cancel();
  }
  return done_.Wait(timeout_ms);
}

bool TaskThread::IsStarted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return thread_ != nullptr;
}

bool TaskThread::IsBusy() const {
  std::lock_guard<std::mutex> lock(mu_);
  return task_ != nullptr;
}

int TaskThread::ThreadProcedure(void* argument) {
  static_cast<TaskThread*>(argument)->Loop();
  return 0;
}

void TaskThread::Loop() {
  started_.Set();
  while (!quit_.load(std::memory_order_acquire)) {
    wake_.Wait(kInfinite);
    if (quit_.load(std::memory_order_acquire)) break;
    TaskThreadTask* task;
    uint32_t argument;
    {
      std::lock_guard<std::mutex> lock(mu_);
      task = task_;
      argument = argument_;
    }
    if (task == nullptr) continue;
    accepted_.Set();
    task->Run(argument);
    {
      // Together with clearing the task, so that a following Execute's reset
      // of the done event cannot be overtaken by this signal.
      std::lock_guard<std::mutex> lock(mu_);
      task_ = nullptr;
      done_.Set();
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    task_ = nullptr;
  }
  exited_.Set();
}

}  // namespace logrum::kit
