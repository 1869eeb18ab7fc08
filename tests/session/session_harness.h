// Sessions in a test: a session on the built-in simulator with quick scans, and an observer that
// records what the session tells its observers so that a test can wait for it.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel_session/session.h"

namespace ostrel::session::testing {

// A session configuration whose simulator scans 4096 points in scanMs milliseconds.
SessionConfig quickConfig(const std::string& dataDirectory, double scanMsAt4096 = 20.0);
// Settings of a small run: 4096 points, 2 scans, both directions, CSV and JCAMP-DX.
Settings smallSettings();

class RecordingObserver : public SessionObserver {
  public:
    void onRun(const RunEvent& event) override;
    void onProgress(const ProgressEvent& event) override;
    void onFile(const std::shared_ptr<const FileEvent>& event) override;
    void onEnd(const EndEvent& event) override;
    void onError(const ErrorEvent& error) override;
    void onWarning(const std::string& text) override;

    // Waits up to timeoutMs for the condition over what was recorded.
    bool waitFor(const std::function<bool(const RecordingObserver&)>& condition, int timeoutMs);
    size_t fileCount() const;
    size_t endCount() const;

    // Read under no lock: only once the session is quiet (after flushEvents).
    std::vector<std::shared_ptr<const FileEvent>> files;
    std::vector<EndEvent> ends;
    std::vector<ErrorEvent> errors;
    std::vector<RunEvent> runs;
    std::vector<std::string> warnings;
    size_t progressCount = 0;

  private:
    void record(const std::function<void()>& change);
    mutable std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace ostrel::session::testing
