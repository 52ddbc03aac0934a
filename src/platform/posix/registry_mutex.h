// The lock around the registry.
#pragma once

#include <pthread.h>

#include <mutex>

namespace ostrel::wsa::posix {

// Every call takes the registry's lock several times and holds it for well under a
// microsecond. With more threads than cores, putting a thread to sleep on each collision and
// waking it again costs far more than that, so a thread that finds the lock taken spins
// briefly first where the system offers such a mutex. Meets the standard's Lockable
// requirements, hence the lower-case names.
class RegistryMutex {
 public:
  RegistryMutex();
  ~RegistryMutex() { pthread_mutex_destroy(&mutex_); }
  RegistryMutex(const RegistryMutex&) = delete;
  RegistryMutex& operator=(const RegistryMutex&) = delete;

  void lock() { pthread_mutex_lock(&mutex_); }
  void unlock() { pthread_mutex_unlock(&mutex_); }
  bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }

 private:
  pthread_mutex_t mutex_;
};

inline RegistryMutex::RegistryMutex() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
#if defined(PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP)
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
#endif
  pthread_mutex_init(&mutex_, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

using RegistryLock = std::unique_lock<RegistryMutex>;
using RegistryGuard = std::lock_guard<RegistryMutex>;

}  // namespace ostrel::wsa::posix
