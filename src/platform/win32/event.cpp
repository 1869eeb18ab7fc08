#include "platform/event.h"

#include "platform/win32/windows_headers.h"

namespace ostrel::platform {

struct Event::Impl {
    HANDLE handle;
};

// Unnamed, default security, manual reset, initially unsignalled. kWaitForever is INFINITE, so
// time limits pass through unchanged.
static_assert(kWaitForever == INFINITE);

Event::Event() : impl_(new Impl{CreateEventA(nullptr, TRUE, FALSE, nullptr)}) {}

Event::~Event() {
    if (impl_->handle != nullptr) {
        CloseHandle(impl_->handle);
    }
    delete impl_;
}

void Event::set() {
    SetEvent(impl_->handle);
}

void Event::reset() {
    ResetEvent(impl_->handle);
}

bool Event::wait(uint32_t timeoutMs) {
    return WaitForSingleObject(impl_->handle, timeoutMs) == WAIT_OBJECT_0;
}

int waitAny(Event& first, Event& second, uint32_t timeoutMs) {
    // With both signalled the kernel reports the lowest index, so the first wins a tie.
    const HANDLE handles[2] = {first.impl_->handle, second.impl_->handle};
    const DWORD result = WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
    if (result == WAIT_OBJECT_0) {
        return 0;
    }
    if (result == WAIT_OBJECT_0 + 1) {
        return 1;
    }
    return -1;
}

}  // namespace ostrel::platform
