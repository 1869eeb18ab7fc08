#include "platform/host_event.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace ostrel::platform {

void signalHostEvent(uintptr_t handle) {
    if (handle == 0) {
        return;
    }
    // An eventfd adds the written value to its counter: one write of 1 wakes the host's poll.
    const uint64_t one = 1;
    const int descriptor = static_cast<int>(handle);
    while (write(descriptor, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace ostrel::platform
