#include "acquisition/scan_buffer.h"

#include <cstring>

#include "diag/trace.h"
#include "state/errors.h"

namespace ostrel {

bool ScanBuffer::setData(const double* source, int32_t points, double timestamp) {
    trace("OstrelTCP setData() points= %d; timestamp= %f", points, timestamp);
    if (points > ScanBufferCapacity || points < 0) {
        return false;
    }
    platform::LockGuard guard(lock_);
    points_.store(points);
    timestamp_.store(timestamp);
    std::memcpy(data_, source, static_cast<size_t>(points) * sizeof(double));
    state_.store(static_cast<uint16_t>(state_.load() | kHoldsData));
    return true;
}

int32_t ScanBuffer::getData(double* destination, int32_t pts, double* timestamp) {
    if (pts > 0) {
        std::memset(destination, 0, static_cast<size_t>(pts) * sizeof(double));
    }
    // The test, the copy and the time stamp are taken under the lock together, so that a store
    // into this slot can never hand out the count of one file with the data of another.
    uint16_t state = 0;
    int32_t points = 0;
    {
        platform::LockGuard guard(lock_);
        state = state_.load();
        points = points_.load();
        if ((state & kHoldsData) != 0 && points == pts) {
            std::memcpy(destination, data_, static_cast<size_t>(points) * sizeof(double));
            *timestamp = timestamp_.load();
            return 0;
        }
    }
    trace("OstrelTCP getData()::FAILED: state= %d; points= %d; pts= %d", state, points, pts);
    return setLastError(ErrNoData);
}

}  // namespace ostrel
