// The live view's HTTP server (cpp-httplib): the page, GET /events (Server-Sent Events from the
// hub) and GET /api/state. It only reads: nothing it serves changes the instrument or the run.
// It runs on a fixed pool of threads, so connections that come and go leave no thread behind;
// an event stream holds one of them while it is open, which is why the hub limits the streams
// to fewer than the pool has threads.
#pragma once

#include <memory>
#include <string>

#include "event_hub.h"
#include "http_listener.h"
#include "live_address.h"
#include "page_files.h"

namespace httplib {
class Server;
}

namespace ostrel::acquire::live {

// Threads serving connections; EventHub's stream limit must stay below it.
inline constexpr size_t kServerThreads = 16;
inline constexpr size_t kMaxEventStreams = 8;

class LiveServer {
  public:
    LiveServer(EventHub& hub, PageFiles files);
    ~LiveServer();  // stop()
    LiveServer(const LiveServer&) = delete;
    LiveServer& operator=(const LiveServer&) = delete;

    // Binds the address and starts serving; false with *error when it cannot listen there.
    bool start(const LiveAddress& address, std::string* error);
    int port() const { return port_; }
    // Stops accepting, ends the connections and joins every thread. Close the hub first, or an
    // open event stream holds this up to its heartbeat interval.
    void stop();

  private:
    void addRoutes();

    EventHub& hub_;
    const PageFiles files_;
    std::unique_ptr<httplib::Server> server_;
    ListeningThread listener_;
    int port_ = 0;
    std::string listenHost_;  // the address bound, for the Host check
};

}  // namespace ostrel::acquire::live
