#include "sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace ostrel::sim {
namespace {

constexpr int kBacklog = 8;

std::string describe(const char* what, const std::string& address, uint16_t port) {
    return std::string(what) + " " + address + ":" + std::to_string(port) + ": " +
           std::strerror(errno);
}

bool toSocketAddress(const std::string& address, uint16_t port, sockaddr_in* out) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    return inet_pton(AF_INET, address.c_str(), &out->sin_addr) == 1;
}

int openBound(int type, const std::string& address, uint16_t* port, std::string* error) {
    sockaddr_in socketAddress;
    if (!toSocketAddress(address, *port, &socketAddress)) {
        if (error)
            *error = "not an IPv4 address: '" + address + "'";
        return -1;
    }
    int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error)
            *error = describe("cannot create a socket for", address, *port);
        return -1;
    }
    // Reuse lets the listeners come back on their own ports right after a reboot.
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof socketAddress;
    const char* failed = nullptr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&socketAddress), sizeof socketAddress) != 0) {
        failed = "cannot bind";
    } else if (type == SOCK_STREAM && ::listen(fd, kBacklog) != 0) {
        failed = "cannot listen on";
    } else if (::getsockname(fd, reinterpret_cast<sockaddr*>(&socketAddress), &length) != 0) {
        failed = "cannot read the port of";
    }
    if (failed) {
        if (error)
            *error = describe(failed, address, *port);
        ::close(fd);
        return -1;
    }
    *port = ntohs(socketAddress.sin_port);
    return fd;
}

}  // namespace

int openTcpListener(const std::string& address, uint16_t* port, std::string* error) {
    return openBound(SOCK_STREAM, address, port, error);
}

int openUdpSocket(const std::string& address, uint16_t* port, std::string* error) {
    return openBound(SOCK_DGRAM, address, port, error);
}

int acceptClient(int listener) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return -1;
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

void closeSocket(int* fd, bool reset) {
    if (*fd < 0)
        return;
    if (reset) {
        linger abort{1, 0};
        ::setsockopt(*fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(*fd);
    *fd = -1;
}

bool openWakePipe(int* readEnd, int* writeEnd, std::string* error) {
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (error)
            *error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return false;
    }
    *readEnd = ends[0];
    *writeEnd = ends[1];
    return true;
}

}  // namespace ostrel::sim
