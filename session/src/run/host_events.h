// The four host events of a run as a host on Linux provides them: eventfd descriptors that the
// driver signals by writing 1 and that the host waits on with poll and resets by reading. The
// same wait also watches the session's own descriptors (a stop request, the file pipeline's
// progress), so one poll serves them all.
#pragma once

#include <cstdint>
#include <string>

#include "ostreltcp.h"

namespace ostrel::session {

enum class HostEvent { ScanComplete, CoaddComplete, FilesComplete, Error };
inline constexpr int kHostEventCount = 4;
inline constexpr int kExtraDescriptors = 2;

// What one wait found: the times each event was signalled since it was last reset (an eventfd
// adds up the writes), and the same for the caller's own eventfds.
struct EventCounts {
    uint64_t signalled[kHostEventCount] = {};
    uint64_t extra[kExtraDescriptors] = {};

    uint64_t of(HostEvent event) const { return signalled[static_cast<int>(event)]; }
    bool anyDriverEvent() const;
};

class HostEvents {
  public:
    HostEvents() = default;
    ~HostEvents();
    HostEvents(const HostEvents&) = delete;
    HostEvents& operator=(const HostEvents&) = delete;

    bool create(std::string* error);
    ostreltcp_event_handle handle(HostEvent event) const;

    // Waits up to timeoutMs for any event or either of the caller's eventfds (-1: none), then
    // resets every one it reports, except an event left for take(): that one is reported as 1.
    EventCounts wait(int timeoutMs, int extra0 = -1, int extra1 = -1);

    // From now on wait() leaves this event signalled, for take() to reset: then several threads
    // can wait for it, and exactly one of them takes each count.
    void leaveForTake(HostEvent event);
    // Resets the event without waiting: how often it was signalled since (0 when another thread
    // took it first).
    uint64_t take(HostEvent event);
    // Waits up to timeoutMs for this event or the caller's eventfd (-1: none), resetting neither;
    // true when the event is signalled.
    bool waitFor(HostEvent event, int extra, int timeoutMs);

  private:
    int descriptors_[kHostEventCount] = {-1, -1, -1, -1};
    bool leftForTake_[kHostEventCount] = {};
};

// An eventfd that one thread signals and another waits on (with HostEvents::wait or poll).
class WakeEvent {
  public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    bool valid() const { return descriptor_ >= 0; }
    int descriptor() const { return descriptor_; }
    void signal();
    // Resets it; true when it had been signalled.
    bool take();

  private:
    int descriptor_ = -1;
};

}  // namespace ostrel::session
