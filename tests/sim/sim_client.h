// A plain blocking TCP client on 127.0.0.1 that plays the host's side against the simulator.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "support/loopback.h"

namespace ostrel::testing {

class SimClient {
  public:
    enum class End { Open, Closed, Reset };
    friend void PrintTo(End end, std::ostream* os) {
        *os << (end == End::Open ? "Open" : end == End::Closed ? "Closed" : "Reset");
    }

    explicit SimClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_in address = loopbackAddress(port);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            connectError_ = errno;
        }
    }
    ~SimClient() { ::close(fd_); }
    SimClient(const SimClient&) = delete;
    SimClient& operator=(const SimClient&) = delete;

    bool connected() const { return connectError_ == 0; }
    int connectError() const { return connectError_; }

    // Sends nothing for an empty text: even an empty send would take a pending reset's error,
    // which endState() looks for.
    void send(std::string_view text) const {
        if (!text.empty())
            ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
    }

    // What arrives until `count` bytes (or `token`) are in, the peer ends, or timeoutMs passes.
    std::string read(size_t count, int timeoutMs) {
        return collect([&](const std::string& got) { return got.size() >= count; }, timeoutMs);
    }
    std::string readUntil(std::string_view token, int timeoutMs) {
        return collect([&](const std::string& got) { return got.find(token) != got.npos; },
                       timeoutMs);
    }

    // How the connection stands after quietMs: open and silent, closed or reset. It returns as
    // soon as the peer ends, so a generous limit costs nothing where an end is expected. Bytes
    // that arrive meanwhile end up in extra(). Once the peer has ended, in this call or an
    // earlier read, that ending stands: reading again would turn a reset into a plain close.
    End endState(int quietMs) {
        extra_.clear();
        if (lastResult_ > 0)
            extra_ = collect([](const std::string&) { return false; }, quietMs);
        if (lastError_ == ECONNRESET)
            return End::Reset;
        return lastResult_ == 0 ? End::Closed : End::Open;
    }
    const std::string& extra() const { return extra_; }

  private:
    std::string collect(const std::function<bool(const std::string&)>& done, int timeoutMs) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done(got)) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) != 1)
                break;
            char buffer[65536];
            lastResult_ = ::recv(fd_, buffer, sizeof buffer, 0);
            lastError_ = lastResult_ < 0 ? errno : 0;
            if (lastResult_ <= 0)
                break;
            got.append(buffer, static_cast<size_t>(lastResult_));
        }
        return got;
    }

    int fd_;
    int connectError_ = 0;
    ssize_t lastResult_ = 1;
    int lastError_ = 0;
    std::string extra_;
};

// A test-name suffix made of the letters and digits of `text`, other characters as '_'.
inline std::string nameFrom(std::string_view text) {
    std::string name(text);
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    }
    return name;
}

inline void sendDatagram(uint16_t port, std::string_view payload) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(port);
    ::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&address),
             sizeof address);
    ::close(fd);
}

}  // namespace ostrel::testing
