#pragma once
// The registry lock: a raw process-shared robust pthread mutex stored in the
// segment, behind a scoped lock with the two modes every registry step uses.
//
// Robustness: when a holder dies with the lock held, the next attempt gets
// EOWNERDEAD; the lock repairs the mutex (pthread_mutex_consistent) and keeps
// holding it. Nothing is lost by this: the registry holds plain values that
// every reader bounds, so a half-finished write is just another untrusted
// value. An unrecoverable mutex or any other error counts as "not held", the
// same as a busy lock, and the step is skipped. No lock error ever becomes an
// exception.

#include <pthread.h>

namespace qb {

enum class LockMode {
  SingleTry,  // one non-blocking attempt; never sleeps (audio thread)
  WithRetry,  // one attempt, then up to kLockRetryAttempts more, each after a pause
};

enum class LockAttempt {
  Acquired,  // held (also after repairing a mutex whose holder died)
  Busy,      // someone else holds it
  Failed,    // unrecoverable or invalid mutex: retrying cannot help
};

inline constexpr int kLockRetryAttempts = 50;
inline constexpr long kLockRetryPauseNs = 10'000'000;  // 10 ms

// Initialises a mutex in place as process-shared and robust. False on failure.
bool InitRobustMutex(pthread_mutex_t& mutex) noexcept;

// One non-blocking attempt, repairing a mutex whose previous holder died.
LockAttempt TryLockOnce(pthread_mutex_t& mutex) noexcept;

// Sleeps for the given time, resuming after signals until it has elapsed.
void SleepResumingNs(long nanoseconds) noexcept;

// Scoped registry lock. Released on every exit path by the destructor.
class RegistryLock {
 public:
  // Makes the first attempt; WithRetry continues with Retry() when busy.
  RegistryLock(pthread_mutex_t& mutex, LockMode mode) noexcept;
  ~RegistryLock();
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

  bool Held() const noexcept { return held; }
  explicit operator bool() const noexcept { return held; }
  LockAttempt LastAttempt() const noexcept { return last; }

  // Completes a lock whose attempt found the mutex busy: up to
  // kLockRetryAttempts further attempts, each after a kLockRetryPauseNs
  // pause. Stops early when the mutex turns out unusable. Returns Held().
  bool Retry() noexcept;

 private:
  pthread_mutex_t* mutex;
  bool held = false;
  LockAttempt last = LockAttempt::Busy;
};

}  // namespace qb
