#include "platform/host_event.h"

#include "platform/win32/windows_headers.h"

namespace ostrel::platform {

void signalHostEvent(uintptr_t handle) {
    if (handle == 0) {
        return;
    }
    // The host's event handle; the host owns it and resets it.
    SetEvent(reinterpret_cast<HANDLE>(handle));
}

}  // namespace ostrel::platform
