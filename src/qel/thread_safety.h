// Lock ownership the compiler checks: Clang's thread-safety attributes (empty for other compilers) and the
// mutex types that carry them, since the standard library's own mutexes are not annotated here.
#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#if defined(__clang__)
#define QEL_TSA(x) __attribute__((x))
#else
#define QEL_TSA(x)
#endif

#define QEL_CAPABILITY(name) QEL_TSA(capability(name))
#define QEL_SCOPED_CAPABILITY QEL_TSA(scoped_lockable)
#define QEL_GUARDED_BY(m) QEL_TSA(guarded_by(m))
#define QEL_PT_GUARDED_BY(m) QEL_TSA(pt_guarded_by(m))
#define QEL_REQUIRES(...) QEL_TSA(requires_capability(__VA_ARGS__))
#define QEL_EXCLUDES(...) QEL_TSA(locks_excluded(__VA_ARGS__))
#define QEL_ACQUIRE(...) QEL_TSA(acquire_capability(__VA_ARGS__))
#define QEL_RELEASE(...) QEL_TSA(release_capability(__VA_ARGS__))
#define QEL_TRY_ACQUIRE(...) QEL_TSA(try_acquire_capability(__VA_ARGS__))
#define QEL_RETURN_CAPABILITY(m) QEL_TSA(lock_returned(m))
// For the few places whose exclusivity comes from elsewhere (a destructor's last reference, a forked child's
// single thread); each says why next to it.
#define QEL_NO_THREAD_SAFETY_ANALYSIS QEL_TSA(no_thread_safety_analysis)

namespace qel {

class QEL_CAPABILITY("mutex") Mutex {
 public:
  void lock() QEL_ACQUIRE() { m_.lock(); }
  void unlock() QEL_RELEASE() { m_.unlock(); }

 private:
  std::mutex m_;
};

// A mutex whose acquisition can give up. Timed tries poll try_lock() with short sleeps instead of using
// std::timed_mutex: its pthread_mutex_clocklock is invisible to ThreadSanitizer and needs a recent C library, and
// a wait here lasts as long as another call holds the master, so a millisecond of lag does not matter.
class QEL_CAPABILITY("mutex") TimedMutex {
 public:
  void lock() QEL_ACQUIRE() { m_.lock(); }
  void unlock() QEL_RELEASE() { m_.unlock(); }
  template <class Rep, class Period>
  bool try_lock_for(std::chrono::duration<Rep, Period> d) QEL_TRY_ACQUIRE(true) {
    const auto end = std::chrono::steady_clock::now() + d;
    for (std::chrono::microseconds pause{50};; pause = std::min(pause * 2, std::chrono::microseconds{1000})) {
      if (m_.try_lock()) return true;
      const auto now = std::chrono::steady_clock::now();
      if (now >= end) return false;
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, end - now));
    }
  }

 private:
  std::mutex m_;
};

// Holds a Mutex for its scope.
class QEL_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) QEL_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() QEL_RELEASE() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};

}  // namespace qel
