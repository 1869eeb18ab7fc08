// Clocks and sleeping.
#pragma once

#include <cstdint>

namespace ostrel::platform {

// Milliseconds since an arbitrary fixed point, on a clock that only moves forward: setting the
// wall clock (a time-server correction, a daylight-saving change) does not move it. 64 bits, so
// it does not wrap in the life of any machine. Every duration and limit is measured on it.
uint64_t monotonicMs();

// Local wall-clock time as a count of 100-nanosecond intervals since 1601-01-01 (the
// FILETIME epoch), after conversion to the local time zone.
uint64_t localFileTime();

// UTC wall-clock time since 1970-01-01 as whole seconds and a millisecond part.
void utcTime(int64_t* seconds, uint16_t* milliseconds);

void sleepMs(uint32_t milliseconds);

}  // namespace ostrel::platform
