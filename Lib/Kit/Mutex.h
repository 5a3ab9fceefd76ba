// The kit's locks: std::mutex and std::recursive_mutex that end their
// pthread mutex when destroyed.
//
// libstdc++ leaves the destructors of both trivial, so ThreadSanitizer never
// learns that a lock is gone; a new lock that later occupies the same memory
// (a stack object in the next test, a reused heap block) then inherits the old
// one's lock-order history and yields false deadlock reports. Destroying the
// pthread mutex explicitly tells it. Use exactly like the std types; a
// std::unique_lock<std::mutex> binds to Mutex for condition variables.
#pragma once

#include <pthread.h>

#include <mutex>

namespace logrum::kit {

class Mutex : public std::mutex {
 public:
  Mutex() = default;
  ~Mutex() { pthread_mutex_destroy(native_handle()); }
};

class RecursiveMutex : public std::recursive_mutex {
 public:
  RecursiveMutex() = default;
  ~RecursiveMutex() { pthread_mutex_destroy(native_handle()); }
};

}  // namespace logrum::kit
