// The four host events of a run as a host on Linux provides them: eventfd descriptors that the
// driver signals by writing 1 and that the host waits on with poll and resets by reading. An
// interrupt (SIGINT, SIGTERM) is turned into a readable pipe, so one poll waits for both.
#pragma once

#include <cstdint>
#include <string>

#include "ostreltcp.h"

namespace ostrel::acquire {

enum class HostEvent { ScanComplete, CoaddComplete, FilesComplete, Error };
inline constexpr int kHostEventCount = 4;

// What one wait found: the times each event was signalled since it was last reset (an eventfd
// adds up the writes), and whether an interrupt arrived.
struct EventCounts {
    uint64_t signalled[kHostEventCount] = {};
    uint64_t extra = 0;  // the caller's own eventfd, when it passed one
    bool interrupted = false;

    uint64_t of(HostEvent event) const { return signalled[static_cast<int>(event)]; }
    bool any() const;
};

class HostEvents {
  public:
    HostEvents() = default;
    ~HostEvents();
    HostEvents(const HostEvents&) = delete;
    HostEvents& operator=(const HostEvents&) = delete;

    bool create(std::string* error);
    ostreltcp_event_handle handle(HostEvent event) const;

    // Waits up to timeoutMs for any event, an interrupt or the caller's own eventfd (-1: none),
    // then resets every event it reports.
    EventCounts wait(int timeoutMs, int extraDescriptor = -1);

  private:
    int descriptors_[kHostEventCount] = {-1, -1, -1, -1};
};

// Routes SIGINT and SIGTERM into the pipe that HostEvents::wait watches, and ignores SIGPIPE.
// The first interrupt asks the run to stop cleanly; a second one ends the program at once.
bool installInterruptHandlers(std::string* error);
bool interruptRequested();

}  // namespace ostrel::acquire
