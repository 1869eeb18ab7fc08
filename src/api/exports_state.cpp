// The exports that only read or store a field of the driver state, and the export of the data
// block conversion.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "diag/trace.h"
#include "ostreltcp.h"
#include "processing/data_block.h"
#include "state/driver_state.h"
#include "state/errors.h"

using ostrel::driverState;

namespace {

// A getter's one failure: nowhere to store the value.
int32_t storeInt(int32_t* out, int32_t value) {
    if (out == nullptr) {
        return ostrel::setLastError(ostrel::ErrNullArgument);
    }
    *out = value;
    return 0;
}

int32_t storeEvent(std::atomic<uintptr_t>& field, ostreltcp_event_handle handle) {
    field.store(handle);
    return 0;
}

}  // namespace

int32_t OSTRELTCP_CALL spectrometer_getScans(int32_t* scans) {
    return storeInt(scans, driverState.scans.load());
}

int32_t OSTRELTCP_CALL spectrometer_getFiles(int32_t* files) {
    return storeInt(files, driverState.files.load());
}

int32_t OSTRELTCP_CALL spectrometer_getGain(int32_t* gain) {
    return storeInt(gain, driverState.gain.load());
}

int32_t OSTRELTCP_CALL spectrometer_getStatus(int32_t* status) {
    return storeInt(status, driverState.status.load());
}

int32_t OSTRELTCP_CALL spectrometer_getScanProgress(int32_t* scan) {
    return storeInt(scan, driverState.scanProgress.load());
}

int32_t OSTRELTCP_CALL spectrometer_getFileProgress(int32_t* files) {
    return storeInt(files, driverState.filesComplete.load());
}

int32_t OSTRELTCP_CALL spectrometer_getResolution(double* resolution) {
    if (resolution == nullptr) {
        return ostrel::setLastError(ostrel::ErrNullArgument);
    }
    *resolution = driverState.resolution.load();
    return 0;
}

// Both directions double the count; a stored value too large to double reports the nearest
// representable count instead of overflowing.
int32_t OSTRELTCP_CALL spectrometer_getPoints(int32_t* points) {
    const int64_t perDirection = driverState.points.load();
    int64_t total = driverState.scanDir.load() == 3 ? perDirection * 2 : perDirection;
    total = std::clamp<int64_t>(total, INT32_MIN, INT32_MAX);
    return storeInt(points, static_cast<int32_t>(total));
}

int32_t OSTRELTCP_CALL spectrometer_getSkipPoints(int32_t* points) {
    const int32_t skip = driverState.skipPoints.load();
    ostrel::trace("OstrelTCP getSkipPoints %d", skip);
    return storeInt(points, skip);
}

int32_t OSTRELTCP_CALL spectrometer_setFiles(int32_t files) {
    ostrel::trace("OstrelTCP setFiles %d", files);
    driverState.files.store(files);
    return 0;
}

int32_t OSTRELTCP_CALL spectrometer_setResolution(double resolution) {
    ostrel::trace("OstrelTCP setResolution %f", resolution);
    driverState.resolution.store(resolution);
    return 0;
}

// A longer text is cut at 63 characters so that it always fits with its terminator.
int32_t OSTRELTCP_CALL spectrometer_setIPAddress(const char* address) {
    if (address == nullptr) {
        return ostrel::setLastError(ostrel::ErrNullArgument);
    }
    ostrel::storeIpAddress(address);
    return 0;
}

int32_t OSTRELTCP_CALL spectrometer_setFilesCompleteEventHandle(ostreltcp_event_handle event) {
    ostrel::trace("OstrelTCP setFilesCompleteEventHandle %u", static_cast<unsigned>(event));
    return storeEvent(driverState.filesCompleteEvent, event);
}

int32_t OSTRELTCP_CALL spectrometer_setScanCompleteEventHandle(ostreltcp_event_handle event) {
    ostrel::trace("OstrelTCP setScanCompleteEventHandle %u", static_cast<unsigned>(event));
    return storeEvent(driverState._scanCompleteEvent, event);
}

int32_t OSTRELTCP_CALL spectrometer_setCoaddCompleteEventHandle(ostreltcp_event_handle event) {
    ostrel::trace("OstrelTCP setCoaddCompleteEventHandle %u", static_cast<unsigned>(event));
    return storeEvent(driverState.coaddCompleteEvent, event);
}

int32_t OSTRELTCP_CALL spectrometer_setErrorEventHandle(ostreltcp_event_handle event) {
    ostrel::trace("OstrelTCP setErrorEventHandle %u", static_cast<unsigned>(event));
    return storeEvent(driverState.errorHandle, event);
}

int32_t OSTRELTCP_CALL spectrometer_getCapabilities(int32_t* capabilities) {
    ostrel::trace("ostrelTCP getCapabilities");
    return storeInt(capabilities, 6);
}

int32_t OSTRELTCP_CALL spectrometer_execute(int32_t) {
    return 0;
}

void OSTRELTCP_CALL unglomData(void* block, int32_t* count, int32_t points, int32_t scanDir,
                               double* out) {
    // The conversion shares its work arrays with the driver's own runs: wait for theirs.
    ostrel::platform::LockGuard storage(ostrel::workStorageLock());
    ostrel::unglomData(block, count, points, scanDir, out);
}
