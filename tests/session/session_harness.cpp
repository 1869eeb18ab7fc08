#include "session_harness.h"

#include <chrono>

namespace ostrel::session::testing {

SessionConfig quickConfig(const std::string& dataDirectory, double scanMsAt4096) {
    SessionConfig config;
    config.dataDirectory = dataDirectory;
    // The simulator's scan time scales with points from its 16384-point figure.
    config.simulator.scanMsAt16k = scanMsAt4096 * 4.0;
    config.simulator.readyMs = 1.0;
    return config;
}

Settings smallSettings() {
    Settings settings;
    settings.acquisition.points = 4096;
    settings.acquisition.scans = 2;
    settings.outputs.plot = false;
    return settings;
}

void RecordingObserver::record(const std::function<void()>& change) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        change();
    }
    changed_.notify_all();
}

void RecordingObserver::onRun(const RunEvent& event) {
    record([&] { runs.push_back(event); });
}

void RecordingObserver::onProgress(const ProgressEvent&) {
    record([&] { ++progressCount; });
}

void RecordingObserver::onFile(const std::shared_ptr<const FileEvent>& event) {
    record([&] { files.push_back(event); });
}

void RecordingObserver::onEnd(const EndEvent& event) {
    record([&] { ends.push_back(event); });
}

void RecordingObserver::onError(const ErrorEvent& error) {
    record([&] { errors.push_back(error); });
}

void RecordingObserver::onWarning(const std::string& text) {
    record([&] { warnings.push_back(text); });
}

bool RecordingObserver::waitFor(const std::function<bool(const RecordingObserver&)>& condition,
                                int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return condition(*this); });
}

size_t RecordingObserver::fileCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return files.size();
}

size_t RecordingObserver::endCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ends.size();
}

}  // namespace ostrel::session::testing
