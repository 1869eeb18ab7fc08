// The session's event thread: events are queued by whichever thread saw them (a run's thread, its
// file pipeline, an operation's caller) and delivered to every observer from this one thread, in
// order. Queuing never waits for an observer. A slow observer makes the queue grow; past a few
// files the oldest queued files lose their curves (their counts and summaries stay), so memory
// stays bounded however slow an observer is.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ostrel_session/events.h"

namespace ostrel::session {

class EventDispatcher {
  public:
    // Files whose curves are kept while queued; older queued files are sent without them.
    static constexpr size_t kMaxQueuedCurves = 8;

    EventDispatcher();
    ~EventDispatcher();  // delivers what is queued, then ends the thread
    EventDispatcher(const EventDispatcher&) = delete;
    EventDispatcher& operator=(const EventDispatcher&) = delete;

    void add(std::shared_ptr<SessionObserver> observer);
    void remove(const std::shared_ptr<SessionObserver>& observer);

    void run(const RunEvent& event);
    void progress(const ProgressEvent& event);
    void file(std::shared_ptr<const FileEvent> event);
    void end(const EndEvent& event);
    void error(const ErrorEvent& event);
    void warning(const std::string& text);
    void note(const std::string& text);

    // Waits until everything queued before the call has been delivered; false on time-out.
    bool flush(int timeoutMs);

  private:
    // A file item has no `deliver`: its event is delivered as it stands when it leaves the
    // queue, which may be a copy without curves by then. Queued events are never changed in
    // place, since the thread that made one may still read it.
    struct Item {
        std::function<void(SessionObserver&)> deliver;
        std::shared_ptr<const FileEvent> file;
        bool isProgress = false;
    };
    void enqueue(Item item);
    void loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable delivered_;
    std::deque<Item> queue_;
    std::vector<std::shared_ptr<SessionObserver>> observers_;
    uint64_t queuedCount_ = 0;     // items ever queued
    uint64_t deliveredCount_ = 0;  // items ever delivered
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace ostrel::session
