// A mutex that clang's thread-safety analysis knows (-Wthread-safety), for the live view's state
// shared between the acquisition, the file writer and the server's threads. std::mutex carries no
// annotations in libstdc++, so the analysis could not check who holds it.
#pragma once

#include <mutex>

#if defined(__clang__)
#define LIVE_TSA(x) __attribute__((x))
#else
#define LIVE_TSA(x)
#endif

#define LIVE_CAPABILITY(x) LIVE_TSA(capability(x))
#define LIVE_SCOPED_CAPABILITY LIVE_TSA(scoped_lockable)
#define LIVE_GUARDED_BY(x) LIVE_TSA(guarded_by(x))
#define LIVE_REQUIRES(...) LIVE_TSA(requires_capability(__VA_ARGS__))
#define LIVE_ACQUIRE(...) LIVE_TSA(acquire_capability(__VA_ARGS__))
#define LIVE_RELEASE(...) LIVE_TSA(release_capability(__VA_ARGS__))
#define LIVE_EXCLUDES(...) LIVE_TSA(locks_excluded(__VA_ARGS__))

namespace ostrel::acquire::live {

class LIVE_CAPABILITY("mutex") GuardedMutex {
  public:
    void lock() LIVE_ACQUIRE() { mutex_.lock(); }
    void unlock() LIVE_RELEASE() { mutex_.unlock(); }

  private:
    std::mutex mutex_;
};

// Holds a GuardedMutex for a scope; also a BasicLockable for std::condition_variable_any, which
// unlocks and relocks it while waiting.
class LIVE_SCOPED_CAPABILITY GuardedLock {
  public:
    explicit GuardedLock(GuardedMutex& mutex) LIVE_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~GuardedLock() LIVE_RELEASE() { mutex_.unlock(); }
    GuardedLock(const GuardedLock&) = delete;
    GuardedLock& operator=(const GuardedLock&) = delete;

    void lock() LIVE_ACQUIRE() { mutex_.lock(); }
    void unlock() LIVE_RELEASE() { mutex_.unlock(); }

  private:
    GuardedMutex& mutex_;
};

}  // namespace ostrel::acquire::live
