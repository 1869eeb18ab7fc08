#include <cmath>

#include "ostrel_session/progress.h"

namespace ostrel::session {

double estimateRemainingSeconds(const ProgressState& state) {
    if (state.files <= 0 || state.scans <= 0) {
        return -1.0;
    }
    const double total = static_cast<double>(state.files) * state.scans;
    // A file counts as all its scans once saved, so a reply that carries the last progress line
    // together with "ready" (and signals no scan) does not stall the estimate.
    const double done = static_cast<double>(state.filesDone) * state.scans +
                        (state.filesDone < state.files ? std::fmin(state.scan, state.scans) : 0);
    if (done <= 0.0) {
        return -1.0;
    }
    return std::fmax(0.0, state.elapsedSeconds * (total - done) / done);
}

const char* directionText(int direction) {
    switch (direction) {
        case 1:
            return "forward";
        case 2:
            return "reverse";
        default:
            return "both directions";
    }
}

std::string formatDuration(double seconds) {
    char text[32];
    if (seconds < 60.0) {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
        return text;
    }
    const long whole = std::lround(seconds);
    if (whole < 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    }
    return text;
}

std::string cadenceText(const ProgressState& state) {
    if (state.cadenceSeconds <= 0.0) {
        return "";
    }
    char text[64];
    std::snprintf(text, sizeof text, ", one file every %.3g s", state.cadenceSeconds);
    return text;
}

namespace {

std::string waitingText(const ProgressState& state) {
    if (state.filesWaiting <= 0) {
        return "";
    }
    return ", " + std::to_string(state.filesWaiting) +
           (state.filesWaiting == 1 ? " file" : " files") + " waiting to be written";
}

}  // namespace

std::string progressText(const ProgressState& state) {
    char text[160];
    const int current =
        state.files > 0 && state.filesDone >= state.files ? state.files : state.filesDone + 1;
    std::string file =
        state.files > 0 ? "file " + std::to_string(current) + " of " + std::to_string(state.files)
                        : "file " + std::to_string(current);
    if (state.files > 0 && state.filesDone >= state.files) {
        std::snprintf(text, sizeof text, "%s, done, %s elapsed", file.c_str(),
                      formatDuration(state.elapsedSeconds).c_str());
        return text + waitingText(state);
    }
    std::snprintf(text, sizeof text, "%s, scan %d of %d, %s elapsed", file.c_str(), state.scan,
                  state.scans, formatDuration(state.elapsedSeconds).c_str());
    std::string line = text;
    const double remaining = estimateRemainingSeconds(state);
    if (remaining >= 0.0) {
        line += ", about " + formatDuration(remaining) + " left";
    }
    return line + cadenceText(state) + waitingText(state);
}

}  // namespace ostrel::session
