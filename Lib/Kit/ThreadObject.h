// One operating-system thread, owned by the object.
//
// The handle is 0 when thread creation failed. Destruction joins the thread, or
// detaches it when the thread destroys its own object (a self-deleting worker).
// Stack size and priority are recorded; Linux applies neither (the run-time
// library's default stack is used, which is larger than any size asked for here).
//
// Thread safety: owned by one thread; not for concurrent use.
#pragma once

#include <cstdint>
#include <thread>

namespace logrum::kit {

class ThreadObject {
 public:
  using Procedure = int (*)(void* argument);

  // Starts `procedure(argument)` on a new thread. start_now = false is accepted
  // for completeness but the thread starts at once either way.
  ThreadObject(Procedure procedure, void* argument, uint32_t stack_size, bool start_now,
               int32_t priority);
  ThreadObject(const ThreadObject&) = delete;
  ThreadObject& operator=(const ThreadObject&) = delete;
  virtual ~ThreadObject();

  // 0 when no thread runs from this object (creation failed).
  uintptr_t handle() const { return handle_; }
  bool IsCurrentThread() const;
  uint32_t stack_size() const { return stack_size_; }
  int32_t priority() const { return priority_; }

 private:
  std::thread thread_;
  uintptr_t handle_ = 0;
  uint32_t stack_size_;
  int32_t priority_;
};

}  // namespace logrum::kit
