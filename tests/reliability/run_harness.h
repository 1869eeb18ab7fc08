// The host's side of the in-process driver in the reliability tests: the four run events, the
// wait for the end of a run, the last error's text, the reboot datagram and the check that the
// driver is usable again after whatever a test did to it.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>

#include "acquisition/scan_thread.h"
#include "ostreltcp.h"
#include "state/driver_state.h"
#include "support/host_event.h"
#include "support/loopback.h"
#include "support/sim_fixture.h"

namespace ostrel::testing {

inline constexpr int kRunLimitMs = 20000;

// The events a host registers for a run. Unregistered before they are closed: the driver would
// otherwise write to whatever descriptor reuses their numbers.
struct RunEvents {
    HostEvent scan, coadd, files, error;

    RunEvents() {
        spectrometer_setScanCompleteEventHandle(scan.handle());
        spectrometer_setCoaddCompleteEventHandle(coadd.handle());
        spectrometer_setFilesCompleteEventHandle(files.handle());
        spectrometer_setErrorEventHandle(error.handle());
    }
    ~RunEvents() {
        spectrometer_setScanCompleteEventHandle(0);
        spectrometer_setCoaddCompleteEventHandle(0);
        spectrometer_setFilesCompleteEventHandle(0);
        spectrometer_setErrorEventHandle(0);
    }
    RunEvents(const RunEvents&) = delete;
    RunEvents& operator=(const RunEvents&) = delete;

    void takeAll() {
        scan.take();
        coadd.take();
        files.take();
        error.take();
    }
};

inline int32_t driverStatus() {
    int32_t status = 0;
    spectrometer_getStatus(&status);
    return status;
}

inline bool runInProgress() {
    const ScanThread* thread = driverState.scanThread.load();
    return thread != nullptr && thread->isRunning();
}

// Waits until the scan thread has ended its run and the status is back at 4.
inline bool awaitRunEnd(int timeoutMs = kRunLimitMs) {
    const Stopwatch watch;
    while (watch.elapsedMs() < timeoutMs) {
        if (!runInProgress() && driverStatus() == 4) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

inline std::string lastErrorText(int32_t code = 0) {
    char text[1024];
    spectrometer_getLastError(code, text, sizeof text);
    return text;
}

// The datagram that restarts the instrument, sent as a maintenance tool would.
inline void sendRebootDatagram(uint16_t port) {
    const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(port);
    ::sendto(descriptor, "REBOOT", 6, 0, reinterpret_cast<const sockaddr*>(&address),
             sizeof address);
    ::close(descriptor);
}

// Opens against a healthy instrument and completes a one-file run: the driver is usable.
inline ::testing::AssertionResult openAndRunOneFile() {
    const int32_t opened = spectrometer_open(0);
    if (opened != 0) {
        return ::testing::AssertionFailure()
               << "open returned " << opened << ": " << lastErrorText();
    }
    RunEvents events;
    if (spectrometer_setPoints(256) != 0 || spectrometer_setScans(1) != 0 ||
        spectrometer_setScanDirection(3) != 0) {
        return ::testing::AssertionFailure() << "settings refused: " << lastErrorText();
    }
    spectrometer_setFiles(1);
    if (spectrometer_startCoadd(0) != 0) {
        return ::testing::AssertionFailure() << "startCoadd refused: " << lastErrorText();
    }
    if (!events.files.wait(kRunLimitMs) || !awaitRunEnd()) {
        return ::testing::AssertionFailure() << "the run did not complete: " << lastErrorText();
    }
    double curve[512];
    double stamp = 0.0;
    const int32_t got = spectrometer_getData(curve, 512, &stamp);
    if (got != 0) {
        return ::testing::AssertionFailure() << "getData returned " << got;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace ostrel::testing
