#include "diag/clocks.h"

#include <cstdint>

#include "platform/clock.h"

namespace ostrel {

double monotonicMs() {
    return static_cast<double>(platform::monotonicMs());
}

double clockMs() {
    const uint64_t local = platform::localFileTime();
    return static_cast<double>(local / 10000u);
}

double stampMs() {
    int64_t seconds = 0;
    uint16_t milliseconds = 0;
    platform::utcTime(&seconds, &milliseconds);
    return static_cast<double>(seconds) * 1000.0 + milliseconds;
}

}  // namespace ostrel
