// The exports of a co-add run and of the calibration scan.
#include "acquisition/calibration.h"
#include "acquisition/scan_thread.h"
#include "api/lifecycle.h"
#include "diag/clocks.h"
#include "diag/trace.h"
#include "link/command_channel.h"
#include "ostreltcp.h"
#include "state/driver_state.h"
#include "state/errors.h"

using ostrel::driverState;

namespace {

struct StaleCommand {
    uint32_t bit;
    const char* format;
    const std::atomic<int32_t>& value;
};

// After a calibration the instrument holds the calibration's settings while the driver reports
// the host's. Sends the host's values that the host has not sent again since, so that the run's
// blocks have the length the driver expects.
int32_t resendStaleSettings() {
    const StaleCommand commands[] = {
        {ostrel::StalePoints, "points %d\r\n", driverState.points},
        {ostrel::StaleScans, "numscans %d\r\n", driverState.scans},
        {ostrel::StaleScanDir, "scandir %d\r\n", driverState.scanDir},
        {ostrel::StaleGain, "gain %d\r\n", driverState.gain},
    };
    for (const StaleCommand& command : commands) {
        if ((driverState.staleSettings.load() & command.bit) == 0) {
            continue;
        }
        const int32_t result = ostrel::commandExchange(nullptr, command.format, command.value.load());
        if (result != 0) {
            return result;
        }
        driverState.staleSettings.fetch_and(~command.bit);
    }
    return 0;
}

struct SavedSettings {
    int32_t points, scans, files, scanDir, gain;
};

SavedSettings saveSettings() {
    return {driverState.points.load(), driverState.scans.load(), driverState.files.load(),
            driverState.scanDir.load(), driverState.gain.load()};
}

void restoreSettings(const SavedSettings& saved) {
    driverState.points.store(saved.points);
    driverState.scans.store(saved.scans);
    driverState.files.store(saved.files);
    driverState.scanDir.store(saved.scanDir);
    driverState.gain.store(saved.gain);
}

}  // namespace

int32_t OSTRELTCP_CALL spectrometer_startCoadd(int32_t) {
    ostrel::platform::LockGuard guard(ostrel::lifecycleLock());
    ostrel::trace("OstrelTCP startCoadd @%f", ostrel::clockMs());
    ostrel::ScanThread* thread = driverState.scanThread.load();
    // Without a connection (never opened, or closed since) a run could only fail.
    if (thread == nullptr || driverState.commandSocket.load() == -1 ||
        driverState.dataSocket.load() == -1) {
        return ostrel::setLastError(ostrel::ErrThreadStart);
    }
    // A second thread on the same object would share its buffers: refuse while a run is under
    // way, but not for a thread that has finished its files and is only returning.
    if (thread->isRunning() && !thread->cycleEnded()) {
        ostrel::trace("OstrelTCP startCoadd: a run is still in progress");
        return ostrel::setLastError(ostrel::ErrThreadStart);
    }
    if (!thread->releaseFinishedThread()) {
        return ostrel::setLastError(ostrel::ErrThreadStart);
    }
    const int32_t resent = resendStaleSettings();
    if (resent != 0) {
        return resent;
    }
    driverState.scanProgress.store(0);
    driverState.filesComplete.store(0);
    thread->scans.store(driverState.scans.load());
    const int32_t files = driverState.files.load();
    thread->files.store(files > 0 ? files : 0);
    driverState._stopping.store(0);

    // CoaddStarted is stored before the thread exists, so that the thread's ThreadRunning and
    // its final Connected always come after it.
    const int32_t previousStatus = driverState.status.exchange(ostrel::CoaddStarted);
    thread->prepareRun();
    if (!thread->Start()) {
        driverState.status.store(previousStatus);
        return ostrel::setLastError(ostrel::ErrThreadStart);
    }
    ostrel::trace("startCoadd OK");
    return 0;
}

int32_t OSTRELTCP_CALL spectrometer_getData(double* data, int32_t points, double* timestamp) {
    if (data == nullptr || timestamp == nullptr) {
        return ostrel::setLastError(ostrel::ErrNullArgument);
    }
    int32_t result = 1;  // nothing published: no ScanThread at all
    {
        ostrel::platform::LockGuard guard(ostrel::lifecycleLock());
        ostrel::ScanThread* thread = driverState.scanThread.load();
        if (thread != nullptr) {
            result = thread->getData(data, points, timestamp);
        }
    }
    ostrel::trace("OstrelTCP getData returns %d", result);
    return result;
}

int32_t OSTRELTCP_CALL spectrometer_getTimestamp(double* timestamp) {
    ostrel::trace("OstrelTCP getTimestamp");
    if (timestamp == nullptr) {
        return ostrel::setLastError(ostrel::ErrNullArgument);
    }
    ostrel::platform::LockGuard guard(ostrel::lifecycleLock());
    const ostrel::ScanThread* thread = driverState.scanThread.load();
    if (thread != nullptr) {
        *timestamp = thread->getTimestamp();
    }
    return 0;
}

int32_t OSTRELTCP_CALL spectrometer_calibrationScan(void) {
    ostrel::trace("OstrelTCP entering spectrometer_calScan");
    {
        ostrel::platform::LockGuard guard(ostrel::lifecycleLock());
        if (ostrel::runInProgress()) {
            ostrel::trace("OstrelTCP calibrationScan: refused while a co-add runs");
            return ostrel::setLastError(ostrel::ErrCalscan);
        }
    }
    // A stop flag left from an earlier stop or close would end the scan sequence at once and
    // measure nothing.
    driverState._stopping.store(0);
    const SavedSettings saved = saveSettings();

    spectrometer_setPoints(ostrel::kCalibrationPointsSetting);
    spectrometer_setScans(1);
    spectrometer_setSkipPoints(0);
    spectrometer_setScanDirection(1);
    spectrometer_setGain(0);

    int32_t skipPoints = 0;
    const int32_t result = ostrel::calibrationMeasurement(&skipPoints);
    if (result == 0) {
        spectrometer_setSkipPoints(skipPoints);
        ostrel::trace("OstrelTCP skip points set to %d", skipPoints);
    }
    restoreSettings(saved);
    driverState.staleSettings.store(ostrel::StaleAll);
    return result;
}
