// A host event as a POSIX host makes one: an eventfd that the driver signals by writing 1.
#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace ostrel::testing {

class HostEvent {
  public:
    HostEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~HostEvent() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    HostEvent(const HostEvent&) = delete;
    HostEvent& operator=(const HostEvent&) = delete;

    uintptr_t handle() const { return static_cast<uintptr_t>(fd_); }

    // Reads and resets the count of signals since the last take.
    uint64_t take() {
        uint64_t count = 0;
        return read(fd_, &count, sizeof count) == sizeof count ? count : 0;
    }

    // Waits up to timeoutMs for a signal; true when one came (the count is left in place).
    bool wait(int timeoutMs) const {
        pollfd entry{fd_, POLLIN, 0};
        return poll(&entry, 1, timeoutMs) == 1;
    }

  private:
    int fd_;
};

}  // namespace ostrel::testing
