#include "platform/mutex.h"

#include "platform/win32/windows_headers.h"

namespace ostrel::platform {

struct Mutex::Impl {
    CRITICAL_SECTION section;
};

Mutex::Mutex() : impl_(new Impl) {
    InitializeCriticalSection(&impl_->section);
}

Mutex::~Mutex() {
    DeleteCriticalSection(&impl_->section);
    delete impl_;
}

void Mutex::lock() {
    EnterCriticalSection(&impl_->section);
}

void Mutex::unlock() {
    LeaveCriticalSection(&impl_->section);
}

}  // namespace ostrel::platform
