#include "Lib/Kit/ThreadObject.h"

#include <system_error>

namespace logrum::kit {

ThreadObject::ThreadObject(Procedure procedure, void* argument, uint32_t stack_size, bool start_now,
                           int32_t priority)
    : stack_size_(stack_size), priority_(priority) {
  (void)start_now;
  try {
    thread_ = std::thread([procedure, argument] { procedure(argument); });
    handle_ = static_cast<uintptr_t>(thread_.native_handle());
    if (handle_ == 0) handle_ = 1;
  } catch (const std::system_error&) {
    handle_ = 0;
  }
}

ThreadObject::~ThreadObject() {
  if (!thread_.joinable()) return;
  // A self-deleting worker destroys its own thread object; it cannot join itself.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

bool ThreadObject::IsCurrentThread() const {
  return thread_.joinable() && thread_.get_id() == std::this_thread::get_id();
}

}  // namespace logrum::kit
