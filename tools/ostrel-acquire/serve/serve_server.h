// The server's transport (cpp-httplib, over TLS when given a certificate): the page, the API's
// routes made from its table of operations, POST /api/login (the token swapped for a cookie) and
// GET /events. Every /api and /events request is checked for the token first, every changing
// one for its Origin; bodies are bounded; every response carries the page's security headers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "event_hub.h"
#include "http_listener.h"
#include "live_address.h"
#include "page_files.h"
#include "serve_api.h"

namespace httplib {
class Server;
}

namespace ostrel::acquire::serve {

inline constexpr size_t kServerThreads = 16;
inline constexpr size_t kMaxEventStreams = 8;

struct ServerSecurity {
    std::string token;
    std::string tlsCert;  // both empty: plain HTTP
    std::string tlsKey;
};

class ServeServer {
  public:
    ServeServer(ServeApi& api, live::EventHub& hub, live::PageFiles page, ServerSecurity security);
    ~ServeServer();  // stop()
    ServeServer(const ServeServer&) = delete;
    ServeServer& operator=(const ServeServer&) = delete;

    bool start(const live::LiveAddress& address, std::string* error);
    int port() const { return port_; }
    bool tls() const { return !security_.tlsCert.empty(); }
    void stop();

  private:
    void addRoutes();

    ServeApi& api_;
    live::EventHub& hub_;
    const live::PageFiles page_;
    const ServerSecurity security_;
    std::unique_ptr<httplib::Server> server_;
    live::ListeningThread listener_;
    int port_ = 0;
    // Filled by start(), read by the request threads after.
    std::vector<std::string> origins_;
    bool wildcard_ = false;
    std::string listenHost_;  // the address bound, for the Host check
};

// The headers every response carries: a Content-Security-Policy that allows no inline script and
// nothing from elsewhere, no sniffing, no framing, no referrer.
const std::vector<std::pair<std::string, std::string>>& securityHeaders();

}  // namespace ostrel::acquire::serve
