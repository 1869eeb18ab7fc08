#include "events/event_dispatcher.h"

#include <algorithm>
#include <chrono>

namespace ostrel::session {

EventDispatcher::EventDispatcher() : thread_(&EventDispatcher::loop, this) {}

EventDispatcher::~EventDispatcher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void EventDispatcher::add(std::shared_ptr<SessionObserver> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observers_.push_back(std::move(observer));
}

void EventDispatcher::remove(const std::shared_ptr<SessionObserver>& observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void EventDispatcher::enqueue(Item item) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (item.isProgress && !queue_.empty() && queue_.back().isProgress) {
            // Progress is a state, not a history: a newer one replaces one not yet delivered.
            queue_.back() = std::move(item);
        } else {
            queue_.push_back(std::move(item));
            ++queuedCount_;
        }
        size_t withCurves = 0;
        for (auto each = queue_.rbegin(); each != queue_.rend(); ++each) {
            if (each->file != nullptr && !each->file->data.empty() &&
                ++withCurves > kMaxQueuedCurves) {
                auto lean = std::make_shared<FileEvent>();
                const FileEvent& full = *each->file;
                lean->runId = full.runId;
                lean->number = full.number;
                lean->timestampMs = full.timestampMs;
                lean->coaddEventMs = full.coaddEventMs;
                lean->scans = full.scans;
                lean->halves = full.halves;
                lean->pointsPerHalf = full.pointsPerHalf;
                lean->summary = full.summary;
                lean->progress = full.progress;
                each->file = std::move(lean);
            }
        }
    }
    wake_.notify_one();
}

void EventDispatcher::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return;
        }
        Item item = std::move(queue_.front());
        queue_.pop_front();
        const std::vector<std::shared_ptr<SessionObserver>> observers = observers_;
        lock.unlock();
        for (const std::shared_ptr<SessionObserver>& observer : observers) {
            // One failing observer must not cost the others their events.
            try {
                if (item.file != nullptr) {
                    observer->onFile(item.file);
                } else {
                    item.deliver(*observer);
                }
            } catch (...) {
            }
        }
        item = {};
        lock.lock();
        ++deliveredCount_;
        delivered_.notify_all();
    }
}

bool EventDispatcher::flush(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t target = queuedCount_;
    return delivered_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return deliveredCount_ >= target; });
}

void EventDispatcher::run(const RunEvent& event) {
    enqueue({[event](SessionObserver& observer) { observer.onRun(event); }, nullptr, false});
}

void EventDispatcher::progress(const ProgressEvent& event) {
    enqueue({[event](SessionObserver& observer) { observer.onProgress(event); }, nullptr, true});
}

void EventDispatcher::file(std::shared_ptr<const FileEvent> event) {
    enqueue({nullptr, std::move(event), false});
}

void EventDispatcher::end(const EndEvent& event) {
    enqueue({[event](SessionObserver& observer) { observer.onEnd(event); }, nullptr, false});
}

void EventDispatcher::error(const ErrorEvent& event) {
    enqueue({[event](SessionObserver& observer) { observer.onError(event); }, nullptr, false});
}

void EventDispatcher::warning(const std::string& text) {
    enqueue({[text](SessionObserver& observer) { observer.onWarning(text); }, nullptr, false});
}

void EventDispatcher::note(const std::string& text) {
    enqueue({[text](SessionObserver& observer) { observer.onNote(text); }, nullptr, false});
}

}  // namespace ostrel::session
