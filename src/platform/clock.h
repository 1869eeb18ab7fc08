// Clocks and sleeping.
#pragma once

#include <cstdint>

namespace ostrel::platform {

// A 32-bit millisecond tick that only moves forward and wraps after 49.7 days.
uint32_t tickMs();

// Local wall-clock time as a count of 100-nanosecond intervals since 1601-01-01 (the
// FILETIME epoch), after conversion to the local time zone.
uint64_t localFileTime();

// UTC wall-clock time since 1970-01-01 as whole seconds and a millisecond part.
void utcTime(int64_t* seconds, uint16_t* milliseconds);

void sleepMs(uint32_t milliseconds);

}  // namespace ostrel::platform
