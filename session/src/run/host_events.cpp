#include "run/host_events.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrel::session {

bool EventCounts::anyDriverEvent() const {
    for (const uint64_t count : signalled) {
        if (count != 0) {
            return true;
        }
    }
    return false;
}

HostEvents::~HostEvents() {
    for (int& descriptor : descriptors_) {
        if (descriptor >= 0) {
            close(descriptor);
            descriptor = -1;
        }
    }
}

bool HostEvents::create(std::string* error) {
    for (int& descriptor : descriptors_) {
        if (descriptor < 0) {
            // Non-blocking: where several threads wait for one event, all of them wake, and
            // those that find its count taken must not then wait in read().
            descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        }
        if (descriptor < 0) {
            *error = std::string("cannot create a host event: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

ostreltcp_event_handle HostEvents::handle(HostEvent event) const {
    return static_cast<ostreltcp_event_handle>(descriptors_[static_cast<int>(event)]);
}

EventCounts HostEvents::wait(int timeoutMs, int extra0, int extra1) {
    constexpr int kAll = kHostEventCount + kExtraDescriptors;
    pollfd entries[kAll];
    for (int k = 0; k < kHostEventCount; ++k) {
        entries[k] = pollfd{descriptors_[k], POLLIN, 0};
    }
    entries[kHostEventCount] = pollfd{extra0, POLLIN, 0};
    entries[kHostEventCount + 1] = pollfd{extra1, POLLIN, 0};
    EventCounts counts;
    // An interrupted poll (EINTR) returns early; the caller's loop simply waits again.
    if (poll(entries, kAll, timeoutMs) > 0) {
        for (int k = 0; k < kAll; ++k) {
            uint64_t value = 0;
            if ((entries[k].revents & POLLIN) == 0) {
                continue;
            }
            if (k < kHostEventCount && leftForTake_[k]) {
                counts.signalled[k] = 1;
            } else if (read(entries[k].fd, &value, sizeof value) == sizeof value) {
                (k >= kHostEventCount ? counts.extra[k - kHostEventCount] : counts.signalled[k]) =
                    value;
            }
        }
    }
    return counts;
}

void HostEvents::leaveForTake(HostEvent event) {
    leftForTake_[static_cast<int>(event)] = true;
}

uint64_t HostEvents::take(HostEvent event) {
    uint64_t value = 0;
    return read(descriptors_[static_cast<int>(event)], &value, sizeof value) == sizeof value ? value
                                                                                             : 0;
}

bool HostEvents::waitFor(HostEvent event, int extra, int timeoutMs) {
    pollfd entries[2] = {pollfd{descriptors_[static_cast<int>(event)], POLLIN, 0},
                         pollfd{extra, POLLIN, 0}};
    return poll(entries, 2, timeoutMs) > 0 && (entries[0].revents & POLLIN) != 0;
}

WakeEvent::WakeEvent() : descriptor_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeEvent::~WakeEvent() {
    if (descriptor_ >= 0) {
        close(descriptor_);
    }
}

void WakeEvent::signal() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(descriptor_, &one, sizeof one);
}

bool WakeEvent::take() {
    uint64_t value = 0;
    return read(descriptor_, &value, sizeof value) == sizeof value && value != 0;
}

}  // namespace ostrel::session
