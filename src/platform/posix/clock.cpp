#include "platform/clock.h"

#include <time.h>

#include <cerrno>

namespace ostrel::platform {
namespace {

// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr int64_t kFileTimeEpochOffsetSeconds = 11644473600;
constexpr int64_t kFileTimeUnitsPerSecond = 10000000;

}  // namespace

uint32_t tickMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint64_t localFileTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // The offset in force at this instant, daylight saving included.
    tm local{};
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    const int64_t localSeconds =
        static_cast<int64_t>(now.tv_sec) + local.tm_gmtoff + kFileTimeEpochOffsetSeconds;
    return static_cast<uint64_t>(localSeconds) * kFileTimeUnitsPerSecond +
           static_cast<uint64_t>(now.tv_nsec) / 100u;
}

void utcTime(int64_t* seconds, uint16_t* milliseconds) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (seconds != nullptr) {
        *seconds = now.tv_sec;
    }
    if (milliseconds != nullptr) {
        *milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
    }
}

void sleepMs(uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000u),
                       static_cast<long>(milliseconds % 1000u) * 1000000L};
    // A signal cuts nanosleep short; sleep out the rest.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace ostrel::platform
