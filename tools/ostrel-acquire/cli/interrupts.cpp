#include "interrupts.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

bool waitForInterrupt(int timeoutMs) {
    if (interrupted.load()) {
        return true;
    }
    pollfd entry{interruptPipe[0], POLLIN, 0};
    // An interrupted poll (EINTR) returns early; the flag tells what happened.
    if (poll(&entry, 1, timeoutMs) > 0) {
        drainInterruptPipe();
    }
    return interrupted.load();
}

}  // namespace ostrel::acquire
