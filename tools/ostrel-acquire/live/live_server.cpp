#include "live_server.h"

#include <httplib.h>

#include <chrono>

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

}  // namespace

LiveServer::LiveServer(EventHub& hub, PageFiles files)
    : hub_(hub), files_(std::move(files)), server_(std::make_unique<httplib::Server>()) {}

LiveServer::~LiveServer() {
    stop();
}

void LiveServer::addRoutes() {
    httplib::Server& server = *server_;
    server.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            if (hostAllowed(request.get_header_value("Host"), listenHost_)) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            response.status = 403;
            response.set_content(std::string(kForeignHostText) + "\n", "text/plain; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        });
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
    ListenerSettings settings;
    settings.threads = kServerThreads;
    settings.readTimeoutSeconds = kReadTimeoutSeconds;
    settings.writeTimeoutSeconds = kWriteTimeoutSeconds;
    settings.keepAliveSeconds = kKeepAliveSeconds;
    configureServer(*server_, settings);
    server_->set_default_headers({{"X-Content-Type-Options", "nosniff"}});
    listenHost_ = address.host;
    addRoutes();
    std::string reason;
    port_ = bindServer(*server_, address.host, address.port, &reason);
    if (port_ == 0) {
        *error = "cannot serve the live view on " + address.host + ":" +
                 std::to_string(address.port) + ": " + reason;
        return false;
    }
    if (!listener_.start(*server_)) {
        *error = "the live view's server did not start";
        return false;
    }
    return true;
}

void LiveServer::stop() {
    listener_.stop();
}

}  // namespace ostrel::acquire::live
