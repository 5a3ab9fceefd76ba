// Lock annotations that clang's thread-safety analysis checks at compile time.
//
// A member written `int count_ GUARDED_BY(mu_);` may be touched only while
// `mu_` (a kit::Mutex) is held through kit::MutexLock or kit::UniqueLock; a
// helper that expects its caller to hold the lock says REQUIRES(mu_). Clang
// builds with -Wthread-safety turn a forgotten lock into a compile error (the
// test command runs such a build); other compilers see nothing.
//
// Condition-variable predicates are lambdas, which the analysis checks as
// functions of their own: give them REQUIRES(mu_) as well, since the waiting
// code calls them with the lock held.
#pragma once

#if defined(__clang__)
#define LOGRUM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LOGRUM_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) LOGRUM_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY LOGRUM_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) LOGRUM_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) LOGRUM_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) LOGRUM_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) LOGRUM_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) LOGRUM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) LOGRUM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) LOGRUM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) LOGRUM_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) LOGRUM_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) LOGRUM_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) LOGRUM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) LOGRUM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) LOGRUM_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) LOGRUM_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS LOGRUM_THREAD_ANNOTATION(no_thread_safety_analysis)
