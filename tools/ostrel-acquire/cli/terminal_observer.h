// What a run looks like at the command line: the session's events become the progress line, the
// "saved" lines, warnings and errors on stderr, and the final line; with --live they also go to
// the live view. Called on the session's event thread; the main thread writes to the same
// terminal only through note() and finish(), under the same lock.
#pragma once

#include <mutex>
#include <string>

#include "live_view.h"
#include "ostrel_session/events.h"
#include "progress_display.h"

namespace ostrel::acquire {

struct TerminalRun {
    std::string address;
    std::string outputDirectory;
    bool simulator = false;
    const char* completeVerb = "acquired";  // the final line's first word for a complete run
};

class TerminalObserver : public ostrel::session::SessionObserver {
  public:
    // live may be null.
    TerminalObserver(ProgressMode mode, live::LiveView* live, TerminalRun run);

    void onProgress(const ostrel::session::ProgressEvent& event) override;
    void onFile(const std::shared_ptr<const ostrel::session::FileEvent>& event) override;
    void onEnd(const ostrel::session::EndEvent& event) override;
    void onError(const ostrel::session::ErrorEvent& error) override;
    void onWarning(const std::string& text) override;
    void onNote(const std::string& text) override;

    // From the main thread.
    void note(const std::string& text);
    void warn(const std::string& text);
    // Tells the live view how a run that never started ended.
    void endWithoutRun(const std::string& error);
    // The final line printed at the run's end, empty before.
    std::string finalLine() const;

  private:
    mutable std::mutex mutex_;
    ProgressDisplay display_;
    live::LiveView* live_;
    TerminalRun run_;
    std::string finalLine_;
    std::string firstError_;
};

}  // namespace ostrel::acquire
