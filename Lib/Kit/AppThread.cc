#include "Lib/Kit/AppThread.h"

namespace logrum::kit {

namespace {
constexpr size_t kMaxShortName = 31;
constexpr TraceUnit kUnit = TraceUnit::kThread;
}  // namespace

const ThreadFlavor& ArchiveThreadFlavor() {
  static const ThreadFlavor flavor{
      &DebugTraceRoute(),         "AppThread::~AppThread! %s\n",
      "AppThread::OnExit() %s\n", "AppThread::Run(): Already running! Call SetExit() first!\n",
      /*full_name=*/false,
      /*assert_checks=*/false};
  return flavor;
}

ThreadBase::ThreadBase(const ThreadFlavor& flavor, const char* name, uint32_t stack_size,
                       int32_t priority, bool self_delete)
    : flavor_(flavor),
      has_name_(true),
      stack_size_(stack_size),
      priority_(priority),
      self_delete_(self_delete) {
  if (flavor.full_name) {
    has_name_ = name != nullptr;
    if (name != nullptr) name_ = name;
  } else {
    name_ = name != nullptr ? name : "AppThread";
    if (name_.size() > kMaxShortName) name_.resize(kMaxShortName);
  }
}

ThreadBase::~ThreadBase() {
  route().Write(kUnit, __LINE__, flavor_.destructor_text, TraceName());
  if (flavor_.assert_checks) {
    kit::MutexLock lock(mu_);
    if (IsRunning() || (thread_ != nullptr && !thread_->IsCurrentThread())) {
      route().AssertFailed(kUnit, __LINE__);
    }
  }
  SetExit(-1);
}

const char* ThreadBase::TraceName() const {
  return has_name_ ? name_.c_str() : "(null)";
}

bool ThreadBase::HasThread() const {
  kit::MutexLock lock(mu_);
  return thread_ != nullptr;
}

void ThreadBase::OnExit() {
  route().Write(kUnit, __LINE__, flavor_.on_exit_text, TraceName());
}

void ThreadBase::Run() {
  kit::MutexLock lock(mu_);
  // A thread whose flag is already cleared may still be ending (SetExit from
  // its own body): it counts as running until its procedure has finished.
  if (IsRunning() || (thread_ != nullptr && !quit_event_.IsSet())) {
    route().Write(kUnit, __LINE__, "%s", flavor_.already_running_text);
    if (flavor_.assert_checks) route().AssertFailed(kUnit, __LINE__);
    return;
  }
  // A thread that ended on its own leaves its object until SetExit; join it
  // before starting the next one.
  thread_.reset();
  quit_event_.Reset();
  running_.store(true, std::memory_order_release);
  thread_ = std::make_unique<ThreadObject>(&ThreadProcedure, this, stack_size_, true, priority_);
  if (thread_->handle() == 0) {
    // No thread will ever signal the quit event: leave the object idle so that
    // SetExit and the destructor do not wait for ever.
    running_.store(false, std::memory_order_release);
    quit_event_.Set();
  }
}

void ThreadBase::SetExit(int32_t exit_code) {
  kit::UniqueLock lock(mu_);
  exit_code_.store(exit_code, std::memory_order_release);
  const bool own_thread = thread_ != nullptr && thread_->IsCurrentThread();
  if (IsRunning()) {
    route().Write(kUnit, __LINE__, flavor_.destructor_text, TraceName());
    running_.store(false, std::memory_order_release);
    // From the body itself there is nothing to wait for: the body returns next.
    if (own_thread) return;
    lock.unlock();
    quit_event_.Wait(kInfinite);
    lock.lock();
  } else if (own_thread && !self_delete()) {
    return;  // OnExit calling SetExit: the procedure still owns its thread object
  }
  thread_.reset();
}

int ThreadBase::ThreadProcedure(void* argument) {
  auto* self = static_cast<ThreadBase*>(argument);
  const TraceRoute& route = self->route();
  const unsigned tid = CurrentThreadId();
  const bool self_delete_at_start = self->self_delete();
  route.Write(kUnit, __LINE__, "/-/-/-/-Enter thread 0x%X '%s'!\n", tid, self->TraceName());
  self->Body();
  self->OnExit();
  route.Write(kUnit, __LINE__, "/-/-/-/-Exit thread 0x%X '%s'!\n", tid, self->TraceName());

  kit::UniqueLock lock(self->mu_);
  self->running_.store(false, std::memory_order_release);
  const int exit_code = self->exit_code();
  const bool self_delete = self->self_delete();
  if (self->flavor_.assert_checks && self_delete != self_delete_at_start) {
    route.AssertFailed(kUnit, __LINE__);
  }
  if (self_delete) {
    route.Write(kUnit, __LINE__, "/-/-/-/-Self-Delete thread 0x%X '%s'!\n", tid, self->TraceName());
    lock.unlock();
    delete self;
  } else {
    route.Write(kUnit, __LINE__, "/-/-/-/-Set QuitEvent thread 0x%X '%s'!\n", tid,
                self->TraceName());
    self->quit_event_.Set();
    lock.unlock();  // the owner may destroy the object from here on
  }
  return exit_code;
}

}  // namespace logrum::kit
