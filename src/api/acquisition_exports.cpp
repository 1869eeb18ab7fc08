// The exports of a co-add run and of the calibration scan.
#include "acquisition/calibration.h"
#include "acquisition/scan_thread.h"
#include "api/lifecycle.h"
#include "api/settings.h"
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
// blocks have the length the driver expects. Under settingsLock, so that a settings export on
// another thread cannot slip its value in between and be overwritten by the stale one.
int32_t resendStaleSettings() OSTREL_REQUIRES(ostrel::settingsLock()) {
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
        const int32_t result =
            ostrel::commandExchange(nullptr, command.format, command.value.load());
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

// close or open on another thread asks a calibration to leave through the stop request.
bool calibrationStopped() {
    if (driverState._stopping.load() == 0) {
        return false;
    }
    ostrel::trace("OstrelTCP calibrationScan: called off by close or open");
    return true;
}

// The calibration proper, holding the settings for its whole length: it sets the instrument to
// the calibration's values and gives the host's back afterwards. The stop request is tested
// before each step, so that close waits for at most one exchange.
int32_t calibrate() OSTREL_REQUIRES(ostrel::settingsLock()) {
    using ostrel::InstrumentSetting;
    struct Step {
        InstrumentSetting setting;
        int32_t value;
    };
    const Step steps[] = {{InstrumentSetting::Points, ostrel::kCalibrationPointsSetting},
                          {InstrumentSetting::Scans, 1},
                          {InstrumentSetting::SkipPoints, 0},
                          {InstrumentSetting::ScanDirection, 1},
                          {InstrumentSetting::Gain, 0}};
    const SavedSettings saved = saveSettings();
    bool stopped = false;
    for (const Step& step : steps) {
        stopped = calibrationStopped();
        if (stopped) {
            break;
        }
        ostrel::applySetting(step.setting, step.value);
    }

    int32_t result = ostrel::ErrCalscan;
    int32_t skipPoints = 0;
    if (stopped || calibrationStopped()) {
        ostrel::setLastError(result);
    } else {
        result = ostrel::calibrationMeasurement(&skipPoints);
    }
    if (result == 0 && !calibrationStopped()) {
        ostrel::applySetting(InstrumentSetting::SkipPoints, skipPoints);
        ostrel::trace("OstrelTCP skip points set to %d", skipPoints);
    }
    restoreSettings(saved);
    driverState.staleSettings.store(ostrel::StaleAll);
    return result;
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
    // A calibration scan on another host thread is using both connections.
    if (ostrel::calibrationInProgress()) {
        ostrel::trace("OstrelTCP startCoadd: a calibration scan is in progress");
        return ostrel::setLastError(ostrel::ErrThreadStart);
    }
    if (!thread->releaseFinishedThread()) {
        return ostrel::setLastError(ostrel::ErrThreadStart);
    }
    {
        // The run starts with the settings the instrument holds: none may change in between.
        ostrel::platform::LockGuard settings(ostrel::settingsLock());
        const int32_t resent = resendStaleSettings();
        if (resent != 0) {
            return resent;
        }
        thread->scans.store(driverState.scans.load());
        const int32_t files = driverState.files.load();
        thread->files.store(files > 0 ? files : 0);
    }
    driverState.scanProgress.store(0);
    driverState.filesComplete.store(0);
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
        // Another calibration, or no connection to measure on (never opened, closed, or a stop
        // reconnecting): a scan sequence there could only wait out its limit.
        if (!ostrel::beginCalibration()) {
            ostrel::trace("OstrelTCP calibrationScan: refused, the connections are not free");
            return ostrel::setLastError(ostrel::ErrCalscan);
        }
    }
    int32_t result = 0;
    {
        ostrel::platform::LockGuard settings(ostrel::settingsLock());
        result = calibrate();
    }
    ostrel::endCalibration();
    return result;
}
