#include "state/locks.h"

namespace ostrel {

platform::Mutex& lifecycleLock() {
    static platform::Mutex lock;
    return lock;
}

platform::Mutex& settingsLock() {
    static platform::Mutex lock;
    return lock;
}

platform::Mutex& conversationLock() {
    static platform::Mutex lock;
    return lock;
}

platform::Mutex& sendLock() {
    static platform::Mutex lock;
    return lock;
}

platform::Mutex& addressLock() {
    static platform::Mutex lock;
    return lock;
}

platform::Mutex& blockLock() {
    static platform::Mutex lock;
    return lock;
}

platform::Mutex& workStorageLock() {
    static platform::Mutex lock;
    return lock;
}

}  // namespace ostrel
