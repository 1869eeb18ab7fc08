#include "platform/clock.h"

#include <sys/timeb.h>

#include "platform/win32/windows_headers.h"

namespace ostrel::platform {

// The 64-bit tick: GetTickCount would wrap after 49.7 days of uptime.
uint64_t monotonicMs() {
    return GetTickCount64();
}

uint64_t localFileTime() {
    FILETIME utc{};
    FILETIME local{};
    GetSystemTimeAsFileTime(&utc);
    // The conversion applies the offset in force now, daylight saving included.
    FileTimeToLocalFileTime(&utc, &local);
    return (static_cast<uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
}

void utcTime(int64_t* seconds, uint16_t* milliseconds) {
    // The 64-bit form, so that the stamp stays right past 2038 in 32-bit builds too.
    __timeb64 now{};
    _ftime64(&now);
    if (seconds != nullptr) {
        *seconds = static_cast<int64_t>(now.time);
    }
    if (milliseconds != nullptr) {
        *milliseconds = now.millitm;
    }
}

void sleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

}  // namespace ostrel::platform
