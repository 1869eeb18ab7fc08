// What the tool's two HTTP servers (the live view and `serve`) do alike with cpp-httplib: a pool
// of connection threads, socket options and time limits, a bind to the address asked for, and
// the accept loop on a thread of its own that start() waits for and stop() ends.
#pragma once

#include <atomic>
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>

namespace httplib {
class Server;
}

namespace ostrel::acquire::live {

struct ListenerSettings {
    size_t threads = 16;  // connections served at once
    // How long a connection may take to send its request or to take what is written to it,
    // and to stay idle between requests; they also bound how long stop() waits.
    time_t readTimeoutSeconds = 2;
    time_t writeTimeoutSeconds = 2;
    time_t keepAliveSeconds = 1;
    size_t bodyLimit = 64 * 1024;
};

// Sets the server up; SO_REUSEADDR only (httplib's default SO_REUSEPORT would let a second
// program bind the same port and quietly take half of the connections).
void configureServer(httplib::Server& server, const ListenerSettings& settings);

// Binds to host:port (port 0: any free port). Returns the port, or 0 with the reason.
int bindServer(httplib::Server& server, const std::string& host, int port, std::string* reason);

// Whether a request's Host header lets a server bound to listenHost answer it. Against DNS
// rebinding: a page from another site whose name was made to resolve to 127.0.0.1 reaches a
// loopback server as its own origin, and its browser sends that site's name as Host. A server on
// a loopback address therefore answers only to loopback names; a request without Host (not a
// browser) passes. A server on any other address answers to any name: it is reached by the
// machine's names on the network, and the token (and TLS) guard it there.
bool hostAllowed(std::string_view hostHeader, std::string_view listenHost);
// The text of the 403 a refused request gets.
inline constexpr const char* kForeignHostText =
    "this server answers only to the names of this machine's loopback address";

// The accept loop of a bound server on a thread of its own.
class ListeningThread {
  public:
    ListeningThread() = default;
    ~ListeningThread();  // stop()
    ListeningThread(const ListeningThread&) = delete;
    ListeningThread& operator=(const ListeningThread&) = delete;

    // Starts the loop and returns once the server accepts (false when it did not within 5 s):
    // httplib's stop() reaches only a server that is accepting already.
    bool start(httplib::Server& server);
    // Ends the loop and joins its thread.
    void stop();

  private:
    httplib::Server* server_ = nullptr;
    std::thread thread_;
    std::atomic<bool> listening_{true};  // until the loop has ended
};

}  // namespace ostrel::acquire::live
