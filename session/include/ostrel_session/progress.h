// Progress of a run: the counts a front-end shows, the estimate of the time left, and the texts
// the front-ends share for them.
#pragma once

#include <string>

namespace ostrel::session {

struct ProgressState {
    int filesDone = 0;  // files saved or skipped so far
    int files = 0;      // files of the run; 0 = until interrupted
    int scan = 0;       // scans reported for the current file
    int scans = 1;      // scans per file
    double elapsedSeconds = 0.0;
    double cadenceSeconds = 0.0;  // mean time between the files' time stamps; 0 while unknown
    int filesWaiting = 0;         // fetched and not yet written
};

// Seconds left, from the scans done so far and the time they took; negative when unknown (no
// scan done yet, or a run without a file limit).
double estimateRemainingSeconds(const ProgressState& state);

// ISO 8601 UTC text, to the millisecond, of milliseconds since 1970-01-01 UTC.
std::string formatTimestamp(double millisecondsUtc);

// "forward", "reverse" or "both directions" for a scan direction setting of 1, 2 or 3.
const char* directionText(int direction);

// "4.2 s", "1:05", "1:02:03".
std::string formatDuration(double seconds);

// ", one file every 2.01 s" when the cadence is known, else "".
std::string cadenceText(const ProgressState& state);

// "file 2 of 4, scan 7 of 16, 0:03 elapsed, about 0:05 left", and ", 12 files waiting to be
// written" while the writing falls behind.
std::string progressText(const ProgressState& state);

}  // namespace ostrel::session
