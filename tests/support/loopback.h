// Plain POSIX sockets on 127.0.0.1 that play the remote side in tests of the socket layer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace ostrel::testing {

inline constexpr uint32_t kLoopback = 0x7F000001;

inline sockaddr_in loopbackAddress(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(kLoopback);
    return address;
}

inline uint16_t boundPort(int descriptor) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A listening socket on a free port. With a backlog of 0 and no accept, the accept queue fills
// after one connection and further connects stay pending: an address that never answers.
class Listener {
  public:
    explicit Listener(int backlog = 4) {
        descriptor_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopbackAddress(0);
        bind(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        listen(descriptor_, backlog);
        port_ = boundPort(descriptor_);
    }
    ~Listener() { close(descriptor_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    uint16_t port() const { return port_; }

    // The next connection, or -1 when none arrives within timeoutMs.
    int accept(int timeoutMs = 2000) const {
        pollfd entry{descriptor_, POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) != 1) {
            return -1;
        }
        return ::accept4(descriptor_, nullptr, nullptr, SOCK_CLOEXEC);
    }

  private:
    int descriptor_ = -1;
    uint16_t port_ = 0;
};

// A port that nobody listens on (bound once, then released).
inline uint16_t unusedPort() {
    const Listener listener;
    return listener.port();
}

// Closes with SO_LINGER 0, so that the peer sees a reset instead of an orderly close.
inline void closeWithReset(int descriptor) {
    const linger abortive{1, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(descriptor);
}

// Gives the loopback a moment to deliver what was sent or closed.
inline void settle() {
    usleep(20 * 1000);
}

}  // namespace ostrel::testing
