// A mutex and lock guard the compiler can check. Built with clang and -Wthread-safety, every
// field marked GUARDED_BY(m) may only be touched with m held, and every function marked
// REQUIRES(m) / EXCLUDES(m) only be called with m held / not held. Other compilers read the
// marks as nothing.
//
//   annotated_mutex m;
//   int count GUARDED_BY(m) = 0;
//   void bump() REQUIRES(m) { ++count; }
//   { mutex_lock lock(m); bump(); }
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define ZTS_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZTS_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ZTS_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZTS_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ZTS_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ZTS_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) ZTS_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) ZTS_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) ZTS_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZTS_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ZTS_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS ZTS_THREAD_ANNOTATION(no_thread_safety_analysis)

class CAPABILITY("mutex") annotated_mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

  // For the analysis only: tells it the caller holds this mutex where it cannot see that
  // (a condition variable's predicate runs with the mutex held).
  void assert_held() const ZTS_THREAD_ANNOTATION(assert_capability(this)) {}

 private:
  friend class mutex_lock;
  std::mutex m_;
};

// Holds the mutex for its scope.
class SCOPED_CAPABILITY mutex_lock {
 public:
  explicit mutex_lock(annotated_mutex& m) ACQUIRE(m) : lock_(m.m_) {}
  // Holds the mutex and sets *waited to the seconds spent waiting for it (0 when it was free),
  // for the lock-wait metrics.
  mutex_lock(annotated_mutex& m, double* waited) ACQUIRE(m) : lock_(m.m_, std::defer_lock) {
    *waited = 0;
    if (lock_.try_lock()) return;
    const auto start = std::chrono::steady_clock::now();
    lock_.lock();
    *waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  ~mutex_lock() RELEASE() {}
  mutex_lock(const mutex_lock&) = delete;
  mutex_lock& operator=(const mutex_lock&) = delete;

  // Waits on `cv` (the mutex released meanwhile) until `ready` returns true or `timeout` has
  // passed; returns the last value of `ready`, which runs with the mutex held.
  template <class Rep, class Period, class Pred>
  bool wait_for(std::condition_variable& cv, std::chrono::duration<Rep, Period> timeout,
                Pred ready) {
    return cv.wait_for(lock_, timeout, ready);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};
