// A driver connection made by the socket layer (as open makes it) to a listener of the test's
// own, and the instrument's end of it, which plays a script of byte chunks: each chunk is sent
// once the driver has read the one before (or 100 ms have passed), then the end is shut down
// for writing, so that any wait of the driver ends as soon as the script is spent. Used by the
// fuzz targets of the link, where the script is the fuzzer's input.
#pragma once

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string_view>
#include <thread>
#include <vector>

#include "link/wil.h"

namespace ostrel::testing {

class LinkPeer {
  public:
    LinkPeer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~LinkPeer() {
        finish();
        ::close(listener_);
    }
    LinkPeer(const LinkPeer&) = delete;
    LinkPeer& operator=(const LinkPeer&) = delete;

    // Connects a new driver socket; its number, or a negative code.
    int32_t connect() {
        driver_ = tcpSocketOpen();
        if (driver_ < 0 || socketConnect(driver_, 0x7F000001, port_) != 1 ||
            socketWaitWritable(driver_, 2000) != 1) {
            finish();
            return -1;
        }
        peer_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return peer_ >= 0 ? driver_ : -1;
    }

    // Starts sending the chunks; they must stay valid until finish().
    void play(std::vector<std::string_view> chunks) {
        stop_.store(false);
        player_ = std::thread([this, script = std::move(chunks)] {
            for (std::string_view chunk : script) {
                awaitDrained();
                if (!chunk.empty()) {
                    ::send(peer_, chunk.data(), chunk.size(), MSG_NOSIGNAL);
                }
            }
            ::shutdown(peer_, SHUT_WR);
        });
    }

    // Ends the script and closes both ends.
    void finish() {
        stop_.store(true);
        if (player_.joinable()) {
            player_.join();
        }
        if (driver_ >= 0) {
            socketClose(driver_, 0);
            driver_ = -1;
        }
        if (peer_ >= 0) {
            ::close(peer_);
            peer_ = -1;
        }
    }

  private:
    void awaitDrained() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        int pending = 0;
        while (!stop_.load() && std::chrono::steady_clock::now() < deadline &&
               ::ioctl(driver_, FIONREAD, &pending) == 0 && pending > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    int32_t driver_ = -1;
    int peer_ = -1;
    std::atomic<bool> stop_{false};
    std::thread player_;
};

// Splits the fuzzer's bytes into chunks at every 0xFF byte (which is not sent).
inline std::vector<std::string_view> chunksOf(const uint8_t* data, size_t size) {
    std::vector<std::string_view> chunks;
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == 0xFF) {
            chunks.emplace_back(text + start, i - start);
            start = i + 1;
        }
    }
    return chunks;
}

}  // namespace ostrel::testing
