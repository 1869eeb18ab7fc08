#include "terminal_observer.h"

#include <algorithm>
#include <cstdio>

namespace ostrel::acquire {
using ostrel::session::directionText;

TerminalObserver::TerminalObserver(ProgressMode mode, live::LiveView* live, TerminalRun run)
    : display_(stdout, mode), live_(live), run_(std::move(run)) {}

void TerminalObserver::onProgress(const ostrel::session::ProgressEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    display_.update(event.state);
    if (live_ != nullptr) {
        live::LiveProgress progress;
        progress.state = event.state;
        progress.driverStatus = event.driverStatus;
        progress.filesMissed = event.filesMissed;
        progress.address = event.address;
        progress.simulator = event.simulator;
        live_->publishProgress(progress);
    }
}

void TerminalObserver::onFile(const std::shared_ptr<const ostrel::session::FileEvent>& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    display_.fileSaved(event->progress, event->summary.interferogramName);
    if (live_ == nullptr || event->data.empty()) {
        return;
    }
    const live::LiveFile shown = live::liveFileOf(*event);
    live_->publishFile(shown);
}

void TerminalObserver::onEnd(const ostrel::session::EndEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    display_.finishLine();
    const char* verb = event.status == "complete"      ? run_.completeVerb
                       : event.status == "interrupted" ? "interrupted after"
                       : event.status == "stopped"     ? "stopped after"
                                                       : "failed after";
    std::string count = std::to_string(event.filesSaved);
    if (event.filesRequested > 0) {
        count += " of " + std::to_string(event.filesRequested);
    }
    const std::string missed =
        event.filesMissed > 0 ? ", " + std::to_string(event.filesMissed) + " missed" : "";
    char line[1024];
    std::snprintf(line, sizeof line,
                  "%s %s file(s) (%d scans of %d points, %s%s) in %s%s; output in %s/", verb,
                  count.c_str(), event.scans, event.points, directionText(event.direction),
                  event.simulator ? ", simulator" : "",
                  ostrel::session::formatDuration(event.acquisitionSeconds).c_str(), missed.c_str(),
                  run_.outputDirectory.c_str());
    std::printf("%s\n", line);
    std::fflush(stdout);
    finalLine_ = line;
    if (live_ != nullptr) {
        live_->publishEnd(event.status == "stopped" ? "interrupted" : event.status,
                          static_cast<size_t>(event.filesSaved), event.filesMissed, line);
    }
}

void TerminalObserver::onError(const ostrel::session::ErrorEvent& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    display_.finishLine();
    std::fprintf(stderr, "ostrel-acquire: %s\n", error.message.c_str());
    if (!error.detail.empty()) {
        std::fprintf(stderr, "  %s\n", error.detail.c_str());
    }
    if (!error.hint.empty()) {
        std::fprintf(stderr, "  hint: %s\n", error.hint.c_str());
    }
    if (firstError_.empty()) {
        firstError_ = error.detail.empty() ? error.message : error.message + ": " + error.detail;
    }
    if (live_ != nullptr) {
        live_->publishError(error.message, error.detail, error.code, error.hint);
    }
}

void TerminalObserver::onWarning(const std::string& text) {
    warn(text);
}

void TerminalObserver::onNote(const std::string& text) {
    note(text);
}

void TerminalObserver::note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    display_.note(text);
}

void TerminalObserver::warn(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    display_.finishLine();
    std::fprintf(stderr, "ostrel-acquire: warning: %s\n", text.c_str());
}

void TerminalObserver::endWithoutRun(const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (live_ != nullptr) {
        live::LiveProgress progress;
        progress.address = run_.address;
        progress.simulator = run_.simulator;
        live_->publishProgress(progress);
        live_->publishEnd("failed", 0, 0, error.empty() ? firstError_ : error);
    }
}

std::string TerminalObserver::finalLine() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finalLine_;
}

}  // namespace ostrel::acquire
