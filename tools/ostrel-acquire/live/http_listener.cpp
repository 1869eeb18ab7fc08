#include "http_listener.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace ostrel::acquire::live {
namespace {

constexpr std::chrono::seconds kStartLimit{5};

void socketOptions(int socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace

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
