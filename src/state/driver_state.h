// The one process-wide record of the driver: settings, connections, status, last error, run
// counters, host event handles and the shared text buffers. Every field starts from a static
// initial value; nothing is initialised when the library loads.
//
// Fields that the host's threads and the scan thread share are atomics, read and written with
// plain loads and stores (no field is read and written as one step). The text buffers are not
// atomic: each is guarded by one of the locks of state/locks.h, and clang's thread-safety
// analysis checks every use.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/annotations.h"
#include "state/locks.h"

namespace ostrel {

class ScanThread;

// The values of the status field: the public header's ostreltcp_status values (checked against
// it in driver_state.cpp).
enum DriverStatus : int32_t {
    Initial = 1,
    Connected = 4,
    ThreadRunning = 8,
    OpenFailed = 32,
    CoaddStarted = 64,
};

enum StaleSetting : uint32_t {
    StalePoints = 1u << 0,
    StaleScans = 1u << 1,
    StaleScanDir = 1u << 2,
    StaleGain = 1u << 3,
    StaleAll = StalePoints | StaleScans | StaleScanDir | StaleGain,
};

inline constexpr int32_t kCommandBufferSize = 16384;
inline constexpr int32_t kReceiveCapacity = 16384;
inline constexpr int32_t kIpAddressSize = 64;

struct DriverState {
    // Settings.
    std::atomic<int32_t> scans{16};
    std::atomic<int32_t> files{1};
    std::atomic<int32_t> gain{1};
    std::atomic<double> resolution{1.0};
    std::atomic<int32_t> points{16384};
    std::atomic<int32_t> scanDir{3};
    std::atomic<int32_t> skipPoints{0};
    // Written by setIPAddress, read by open and the reboot datagram: use storeIpAddress and
    // copyIpAddress, which take the lock.
    char ipAddress[kIpAddressSize] OSTREL_GUARDED_BY(addressLock()) = {};

    // Connections and status.
    std::atomic<int32_t> commandSocket{-1};
    std::atomic<int32_t> dataSocket{-1};
    std::atomic<int32_t> status{Initial};
    // The version the trace reports: major * 100 + minor of the public header's version.
    static constexpr int32_t driverVersion = 179;

    // Last error.
    std::atomic<int32_t> lastError{0};
    std::atomic<int32_t> lastPlatformError{0};

    // Run control and counters.
    std::atomic<int32_t> _stopping{0};
    std::atomic<int32_t> scanProgress{0};
    std::atomic<int32_t> filesComplete{0};
    std::atomic<int32_t> filesRetrieved{0};
    std::atomic<double> calscanTime{0.0};

    // Settings that the instrument holds from the calibration scan rather than the host's value
    // (bits of StaleSetting). The next co-add start sends them again before the run begins; a
    // settings command clears its own bit.
    std::atomic<uint32_t> staleSettings{0};

    // Host event handles (0 = none).
    std::atomic<uintptr_t> _scanCompleteEvent{0};
    std::atomic<uintptr_t> coaddCompleteEvent{0};
    std::atomic<uintptr_t> filesCompleteEvent{0};
    std::atomic<uintptr_t> errorHandle{0};

    // Shared text buffers of the command channel: the command being sent, and the replies that
    // belong to whoever holds the conversation.
    char commandBuffer[kCommandBufferSize] OSTREL_GUARDED_BY(sendLock()) = {};
    char receiveBuffer[kReceiveCapacity + 1] OSTREL_GUARDED_BY(conversationLock()) = {};
    int32_t receivedLength OSTREL_GUARDED_BY(conversationLock()) = 0;
    char replyText[kReceiveCapacity + 1] OSTREL_GUARDED_BY(conversationLock()) = {};

    // The one acquisition object, created by open and destroyed by close. Only a pointer to it
    // is kept here: the class belongs to the acquisition layer, which this layer never includes.
    std::atomic<ScanThread*> scanThread{nullptr};
};

extern DriverState driverState;

// Stores an address text, cut at kIpAddressSize - 1 characters so that it always fits with its
// terminator.
void storeIpAddress(const char* address);

// Copies the stored address text (always terminated).
void copyIpAddress(char (&address)[kIpAddressSize]);

}  // namespace ostrel
