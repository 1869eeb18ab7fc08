// A non-recursive mutual-exclusion lock (a critical section on Windows).
#pragma once

#include "platform/annotations.h"

namespace ostrel::platform {

class OSTREL_CAPABILITY("mutex") Mutex {
  public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() OSTREL_ACQUIRE();
    void unlock() OSTREL_RELEASE();

  private:
    struct Impl;
    Impl* impl_;
};

class OSTREL_SCOPED_CAPABILITY LockGuard {
  public:
    explicit LockGuard(Mutex& mutex) OSTREL_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~LockGuard() OSTREL_RELEASE() { mutex_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    Mutex& mutex_;
};

}  // namespace ostrel::platform
