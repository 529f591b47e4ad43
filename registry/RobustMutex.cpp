#include "registry/RobustMutex.h"

#include <cerrno>
#include <ctime>

namespace qb {

bool InitRobustMutex(pthread_mutex_t& mutex) noexcept {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 && pthread_mutex_init(&mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

LockAttempt TryLockOnce(pthread_mutex_t& mutex) noexcept {
  const int rc = pthread_mutex_trylock(&mutex);
  if (rc == 0) return LockAttempt::Acquired;
  if (rc == EBUSY) return LockAttempt::Busy;
  if (rc == EOWNERDEAD) {
    // We hold the lock now; mark the state consistent so the mutex stays usable.
    if (pthread_mutex_consistent(&mutex) == 0) return LockAttempt::Acquired;
    pthread_mutex_unlock(&mutex);
    return LockAttempt::Failed;
  }
  // ENOTRECOVERABLE, EINVAL (bytes that are no mutex), EAGAIN, ...
  return LockAttempt::Failed;
}

void SleepResumingNs(long nanoseconds) noexcept {
  timespec want{nanoseconds / 1'000'000'000L, nanoseconds % 1'000'000'000L};
  timespec left{};
  while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

RegistryLock::RegistryLock(pthread_mutex_t& m, LockMode mode) noexcept : mutex(&m) {
  last = TryLockOnce(m);
  held = last == LockAttempt::Acquired;
  if (!held && mode == LockMode::WithRetry) Retry();
}

RegistryLock::~RegistryLock() {
  if (held) pthread_mutex_unlock(mutex);
}

bool RegistryLock::Retry() noexcept {
  for (int i = 0; i < kLockRetryAttempts && !held && last == LockAttempt::Busy; ++i) {
    SleepResumingNs(kLockRetryPauseNs);
    last = TryLockOnce(*mutex);
    held = last == LockAttempt::Acquired;
  }
  return held;
}

}  // namespace qb
