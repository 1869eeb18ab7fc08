#include "live_view.h"

#include "live_server.h"
#include "page_files.h"

namespace ostrel::acquire::live {

// How many events a stream may have waiting before it counts as behind. A file event is the
// big one (some 100 kB); a few of them are all a browser that keeps up ever has in flight.
constexpr size_t kStreamQueueLimit = 16;

constexpr std::chrono::milliseconds kLastEventsLimit{2000};

std::string defaultLibraryDirectory() {
    return OSTREL_DYGRAPHS_DIRECTORY;
}

LiveView::LiveView() : hub_(kMaxEventStreams, kStreamQueueLimit) {}

LiveView::~LiveView() {
    stop();
}

bool LiveView::start(const LiveViewSettings& settings, std::string* error) {
    PageFiles files;
    if (!loadPageFiles(settings.pageDirectories, settings.libraryDirectory, &files, error)) {
        return false;
    }
    server_ = std::make_unique<LiveServer>(hub_, std::move(files));
    if (!server_->start(settings.address, error)) {
        server_.reset();
        return false;
    }
    host_ = settings.address.host;
    return true;
}

int LiveView::port() const {
    return server_ != nullptr ? server_->port() : 0;
}

std::string LiveView::url() const {
    const bool bracketed = host_.find(':') != std::string::npos;
    return "http://" + (bracketed ? "[" + host_ + "]" : host_) + ":" + std::to_string(port()) + "/";
}

void LiveView::publishProgress(const LiveProgress& progress) {
    hub_.publish(LiveEvent::Progress, progressEventData(progress));
}

void LiveView::publishFile(const LiveFile& file) {
    hub_.publish(LiveEvent::File, files_.build(file));
}

void LiveView::publishError(const std::string& message, const std::string& detail, int code,
                            const std::string& hint) {
    hub_.publish(LiveEvent::Error, errorEventData(message, detail, code, hint));
}

void LiveView::publishEnd(const std::string& status, size_t filesSaved, uint64_t filesMissed,
                          const std::string& text) {
    hub_.publish(LiveEvent::End, endEventData(status, filesSaved, filesMissed, text));
}

void LiveView::stop() {
    hub_.close();
    // The server stops calling a stream once it is stopping, so the streams are given a moment
    // to send their last events (the end of the run) first; a browser that does not take them
    // within the limit is not waited for.
    hub_.waitForStreamsToEnd(kLastEventsLimit);
    if (server_ != nullptr) {
        server_->stop();
    }
}

}  // namespace ostrel::acquire::live
