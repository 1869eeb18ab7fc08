// The live view of a run (--live): a server that a browser watches while the instrument is
// aligned or a run goes on. The acquisition publishes progress, errors and the end; the file
// writer publishes each file once its spectra are computed. Publishing only queues text for
// the event streams, so a slow or vanished browser never holds up the run.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "event_hub.h"
#include "live_address.h"
#include "live_events.h"

namespace ostrel::acquire::live {

class LiveServer;

struct LiveViewSettings {
    LiveAddress address;
    std::vector<std::string> pageDirectories;  // searched in order (page_files.h)
    std::string libraryDirectory;              // where the charting library is installed
};

// The charting library's directory as the build found it (Debian's libjs-dygraphs).
std::string defaultLibraryDirectory();

class LiveView {
  public:
    LiveView();
    ~LiveView();  // stop()
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Reads the page and starts listening; false with *error when either fails.
    bool start(const LiveViewSettings& settings, std::string* error);
    int port() const;
    // "http://HOST:PORT/"
    std::string url() const;

    void publishProgress(const LiveProgress& progress);
    // From one thread at a time (the file writer's): the centre-burst trend is kept here.
    void publishFile(const LiveFile& file);
    void publishError(const std::string& message, const std::string& detail, int code,
                      const std::string& hint);
    void publishEnd(const std::string& status, size_t filesSaved, uint64_t filesMissed,
                    const std::string& text);

    // Every stream takes what is queued (the end of the run included), then the server stops.
    void stop();

    EventHub& hub() { return hub_; }

  private:
    EventHub hub_;
    FileEventBuilder files_;
    std::unique_ptr<LiveServer> server_;
    std::string host_;
};

}  // namespace ostrel::acquire::live
