// The kit's locks: std::mutex and std::recursive_mutex that end their
// pthread mutex when destroyed, and that clang's thread-safety analysis knows
// as capabilities (see ThreadAnnotations.h).
//
// libstdc++ leaves the destructors of both trivial, so ThreadSanitizer never
// learns that a lock is gone; a new lock that later occupies the same memory
// (a stack object in the next test, a reused heap block) then inherits the old
// one's lock-order history and yields false deadlock reports. Destroying the
// pthread mutex explicitly tells it.
//
// Lock a Mutex with MutexLock (a lock_guard) or UniqueLock (for condition
// variables and for code that lets go of the lock for a while): the std lock
// types are not annotated, so members GUARDED_BY a Mutex would look unlocked
// to the analysis under them.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "Lib/Kit/Mutex.h"
#include "Lib/Kit/ThreadAnnotations.h"

namespace logrum::kit {

class CAPABILITY("mutex") Mutex : public std::mutex {
 public:
  Mutex() = default;
  ~Mutex() { pthread_mutex_destroy(native_handle()); }

  void lock() ACQUIRE() { std::mutex::lock(); }
  void unlock() RELEASE() { std::mutex::unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return std::mutex::try_lock(); }

  // Tells the analysis the lock is held where it cannot see it taken (code
  // called back from under the lock). Checks nothing at run time.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}
};

class CAPABILITY("mutex") RecursiveMutex : public std::recursive_mutex {
 public:
  RecursiveMutex() = default;
  ~RecursiveMutex() { pthread_mutex_destroy(native_handle()); }

  void lock() ACQUIRE() { std::recursive_mutex::lock(); }
  void unlock() RELEASE() { std::recursive_mutex::unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return std::recursive_mutex::try_lock(); }
};

// A std::timed_mutex the analysis knows: taken with a time-out.
class CAPABILITY("mutex") TimedMutex : public std::timed_mutex {
 public:
  void lock() ACQUIRE() { std::timed_mutex::lock(); }
  void unlock() RELEASE() { std::timed_mutex::unlock(); }
  template <class Rep, class Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& timeout) TRY_ACQUIRE(true) {
    return std::timed_mutex::try_lock_for(timeout);
  }
};

// A readers-writer lock the analysis knows: WriterLock for changes,
// ReaderLock for reads that may run side by side.
class CAPABILITY("mutex") SharedMutex : public std::shared_mutex {
 public:
  void lock() ACQUIRE() { std::shared_mutex::lock(); }
  void unlock() RELEASE() { std::shared_mutex::unlock(); }
  void lock_shared() ACQUIRE_SHARED() { std::shared_mutex::lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { std::shared_mutex::unlock_shared(); }
};

class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~WriterLock() RELEASE() { mutex_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mutex_;
};

class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) {
    mutex_.lock_shared();
  }
  ~ReaderLock() RELEASE() { mutex_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mutex_;
};

// Holds a Mutex for its scope, like std::lock_guard.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Holds a RecursiveMutex for its scope.
class SCOPED_CAPABILITY RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.lock();
  }
  ~RecursiveMutexLock() RELEASE() { mutex_.unlock(); }
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  RecursiveMutex& mutex_;
};

// Holds a Mutex like std::unique_lock: it can be let go and taken again, and
// a std::condition_variable waits on native(). Predicates passed to wait
// carry REQUIRES(the mutex).
class SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex) {}
  ~UniqueLock() RELEASE() {}
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }

  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace logrum::kit
