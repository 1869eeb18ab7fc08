// The debug-output channel: one whole record per call.
#pragma once

namespace ostrel::platform {

// Hands one record to the debug-output sink. On POSIX the sink is chosen by the environment
// variable OSTRELTCP_TRACE when the first record is written: unset or empty - nothing is written;
// "stderr" - standard error; anything else - a file of that name, appended to. Each record is
// written with a single write so that records from different threads never interleave.
void debugOutput(const char* record);

}  // namespace ostrel::platform

namespace ostrel::platform {

// Reads OSTRELTCP_TRACE again and reopens the sink; for tests that capture records.
void debugOutputReconfigure();

}  // namespace ostrel::platform
