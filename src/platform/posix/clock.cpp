#include "platform/clock.h"

#include <time.h>

#include <cerrno>

namespace ostrel::platform {
namespace {

// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr int64_t kFileTimeEpochOffsetSeconds = 11644473600;
constexpr int64_t kFileTimeUnitsPerSecond = 10000000;

}  // namespace

uint64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
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

// Sleeps to a deadline on the monotonic clock: setting the wall clock does not stretch the pause,
// and a signal that cuts the sleep short only resumes it towards the same deadline.
void sleepMs(uint32_t milliseconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000u);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000u) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace ostrel::platform
