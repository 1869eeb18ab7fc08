#include "host_events.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace ostrel::acquire {
namespace {

// The self-pipe: the handler writes one byte, the waiter polls the read end. Both ends are
// non-blocking, so a handler never blocks on a full pipe and a drain never blocks on an empty one.
int interruptPipe[2] = {-1, -1};
std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
    const int savedErrno = errno;
    interrupted.store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(interruptPipe[1], &byte, 1);
    errno = savedErrno;
}

void drainInterruptPipe() {
    char bytes[64];
    while (read(interruptPipe[0], bytes, sizeof bytes) > 0) {
    }
}

}  // namespace

bool EventCounts::any() const {
    for (const uint64_t count : signalled) {
        if (count != 0) {
            return true;
        }
    }
    return extra != 0 || interrupted;
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
        descriptor = eventfd(0, EFD_CLOEXEC);
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

EventCounts HostEvents::wait(int timeoutMs, int extraDescriptor) {
    constexpr int kExtra = kHostEventCount;
    constexpr int kInterrupt = kHostEventCount + 1;
    pollfd entries[kHostEventCount + 2];
    for (int k = 0; k < kHostEventCount; ++k) {
        entries[k] = pollfd{descriptors_[k], POLLIN, 0};
    }
    entries[kExtra] = pollfd{extraDescriptor, POLLIN, 0};
    entries[kInterrupt] = pollfd{interruptPipe[0], POLLIN, 0};
    EventCounts counts;
    // An interrupted poll (EINTR) returns early; the caller's loop simply waits again.
    if (poll(entries, kHostEventCount + 2, timeoutMs) > 0) {
        for (int k = 0; k <= kExtra; ++k) {
            uint64_t value = 0;
            if ((entries[k].revents & POLLIN) != 0 &&
                read(entries[k].fd, &value, sizeof value) == sizeof value) {
                (k == kExtra ? counts.extra : counts.signalled[k]) = value;
            }
        }
        if ((entries[kInterrupt].revents & POLLIN) != 0) {
            drainInterruptPipe();
        }
    }
    counts.interrupted = interrupted.load();
    return counts;
}

bool installInterruptHandlers(std::string* error) {
    if (pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("cannot create the interrupt pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // SA_RESETHAND: the second Ctrl-C meets the default action and ends the program at once,
    // for when a clean stop takes longer than a person wants to wait.
    action.sa_flags = SA_RESETHAND;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0 ||
        sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        *error = std::string("cannot install the interrupt handlers: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool interruptRequested() {
    return interrupted.load();
}

}  // namespace ostrel::acquire
