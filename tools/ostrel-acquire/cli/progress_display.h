// Progress of a run as a person sees it at a terminal: one line rewritten per scan and per file,
// elsewhere (a pipe, a log file) one plain line per file, and nothing at all when quiet.
#pragma once

#include <cstdio>
#include <string>

#include "ostrel_session/progress.h"

namespace ostrel::acquire {

using ostrel::session::ProgressState;

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
