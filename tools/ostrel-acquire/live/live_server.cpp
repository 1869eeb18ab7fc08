#include "live_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace ostrel::acquire::live {
namespace {

// An open event stream with nothing to send writes a comment this often: that is how a stream
// whose browser has gone finds out (the write fails) and gives back its thread.
constexpr std::chrono::milliseconds kHeartbeat{1000};
// How long a connection may take to send its request, or to take what is written to it. A
// browser that stalls longer loses its event stream and, reconnecting, starts from the latest
// state; the limits also bound how long stop() waits for a connection.
constexpr time_t kReadTimeoutSeconds = 2;
constexpr time_t kWriteTimeoutSeconds = 2;
constexpr time_t kKeepAliveSeconds = 1;
constexpr std::chrono::seconds kStartLimit{5};

// httplib's default sets SO_REUSEPORT, which would let a second program bind the same port and
// quietly take half of the page's connections; SO_REUSEADDR alone still allows a restart while
// old connections linger.
void socketOptions(int socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace

LiveServer::LiveServer(EventHub& hub, PageFiles files)
    : hub_(hub), files_(std::move(files)), server_(std::make_unique<httplib::Server>()) {}

LiveServer::~LiveServer() {
    stop();
}

void LiveServer::addRoutes() {
    httplib::Server& server = *server_;
    server.Get("/events", [this](const httplib::Request&, httplib::Response& response) {
        std::shared_ptr<EventStream> stream = hub_.subscribe();
        if (stream == nullptr) {
            response.status = 503;
            response.set_content("too many event streams are open; close one and retry\n",
                                 "text/plain; charset=utf-8");
            return;
        }
        response.set_header("Cache-Control", "no-store");
        auto first = std::make_shared<bool>(true);
        // The stream lives as long as the provider, which the response owns: when the connection
        // ends the response goes, and with it the stream's place in the hub.
        response.set_chunked_content_provider(
            "text/event-stream", [stream, first](size_t, httplib::DataSink& sink) {
                // A reconnecting browser waits this long; it then starts from the latest state.
                std::string text = *first ? "retry: 2000\n\n" : "";
                *first = false;
                if (!stream->next(&text, kHeartbeat)) {
                    sink.done();
                    return true;
                }
                if (text.empty()) {
                    text = ":\n\n";
                }
                return sink.write(text.data(), text.size());
            });
    });
    server.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(hub_.stateJson(), "application/json");
    });
    server.Get(R"(/[^?]*)", [this](const httplib::Request& request, httplib::Response& response) {
        const auto found = files_.find(request.path == "/index.html" ? "/" : request.path);
        if (found == files_.end()) {
            response.status = 404;
            response.set_content("not found\n", "text/plain; charset=utf-8");
            return;
        }
        response.set_header("Cache-Control", "no-cache");
        response.set_content(found->second.body, found->second.contentType.c_str());
    });
}

bool LiveServer::start(const LiveAddress& address, std::string* error) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    server_->set_socket_options(socketOptions);
    server_->set_read_timeout(kReadTimeoutSeconds, 0);
    server_->set_write_timeout(kWriteTimeoutSeconds, 0);
    server_->set_keep_alive_timeout(kKeepAliveSeconds);
    server_->set_payload_max_length(64 * 1024);
    server_->set_default_headers({{"X-Content-Type-Options", "nosniff"}});
    addRoutes();
    errno = 0;
    if (address.port == 0) {
        port_ = server_->bind_to_any_port(address.host);
    } else {
        port_ = server_->bind_to_port(address.host, address.port) ? address.port : -1;
    }
    if (port_ <= 0) {
        const std::string reason = errno != 0 ? std::strerror(errno) : "cannot bind";
        *error = "cannot serve the live view on " + address.host + ":" +
                 std::to_string(address.port) + ": " + reason;
        port_ = 0;
        return false;
    }
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        listening_ = false;
    });
    // stop() only reaches a server that is already accepting, so start() returns once it is.
    const auto limit = std::chrono::steady_clock::now() + kStartLimit;
    while (!server_->is_running() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!server_->is_running()) {
        *error = "the live view's server did not start";
        return false;
    }
    return true;
}

void LiveServer::stop() {
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
