#include "App/Server/AppLoop.h"

#include <chrono>
#include <vector>

namespace logrum::server {

uint64_t AppLoop::NowMs() const {
  return (clock_ != nullptr ? *clock_ : platform::DefaultClock()).TickMs();
}

void AppLoop::Post(Task task) {
  {
    kit::MutexLock lock(mu_);
    if (quit_) return;
    posted_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void AppLoop::Quit(int result) {
  {
    kit::MutexLock lock(mu_);
    if (quit_) return;
    quit_ = true;
    result_ = result;
  }
  wake_.notify_one();
}

bool AppLoop::quitting() const {
  kit::MutexLock lock(mu_);
  return quit_;
}

void AppLoop::SetTimer(int id, int period_ms, Task tick) {
  if (period_ms < 1) period_ms = 1;
  timers_[id] = Timer{period_ms, NowMs() + static_cast<uint64_t>(period_ms), std::move(tick),
                      next_generation_++};
}

void AppLoop::KillTimer(int id) { timers_.erase(id); }

bool AppLoop::RunPending() {
  std::deque<Task> tasks;
  {
    kit::MutexLock lock(mu_);
    tasks.swap(posted_);
  }
  for (Task& task : tasks) task();

  // Collect first: a tick may set or kill timers, which would upset the walk.
  uint64_t now = NowMs();
  std::vector<std::pair<int, uint64_t>> due;
  for (const auto& [id, timer] : timers_) {
    if (timer.due_ms <= now) due.emplace_back(id, timer.generation);
  }
  for (const auto& [id, generation] : due) {
    if (quitting()) break;
    auto it = timers_.find(id);
    if (it == timers_.end() || it->second.generation != generation) continue;  // killed or reset
    Timer& timer = it->second;
    // A loop that fell behind (a long task) does not fire a burst of ticks to
    // catch up; the next tick is one period from now.
    timer.due_ms += static_cast<uint64_t>(timer.period_ms);
    if (timer.due_ms <= now) timer.due_ms = now + static_cast<uint64_t>(timer.period_ms);
    Task tick = timer.tick;  // the tick may kill its own timer
    tick();
  }
  return !quitting();
}

int64_t AppLoop::NextDueMs() const {
  if (timers_.empty()) return -1;
  uint64_t now = NowMs();
  uint64_t first = UINT64_MAX;
  for (const auto& entry : timers_) first = std::min(first, entry.second.due_ms);
  return first <= now ? 0 : static_cast<int64_t>(first - now);
}

int AppLoop::Run() {
  while (RunPending()) {
    int64_t wait_ms = NextDueMs();
    if (wait_ms == 0) continue;
    if (wait_ms < 0 || wait_ms > 1000) wait_ms = 1000;
    kit::UniqueLock lock(mu_);
    wake_.wait_for(lock.native(), std::chrono::milliseconds(wait_ms),
                   [this]() REQUIRES(mu_) { return quit_ || !posted_.empty(); });
  }
  // Tasks posted before Quit still run.
  std::deque<Task> tasks;
  {
    kit::MutexLock lock(mu_);
    tasks.swap(posted_);
  }
  for (Task& task : tasks) task();
  kit::MutexLock lock(mu_);
  return result_;
}

}  // namespace logrum::server
