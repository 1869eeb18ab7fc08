// The one process-wide record of the driver: settings, connections, status, last error, run
// counters, host event handles and the shared text buffers. Every field starts from a static
// initial value; nothing is initialised when the library loads.
//
// Fields that the host's threads and the scan thread share are atomics, read and written with
// plain loads and stores (no field is read and written as one step). The text buffers are not
// atomic: the command channel's locks say who may use them.
#pragma once

#include <atomic>
#include <cstdint>

namespace ostrel {

class ScanThread;

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
    char ipAddress[kIpAddressSize] = {};  // used by the host's threads only (open, reboot)

    // Connections and status.
    std::atomic<int32_t> commandSocket{-1};
    std::atomic<int32_t> dataSocket{-1};
    std::atomic<int32_t> status{Initial};
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

    // Shared text buffers of the command channel.
    char commandBuffer[kCommandBufferSize] = {};
    char receiveBuffer[kReceiveCapacity + 1] = {};
    int32_t receivedLength = 0;
    char replyText[kReceiveCapacity + 1] = {};

    // The one acquisition object, created by open and destroyed by close.
    std::atomic<ScanThread*> scanThread{nullptr};
};

extern DriverState driverState;

}  // namespace ostrel
