#include "state/driver_state.h"

#include <cstring>

#include "ostreltcp.h"

namespace ostrel {

// The numbers the host sees are the public header's.
static_assert(static_cast<int>(Initial) == static_cast<int>(OSTRELTCP_STATUS_INITIAL));
static_assert(static_cast<int>(Connected) == static_cast<int>(OSTRELTCP_STATUS_CONNECTED));
static_assert(static_cast<int>(ThreadRunning) == static_cast<int>(OSTRELTCP_STATUS_THREAD_RUNNING));
static_assert(static_cast<int>(OpenFailed) == static_cast<int>(OSTRELTCP_STATUS_OPEN_FAILED));
static_assert(static_cast<int>(CoaddStarted) == static_cast<int>(OSTRELTCP_STATUS_COADD_STARTED));
static_assert(DriverState::driverVersion ==
              OSTRELTCP_VERSION_MAJOR * 100 + OSTRELTCP_VERSION_MINOR);

constinit DriverState driverState;

void storeIpAddress(const char* address) {
    size_t length = 0;
    while (length < kIpAddressSize - 1 && address[length] != '\0') {
        ++length;
    }
    platform::LockGuard guard(addressLock());
    std::memcpy(driverState.ipAddress, address, length);
    driverState.ipAddress[length] = '\0';
}

void copyIpAddress(char (&address)[kIpAddressSize]) {
    platform::LockGuard guard(addressLock());
    std::memcpy(address, driverState.ipAddress, kIpAddressSize);
    address[kIpAddressSize - 1] = '\0';
}

}  // namespace ostrel
