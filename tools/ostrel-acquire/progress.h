// Progress of a run as a person sees it: on a terminal one line rewritten per scan and per file,
// elsewhere (a pipe, a log file) one plain line per file, and nothing at all when quiet.
#pragma once

#include <cstdio>
#include <string>

namespace ostrel::acquire {

struct ProgressState {
    int filesDone = 0;  // files saved or skipped so far
    int files = 0;      // files of the run; 0 = until interrupted
    int scan = 0;       // scans reported for the current file
    int scans = 1;      // scans per file
    double elapsedSeconds = 0.0;
    double cadenceSeconds = 0.0;  // mean time between the files' time stamps; 0 while unknown
};

// Seconds left, from the scans done so far and the time they took; negative when unknown (no
// scan done yet, or a run without a file limit).
double estimateRemainingSeconds(const ProgressState& state);

// "4.2 s", "1:05", "1:02:03".
std::string formatDuration(double seconds);

// ", one file every 2.01 s" when the cadence is known, else "".
std::string cadenceText(const ProgressState& state);

// "file 2 of 4, scan 7 of 16, 0:03 elapsed, about 0:05 left".
std::string progressText(const ProgressState& state);

enum class ProgressMode { Terminal, Lines, Quiet };

class ProgressDisplay {
  public:
    ProgressDisplay(std::FILE* stream, ProgressMode mode) : stream_(stream), mode_(mode) {}

    ProgressMode mode() const { return mode_; }

    // The current state; a terminal redraws its line, plain output shows nothing.
    void update(const ProgressState& state);
    // A file was saved under name: a terminal redraws, plain output prints one line.
    void fileSaved(const ProgressState& state, const std::string& name);
    // A message of its own line (not shown when quiet); ends a progress line first.
    void note(const std::string& text);
    // Ends a progress line so that other output (errors, the summary) starts on a fresh line.
    void finishLine();

  private:
    std::FILE* stream_;
    ProgressMode mode_;
    bool lineOpen_ = false;
};

}  // namespace ostrel::acquire
