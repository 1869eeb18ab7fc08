#include "progress_display.h"

namespace ostrel::acquire {

using ostrel::session::cadenceText;
using ostrel::session::estimateRemainingSeconds;
using ostrel::session::formatDuration;
using ostrel::session::progressText;

void ProgressDisplay::update(const ProgressState& state) {
    if (mode_ != ProgressMode::Terminal) {
        return;
    }
    // Carriage return and erase-to-end-of-line: the line is redrawn in place.
    std::fprintf(stream_, "\r\033[K%s", progressText(state).c_str());
    std::fflush(stream_);
    lineOpen_ = true;
}

void ProgressDisplay::fileSaved(const ProgressState& state, const std::string& name) {
    if (mode_ == ProgressMode::Terminal) {
        update(state);
    } else if (mode_ == ProgressMode::Lines) {
        std::string line = "saved " + name + " (" + std::to_string(state.filesDone);
        if (state.files > 0) {
            line += " of " + std::to_string(state.files);
        }
        line += "), " + formatDuration(state.elapsedSeconds) + " elapsed" + cadenceText(state);
        const double remaining = estimateRemainingSeconds(state);
        if (remaining >= 0.0 && state.filesDone < state.files) {
            line += ", about " + formatDuration(remaining) + " left";
        }
        std::fprintf(stream_, "%s\n", line.c_str());
        std::fflush(stream_);
    }
}

void ProgressDisplay::note(const std::string& text) {
    if (mode_ == ProgressMode::Quiet) {
        return;
    }
    finishLine();
    std::fprintf(stream_, "%s\n", text.c_str());
    std::fflush(stream_);
}

void ProgressDisplay::finishLine() {
    if (lineOpen_) {
        std::fputc('\n', stream_);
        std::fflush(stream_);
        lineOpen_ = false;
    }
}

}  // namespace ostrel::acquire
