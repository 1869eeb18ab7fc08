#include "acquisition/calibration.h"

#include "acquisition/scan_sequence.h"
#include "diag/clocks.h"
#include "diag/trace.h"
#include "processing/data_block.h"
#include "state/driver_state.h"
#include "state/errors.h"

namespace ostrel {

int32_t calibrationMeasurement(int32_t* skipPoints) {
    const double t0 = clockMs();
    double unusedTimestamp = 0.0;
    if (scanLoop(&unusedTimestamp) != 0) {
        trace("OstrelTCP ERROR in calibrationScan: scanLoop failed");
        return setLastError(ErrCalscan);
    }
    const double calscanTime = clockMs() - t0;
    driverState.calscanTime.store(calscanTime);
    trace("OstrelTCP calscanTime= %f", calscanTime);

    BlockGeometry geometry;
    platform::LockGuard block(blockLock());
    const int32_t read = readData(&geometry, nullptr);
    if (read != 0) {
        trace("OstrelTCP ERROR in calibrationScan: readData failed");
        return setLastError(read == kReadStopped ? ErrShortBlock : read);
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
