// The session's events as the server's event stream (GET /events) sends them. Files and progress
// arrive as fast as the instrument delivers (50 files a second or more); a browser draws about ten
// a second, so only the latest of each is kept and a publisher thread sends it at most every
// kDisplayInterval: every client gets updates at a display rate, and curves are thinned (and their
// JSON built) only for the files that are shown. The run's start and end, errors and the session's
// state go out at once, after whatever file and progress were still waiting, so that they arrive
// in order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "event_hub.h"
#include "live_events.h"
#include "ostrel_session/events.h"

namespace ostrel::acquire::serve {

inline constexpr std::chrono::milliseconds kDisplayInterval{100};

class ServeEvents : public ostrel::session::SessionObserver {
  public:
    // stateText gives the session's state as the "state" event's data; it is called from the
    // publisher thread only, never from the session's event thread.
    ServeEvents(live::EventHub& hub, std::function<std::string()> stateText);
    ~ServeEvents() override;  // stop()

    void start();
    void stop();
    // The session's state changed (an operation of the API ended): sent with the next tick.
    void stateChanged();

    void onRun(const ostrel::session::RunEvent& event) override;
    void onProgress(const ostrel::session::ProgressEvent& event) override;
    void onFile(const std::shared_ptr<const ostrel::session::FileEvent>& event) override;
    void onEnd(const ostrel::session::EndEvent& event) override;
    void onError(const ostrel::session::ErrorEvent& error) override;
    void onWarning(const std::string& text) override;
    void onNote(const std::string& text) override;

  private:
    void run();
    // Publishes the waiting file and progress, if any. Called with publishMutex_ held.
    void publishPending();

    live::EventHub& hub_;
    std::function<std::string()> stateText_;

    std::mutex mutex_;  // guards what waits to be published, and stopping_
    std::condition_variable wake_;
    std::shared_ptr<const ostrel::session::FileEvent> pendingFile_;
    std::unique_ptr<live::LiveProgress> pendingProgress_;
    bool stateDirty_ = true;
    bool stopping_ = false;

    // Held while publishing, so that the events of the publisher thread and of the session's
    // event thread leave in the order they were taken.
    std::mutex publishMutex_;
    live::FileEventBuilder files_;  // its trend is per run: replaced at each run's start
    std::thread thread_;
};

// A file as the page draws it: the interferogram per half, and the spectrum, or the absorbance
// when the run has a background.
std::string fileEventData(live::FileEventBuilder& builder, const ostrel::session::FileEvent& event);

}  // namespace ostrel::acquire::serve
