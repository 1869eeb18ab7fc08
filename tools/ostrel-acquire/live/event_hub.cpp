#include "event_hub.h"

#include <condition_variable>
#include <map>

namespace ostrel::acquire::live {

using Frame = std::shared_ptr<const std::string>;

// One stream's queue. Reached only through EventHub::Shared::clients, under its mutex.
struct EventStream::Client {
    std::deque<Frame> queue;
    bool behind = true;  // take the latest state next (a new stream starts there too)
    bool ended = false;  // next() has said that the hub is closed and nothing is left
    uint64_t resynchronisations = 0;
    std::condition_variable_any wake;
};

struct EventHub::Shared {
    Shared(size_t streams, size_t limit) : maxStreams(streams), queueLimit(limit) {}

    const size_t maxStreams;
    const size_t queueLimit;
    mutable GuardedMutex mutex;
    std::map<const EventStream::Client*, std::shared_ptr<EventStream::Client>> clients
        LIVE_GUARDED_BY(mutex);
    // The latest event of each type: its SSE text, and its data alone for /api/state.
    Frame latestFrame[kLiveEventCount] LIVE_GUARDED_BY(mutex);
    std::string latestData[kLiveEventCount] LIVE_GUARDED_BY(mutex);
    bool closed LIVE_GUARDED_BY(mutex) = false;
    std::condition_variable_any streamEnded;
    uint64_t bytes LIVE_GUARDED_BY(mutex) = 0;

    // What a stream that is new or behind is given: the session's state and run first, then the
    // latest file, so that a page has its curves before the progress and any error or end that
    // follows.
    void appendLatest(std::string* text) LIVE_REQUIRES(mutex) {
        for (const LiveEvent event : {LiveEvent::State, LiveEvent::Run, LiveEvent::File,
                                      LiveEvent::Progress, LiveEvent::Error, LiveEvent::End}) {
            if (const Frame& frame = latestFrame[static_cast<int>(event)]) {
                text->append(*frame);
            }
        }
    }
};

std::string_view eventName(LiveEvent event) {
    switch (event) {
        case LiveEvent::Progress:
            return "progress";
        case LiveEvent::File:
            return "file";
        case LiveEvent::End:
            return "end";
        case LiveEvent::Run:
            return "run";
        case LiveEvent::State:
            return "state";
        default:
            return "error";
    }
}

EventHub::EventHub(size_t maxStreams, size_t queueLimit)
    : shared_(std::make_shared<Shared>(maxStreams, queueLimit < 1 ? 1 : queueLimit)) {}

EventHub::~EventHub() {
    close();
}

std::shared_ptr<EventStream> EventHub::subscribe() {
    GuardedLock lock(shared_->mutex);
    if (shared_->closed || shared_->clients.size() >= shared_->maxStreams) {
        return nullptr;
    }
    auto client = std::make_shared<EventStream::Client>();
    shared_->clients.emplace(client.get(), client);
    return std::shared_ptr<EventStream>(new EventStream(shared_, std::move(client)));
}

void EventHub::publish(LiveEvent event, const std::string& data) {
    std::string text = "event: ";
    text.append(eventName(event));
    text.append("\ndata: ");
    text.append(data);
    text.append("\n\n");
    const Frame frame = std::make_shared<const std::string>(std::move(text));
    GuardedLock lock(shared_->mutex);
    if (shared_->closed) {
        return;
    }
    shared_->latestFrame[static_cast<int>(event)] = frame;
    shared_->latestData[static_cast<int>(event)] = data;
    for (auto& [key, client] : shared_->clients) {
        if (client->behind) {
            // It takes the latest state anyway, which now includes this event.
        } else if (client->queue.size() >= shared_->queueLimit) {
            client->queue.clear();
            client->behind = true;
            ++client->resynchronisations;
        } else {
            client->queue.push_back(frame);
        }
        client->wake.notify_all();
    }
}

std::string EventHub::stateJson() const {
    GuardedLock lock(shared_->mutex);
    std::string json = "{";
    for (int event = 0; event < kLiveEventCount; ++event) {
        const std::string& data = shared_->latestData[event];
        json += "\"";
        json += eventName(static_cast<LiveEvent>(event));
        json += "\":";
        json += data.empty() ? "null" : data;
        json += ",";
    }
    json += "\"streams\":" + std::to_string(shared_->clients.size());
    json += ",\"event_bytes\":" + std::to_string(shared_->bytes) + "}";
    return json;
}

void EventHub::close() {
    GuardedLock lock(shared_->mutex);
    shared_->closed = true;
    for (auto& [key, client] : shared_->clients) {
        client->wake.notify_all();
    }
}

bool EventHub::waitForStreamsToEnd(std::chrono::milliseconds limit) {
    GuardedLock lock(shared_->mutex);
    return shared_->streamEnded.wait_for(lock, limit, [this]() LIVE_REQUIRES(shared_->mutex) {
        for (const auto& [key, client] : shared_->clients) {
            if (!client->ended) {
                return false;
            }
        }
        return true;
    });
}

size_t EventHub::streamCount() const {
    GuardedLock lock(shared_->mutex);
    return shared_->clients.size();
}

uint64_t EventHub::bytesHandedOut() const {
    GuardedLock lock(shared_->mutex);
    return shared_->bytes;
}

EventStream::EventStream(std::shared_ptr<EventHub::Shared> shared, std::shared_ptr<Client> client)
    : shared_(std::move(shared)), client_(std::move(client)) {}

EventStream::~EventStream() {
    GuardedLock lock(shared_->mutex);
    shared_->clients.erase(client_.get());
    shared_->streamEnded.notify_all();
}

bool EventStream::next(std::string* text, std::chrono::milliseconds limit) {
    GuardedLock lock(shared_->mutex);
    Client& client = *client_;
    // Reads of the hub's state happen with the lock held: wait_for relocks it before the test.
    client.wake.wait_for(lock, limit, [&]() LIVE_REQUIRES(shared_->mutex) {
        return client.behind || !client.queue.empty() || shared_->closed;
    });
    const size_t before = text->size();
    if (client.behind) {
        client.queue.clear();
        client.behind = false;
        shared_->appendLatest(text);
    }
    for (const Frame& frame : client.queue) {
        text->append(*frame);
    }
    client.queue.clear();
    shared_->bytes += text->size() - before;
    if (shared_->closed && text->size() == before) {
        client.ended = true;
        shared_->streamEnded.notify_all();
        return false;
    }
    return true;
}

uint64_t EventStream::resynchronisations() const {
    GuardedLock lock(shared_->mutex);
    return client_->resynchronisations;
}

}  // namespace ostrel::acquire::live
