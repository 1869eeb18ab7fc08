#include "http_listener.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "live_address.h"

namespace ostrel::acquire::live {
namespace {

constexpr std::chrono::seconds kStartLimit{5};

void socketOptions(int socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// A Host header's name, as the browser may spell it, against the listening address's test.
bool isLoopbackName(std::string_view name) {
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!lower.empty() && lower.back() == '.') {
        lower.pop_back();  // "localhost." is the same name
    }
    // Addresses as literals only: "127.0.0.1.example.org" is a name anyone can point anywhere.
    return isLoopbackHost(lower);
}

}  // namespace

bool hostAllowed(std::string_view hostHeader, std::string_view listenHost) {
    if (hostHeader.empty() || !isLoopbackName(listenHost)) {
        return true;
    }
    std::string_view name = hostHeader;
    if (name.front() == '[') {
        const size_t close = name.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        name = name.substr(1, close - 1);
    } else if (const size_t colon = name.find(':'); colon != std::string_view::npos) {
        name = name.substr(0, colon);
    }
    return isLoopbackName(name);
}

void configureServer(httplib::Server& server, const ListenerSettings& settings) {
    const size_t threads = settings.threads;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_socket_options(socketOptions);
    server.set_read_timeout(settings.readTimeoutSeconds, 0);
    server.set_write_timeout(settings.writeTimeoutSeconds, 0);
    server.set_keep_alive_timeout(settings.keepAliveSeconds);
    server.set_payload_max_length(settings.bodyLimit);
}

int bindServer(httplib::Server& server, const std::string& host, int port, std::string* reason) {
    errno = 0;
    const int bound =
        port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        *reason = errno != 0 ? std::strerror(errno) : "cannot bind";
        return 0;
    }
    return bound;
}

ListeningThread::~ListeningThread() {
    stop();
}

bool ListeningThread::start(httplib::Server& server) {
    server_ = &server;
    listening_ = true;
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        listening_ = false;
    });
    const auto limit = std::chrono::steady_clock::now() + kStartLimit;
    while (!server.is_running() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return server.is_running();
}

void ListeningThread::stop() {
    if (!thread_.joinable()) {
        return;
    }
    // httplib's stop() does nothing to a server that has not begun to accept yet, so it is
    // repeated until the listening thread has ended (start() normally waited for it already).
    const auto limit = std::chrono::steady_clock::now() + kStartLimit;
    server_->stop();
    while (listening_ && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        server_->stop();
    }
    thread_.join();
}

}  // namespace ostrel::acquire::live
