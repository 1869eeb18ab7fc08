// A plain blocking TCP/UDP client on 127.0.0.1 that plays the host's side against the simulator.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace ostrel::testing {

class SimClient {
   public:
    enum class End { Open, Closed, Reset };
    friend void PrintTo(End end, std::ostream* os) {
        *os << (end == End::Open ? "Open" : end == End::Closed ? "Closed" : "Reset");
    }

    explicit SimClient(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            connectError_ = errno;
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~SimClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    SimClient(const SimClient&) = delete;
    SimClient& operator=(const SimClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    int connectError() const { return connectError_; }

    // Sends nothing for an empty text: even an empty send would take a pending reset's error,
    // which endState() looks for.
    void send(std::string_view text) const {
        if (!text.empty()) ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
    }

    // Everything that arrives until `count` bytes are in, the peer ends, or timeoutMs passes.
    std::string read(size_t count, int timeoutMs) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count && receiveOnce(&got, deadline)) {
        }
        return got;
    }

    // Everything that arrives until `token` is among it, the peer ends, or timeoutMs passes.
    std::string readUntil(std::string_view token, int timeoutMs) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.find(token) == std::string::npos && receiveOnce(&got, deadline)) {
        }
        return got;
    }

    // How the connection stands after quietMs: still open and silent, closed, or reset. Bytes
    // that arrive meanwhile end up in extra().
    End endState(int quietMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(quietMs);
        while (receiveOnce(&extra_, deadline)) {
        }
        if (lastError_ == ECONNRESET) return End::Reset;
        return lastResult_ == 0 ? End::Closed : End::Open;
    }
    const std::string& extra() const { return extra_; }

   private:
    // One receive into *got; false when the deadline passed, the peer ended or recv failed.
    bool receiveOnce(std::string* got, std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd_, POLLIN, 0};
        if (fd_ < 0 || left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) != 1) {
            return false;
        }
        char buffer[65536];
        lastResult_ = ::recv(fd_, buffer, sizeof buffer, 0);
        lastError_ = lastResult_ < 0 ? errno : 0;
        if (lastResult_ <= 0) return false;
        got->append(buffer, static_cast<size_t>(lastResult_));
        return true;
    }

    int fd_ = -1;
    int connectError_ = 0;
    ssize_t lastResult_ = 1;
    int lastError_ = 0;
    std::string extra_;
};

inline void sendDatagram(uint16_t port, std::string_view payload) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&address),
             sizeof address);
    ::close(fd);
}

}  // namespace ostrel::testing
