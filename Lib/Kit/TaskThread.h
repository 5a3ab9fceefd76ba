// A thread that runs one task at a time for its caller (the network service's
// connection and listener threads).
//
//   Start()            starts the thread and waits until it runs.
//   Execute(task, a)   hands a task over and returns once the thread accepted it;
//                      the task then runs on the task thread.
//   Cancel(timeout)    asks the running task to stop (TaskThreadTask::Cancel) and
//                      waits for it to finish.
//   Stop(timeout)      ends an idle thread.
// Calls made in the wrong state return false and change nothing.
//
// Ownership: the task object stays the caller's; it must outlive its run.
// Thread safety: the operations may be called from any thread other than the
// task thread itself; Cancel may be called while Execute's task runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "Lib/Kit/EventObject.h"
#include "Lib/Kit/Mutex.h"
#include "Lib/Kit/ThreadObject.h"

namespace logrum::kit {

class TaskThreadTask {
 public:
  // Slot 1: runs on the task thread.
  virtual void Run(uint32_t argument) = 0;
  // Slot 2: called from another thread to make a running Run return soon.
  virtual void Cancel() = 0;

 protected:
  ~TaskThreadTask() = default;
};

class TaskThread {
 public:
  TaskThread();
  TaskThread(const TaskThread&) = delete;
  TaskThread& operator=(const TaskThread&) = delete;
  // Ends the thread, waiting for a running task to finish first.
  virtual ~TaskThread();

  bool Start();
  bool Stop(uint32_t timeout_ms);
  bool Execute(TaskThreadTask* task, uint32_t argument);
  bool Cancel(uint32_t timeout_ms);
  bool IsStarted() const;
  // True while a task is set (accepted and not yet finished).
  bool IsBusy() const;

 private:
  static int ThreadProcedure(void* argument);
  void Loop();

  mutable Mutex mu_;  // guards thread_, task_, argument_
  std::unique_ptr<ThreadObject> thread_;
  EventObject started_{false, false};
  EventObject exited_{false, false};
  EventObject accepted_{false, false};
  EventObject done_{false, false};
  EventObject wake_{false, false};
  std::atomic<bool> quit_{true};
  TaskThreadTask* task_ = nullptr;
  uint32_t argument_ = 0;
};

}  // namespace logrum::kit
