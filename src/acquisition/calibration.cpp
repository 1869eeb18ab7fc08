#include "acquisition/calibration.h"

#include "acquisition/scan_sequence.h"
#include "diag/clocks.h"
#include "diag/trace.h"
#include "processing/data_block.h"
#include "state/driver_state.h"
#include "state/errors.h"

namespace ostrel {

int32_t calibrationMeasurement(int32_t* skipPoints) {
    const double t0 = monotonicMs();
    double unusedTimestamp = 0.0;
    if (scanLoop(&unusedTimestamp) != 0) {
        trace("OstrelTCP ERROR in calibrationScan: scanLoop failed");
        return setLastError(ErrCalscan);
    }
    // A sequence that close or open cut short measured nothing; keeping its time would set a
    // single-scan limit that every later run fails.
    if (driverState._stopping.load() != 0) {
        trace("OstrelTCP calibrationScan: stopped before the sequence ended");
        return setLastError(ErrCalscan);
    }
    const double calscanTime = monotonicMs() - t0;
    driverState.calscanTime.store(calscanTime);
    trace("OstrelTCP calscanTime= %f", calscanTime);

    BlockGeometry geometry;
    platform::LockGuard block(blockLock());
    const int32_t read = readData(&geometry, nullptr);
    if (read != 0) {
        trace("OstrelTCP ERROR in calibrationScan: readData failed");
        // A transfer that close or open stopped is the calibration being called off, not a
        // short block from the instrument.
        return setLastError(read == kReadStopped ? ErrCalscan : read);
    }
    int32_t count = 0;
    platform::LockGuard storage(workStorageLock());
    if (!unglomData(blockBuffer, &count, geometry.points, geometry.scanDir, interferogram)) {
        return setLastError(ErrPointsRange);
    }
    const int32_t peak = peakIndex(highChannel, count);
    *skipPoints = peak <= kPeakOffset ? 0 : peak - kPeakOffset;
    return 0;
}

}  // namespace ostrel
