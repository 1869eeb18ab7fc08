// Signalling the host's event handles.
#pragma once

#include <cstdint>

namespace ostrel::platform {

// Signals a host event: SetEvent on Windows; on POSIX the handle is an eventfd descriptor and
// the value 1 is written to it. A handle of 0 is never signalled.
void signalHostEvent(uintptr_t handle);

}  // namespace ostrel::platform
