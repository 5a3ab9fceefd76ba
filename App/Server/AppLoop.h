// The server program's UI thread: one event loop that runs posted work and
// periodic timers, in the order they fall due.
//
// Other threads (signal watcher, archive service callbacks, the admin page)
// never touch the model themselves: they Post a task and the loop runs it on
// the UI thread. Timers are identified by small numbers as the main window's
// timers are (0: tray, 3: auto-start, ...); setting a timer that exists
// restarts it with the new period.
//
// Time comes from the process clock's tick count (Lib/Platform/Clock.h), so a
// test can drive the loop with a ManualClock and RunPending, without sleeping.
//
// Thread safety: Post and Quit from any thread; everything else on the thread
// that runs the loop.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "Lib/Kit/Mutex.h"
#include "Lib/Platform/Clock.h"

namespace logrum::server {

class AppLoop {
 public:
  using Task = std::function<void()>;

  // `clock` null uses the process clock at each reading.
  explicit AppLoop(platform::Clock* clock = nullptr) : clock_(clock) {}
  AppLoop(const AppLoop&) = delete;
  AppLoop& operator=(const AppLoop&) = delete;

  // Queues `task` for the UI thread and wakes the loop.
  void Post(Task task);
  // Ends Run with `result` once the task running now (if any) returns. Tasks
  // posted before Quit still run; later ones are dropped.
  void Quit(int result);
  bool quitting() const;

  // Starts (or restarts) timer `id`: `tick` runs every `period_ms`, first
  // `period_ms` from now. A tick may kill or set timers, its own included.
  void SetTimer(int id, int period_ms, Task tick);
  void KillTimer(int id);
  bool HasTimer(int id) const { return timers_.count(id) != 0; }

  // Runs the posted tasks, then every timer that is due (each at most once),
  // without waiting. False once Quit was called.
  bool RunPending();
  // Runs until Quit; returns its result. Waits on the real clock between
  // events; a ManualClock loop should be driven with RunPending instead.
  int Run();

  // Milliseconds until the next timer falls due (0 when one is due, -1 when
  // there is no timer).
  int64_t NextDueMs() const;

 private:
  struct Timer {
    int period_ms;
    uint64_t due_ms;
    Task tick;
    uint64_t generation;  // tells a restarted timer from the one being run
  };

  uint64_t NowMs() const;

  platform::Clock* clock_;
  std::map<int, Timer> timers_;  // UI thread only
  uint64_t next_generation_ = 1;

  mutable kit::Mutex mu_;
  std::condition_variable wake_;
  std::deque<Task> posted_ GUARDED_BY(mu_);
  bool quit_ GUARDED_BY(mu_) = false;
  int result_ GUARDED_BY(mu_) = 0;
};

}  // namespace logrum::server
