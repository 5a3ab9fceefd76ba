// Worker threads: the Run / SetExit protocol shared by every long-running
// activity of the archive service (AppThread) and of the audio capture library
// (CAppThread).
//
// Protocol:
//   Run()        starts the body on a new thread; while a thread started by Run
//                has not finished, Run only writes "Already running" and returns.
//   body         polls IsRunning() and returns when it reads false.
//   SetExit(c)   stores exit code c, clears the running flag and waits (no
//                time-out) until the body has returned and OnExit has run; then
//                the object is idle and may Run again.
// A self-deleting thread deletes its object when the body ends; its owner must
// not touch it afterwards and must not call SetExit.
//
// Both classes are one implementation (ThreadBase); a ThreadFlavor carries what
// differs between the two libraries: trace route, class-prefixed texts, how the
// name is stored, and the consistency checks of the capture copy.
//
// Thread safety: Run, SetExit, IsRunning and exit_code may be called from any
// thread. SetExit must not be called from the thread's own body (it then only
// clears the running flag and stores the exit code, without waiting).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Lib/Kit/EventObject.h"
#include "Lib/Kit/KitTrace.h"
#include "Lib/Kit/Mutex.h"
#include "Lib/Kit/ThreadObject.h"

namespace logrum::kit {

struct ThreadFlavor {
  const TraceRoute* route;
  const char* destructor_text;  // "...::~...! %s\n"
  const char* on_exit_text;     // "...::OnExit() %s\n"
  const char* already_running_text;
  bool full_name;      // false: at most 31 characters, null gives "AppThread"; true: as given, null
                       // stays null
  bool assert_checks;  // the capture copy's "Assert failed!" checks
};

// The archive service's flavor (AppThread) and the audio capture library's (CAppThread).
const ThreadFlavor& ArchiveThreadFlavor();
const ThreadFlavor& CaptureThreadFlavor();

class ThreadBase {
 public:
  ThreadBase(const ThreadBase&) = delete;
  ThreadBase& operator=(const ThreadBase&) = delete;

  // Slot 1: the thread body. Runs on the new thread; returns when IsRunning() reads false.
  virtual void Body() = 0;
  // Slot 2: called on the thread right after the body returns. Default: trace line.
  virtual void OnExit();
  // Slot 3. Stops the thread (SetExit(-1)) if it still runs.
  virtual ~ThreadBase();

  void Run();
  void SetExit(int32_t exit_code);

  // Read by the body without a lock; a stale read only delays the stop by one pass.
  bool IsRunning() const { return running_.load(std::memory_order_acquire); }
  int32_t exit_code() const { return exit_code_.load(std::memory_order_acquire); }
  // The stored name; null only for a CAppThread built with a null name.
  const char* name() const { return has_name_ ? name_.c_str() : nullptr; }
  uint32_t stack_size() const { return stack_size_; }
  int32_t priority() const { return priority_; }
  bool self_delete() const { return self_delete_.load(std::memory_order_acquire); }
  // True while a thread object exists (between Run and SetExit).
  bool HasThread() const;

 protected:
  ThreadBase(const ThreadFlavor& flavor, const char* name, uint32_t stack_size, int32_t priority,
             bool self_delete);
  void set_self_delete(bool on) { self_delete_.store(on, std::memory_order_release); }
  const TraceRoute& route() const { return *flavor_.route; }
  const ThreadFlavor& flavor() const { return flavor_; }

 private:
  static int ThreadProcedure(void* argument);
  const char* TraceName() const;

  const ThreadFlavor& flavor_;
  std::string name_;
  bool has_name_;
  std::unique_ptr<ThreadObject> thread_ GUARDED_BY(mu_);
  uint32_t stack_size_;
  int32_t priority_;
  std::atomic<int32_t> exit_code_{0};
  std::atomic<bool> self_delete_;
  EventObject quit_event_{true, true};  // non-signalled exactly while a thread started by Run runs
  mutable Mutex mu_;
  std::atomic<bool> running_{false};
};

// The archive service's worker thread.
class AppThread : public ThreadBase {
 protected:
  AppThread(const char* name, uint32_t stack_size, int32_t priority, bool self_delete)
      : ThreadBase(ArchiveThreadFlavor(), name, stack_size, priority, self_delete) {}
};

// The audio capture library's worker thread.
class CAppThread : public ThreadBase {
 protected:
  CAppThread(const char* name, uint32_t stack_size, int32_t priority, bool self_delete)
      : ThreadBase(CaptureThreadFlavor(), name, stack_size, priority, self_delete) {}
};

}  // namespace logrum::kit
