// The live view's updates, fanned out to every connected event stream (Server-Sent Events).
// Publishing never waits for a client: each stream has a short queue, and a stream that falls
// behind (a slow or vanished browser) loses its backlog and is handed the latest state instead,
// so neither the acquisition nor the other clients ever wait for it. The hub also keeps the
// latest event of each type, which is what a new stream starts with and what /api/state returns.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "guarded_mutex.h"

namespace ostrel::acquire::live {

// Run and State are the server's (serve): a run began or ended, and the session's state.
enum class LiveEvent { Progress, File, End, Error, Run, State };
inline constexpr int kLiveEventCount = 6;

// "progress", "file", "end", "error", "run", "state": the SSE event names.
std::string_view eventName(LiveEvent event);

class EventStream;

class EventHub {
  public:
    // At most maxStreams streams at once; each holds at most queueLimit events before it is
    // considered behind.
    EventHub(size_t maxStreams, size_t queueLimit);
    ~EventHub();  // close()
    EventHub(const EventHub&) = delete;
    EventHub& operator=(const EventHub&) = delete;

    // A new stream, which starts with the latest state. Null when maxStreams are open or the hub
    // is closed.
    std::shared_ptr<EventStream> subscribe();

    // data is one JSON object on one line. Kept as the latest of its type and queued for every
    // stream.
    void publish(LiveEvent event, const std::string& data);

    // {"progress": ..., "file": ..., "end": ..., "error": ..., "run": ..., "state": ...,
    //  "streams": N, "event_bytes": B}
    // with the latest data of each type (null before the first).
    std::string stateJson() const;

    // Ends every stream once it has taken what is queued; no stream can be opened after.
    void close();
    // After close(): waits up to limit until every stream has taken its last events and ended.
    // True when they all have.
    bool waitForStreamsToEnd(std::chrono::milliseconds limit);

    size_t streamCount() const;
    // Bytes of event text handed to streams so far (all streams together).
    uint64_t bytesHandedOut() const;

  private:
    friend class EventStream;
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

// One client's view of the hub. Destroying it (when its connection ends) unsubscribes it.
class EventStream {
  public:
    ~EventStream();
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    // Waits up to limit for events and appends their SSE text to *text (nothing when the limit
    // passed). False when the hub is closed and everything queued has been taken.
    bool next(std::string* text, std::chrono::milliseconds limit);

    // How often this stream fell behind and was given the latest state instead of its backlog.
    uint64_t resynchronisations() const;

  private:
    friend class EventHub;
    struct Client;
    EventStream(std::shared_ptr<EventHub::Shared> shared, std::shared_ptr<Client> client);

    std::shared_ptr<EventHub::Shared> shared_;
    std::shared_ptr<Client> client_;
};

}  // namespace ostrel::acquire::live
