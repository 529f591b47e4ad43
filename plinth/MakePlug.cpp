#include "plinth/MakePlug.h"

#include <pthread.h>

namespace plinth {

struct ConstructionMutex::Impl {
  pthread_mutex_t mutex;
};

ConstructionMutex::ConstructionMutex() : mImpl(new Impl) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
  if (pthread_mutex_init(&mImpl->mutex, &attr) != 0) {
    // Priority inheritance is unavailable on some kernels: fall back to a plain recursive mutex.
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_NONE);
    pthread_mutex_init(&mImpl->mutex, &attr);
  }
  pthread_mutexattr_destroy(&attr);
}

ConstructionMutex::~ConstructionMutex() {
  pthread_mutex_destroy(&mImpl->mutex);
  delete mImpl;
}

ConstructionMutex& ConstructionMutex::Get() {
  // Lives until the module is unloaded (hosts destroy every instance first),
  // and is freed then: a module loaded and unloaded repeatedly leaks nothing.
  static ConstructionMutex instance;
  return instance;
}

void ConstructionMutex::lock() { pthread_mutex_lock(&mImpl->mutex); }
void ConstructionMutex::unlock() { pthread_mutex_unlock(&mImpl->mutex); }

}  // namespace plinth
