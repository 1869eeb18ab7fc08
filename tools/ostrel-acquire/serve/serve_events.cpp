#include "serve_events.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "ostrel_session/json_text.h"

namespace ostrel::acquire::serve {

using ostrel::session::jsonText;
using ostrel::session::JsonValue;

std::string fileEventData(live::FileEventBuilder& builder,
                          const ostrel::session::FileEvent& event) {
    return builder.build(live::liveFileOf(event));
}

ServeEvents::ServeEvents(live::EventHub& hub, std::function<std::string()> stateText)
    : hub_(hub), stateText_(std::move(stateText)) {}

ServeEvents::~ServeEvents() {
    stop();
}

void ServeEvents::start() {
    thread_ = std::thread([this] { run(); });
}

void ServeEvents::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ServeEvents::stateChanged() {
    std::lock_guard<std::mutex> lock(mutex_);
    stateDirty_ = true;
}

void ServeEvents::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, kDisplayInterval, [this] { return stopping_; });
        const bool sendState = stateDirty_;
        stateDirty_ = false;
        lock.unlock();
        {
            std::lock_guard<std::mutex> publishing(publishMutex_);
            publishPending();
            if (sendState) {
                hub_.publish(live::LiveEvent::State, stateText_());
            }
        }
        lock.lock();
    }
}

void ServeEvents::publishPending() {
    std::shared_ptr<const ostrel::session::FileEvent> file;
    std::unique_ptr<live::LiveProgress> progress;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        file = std::move(pendingFile_);
        progress = std::move(pendingProgress_);
    }
    if (file != nullptr && !file->data.empty()) {
        hub_.publish(live::LiveEvent::File, fileEventData(files_, *file));
    }
    if (progress != nullptr) {
        hub_.publish(live::LiveEvent::Progress, live::progressEventData(*progress));
    }
}

void ServeEvents::onRun(const ostrel::session::RunEvent& event) {
    std::lock_guard<std::mutex> publishing(publishMutex_);
    publishPending();
    if (event.started) {
        files_ = live::FileEventBuilder();
    }
    JsonValue json;
    json["run_id"] = event.runId;
    json["kind"] = std::string(ostrel::session::name(event.kind));
    json["name"] = event.name;
    json["started"] = event.started;
    hub_.publish(live::LiveEvent::Run, jsonText(json));
    stateChanged();
}

void ServeEvents::onProgress(const ostrel::session::ProgressEvent& event) {
    auto progress = std::make_unique<live::LiveProgress>();
    progress->state = event.state;
    progress->driverStatus = event.driverStatus;
    progress->filesMissed = event.filesMissed;
    progress->address = event.address;
    progress->simulator = event.simulator;
    std::lock_guard<std::mutex> lock(mutex_);
    pendingProgress_ = std::move(progress);
}

void ServeEvents::onFile(const std::shared_ptr<const ostrel::session::FileEvent>& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A file whose curves the session's queue had to shed still counts; keep the newer one that
    // has curves, if it is waiting.
    if (!event->data.empty() || pendingFile_ == nullptr) {
        pendingFile_ = event;
    }
}

void ServeEvents::onEnd(const ostrel::session::EndEvent& event) {
    std::lock_guard<std::mutex> publishing(publishMutex_);
    publishPending();
    std::string text = event.status + ": " + std::to_string(event.filesSaved) + " file(s)";
    if (event.filesRequested > 0) {
        text += " of " + std::to_string(event.filesRequested);
    }
    if (!event.error.empty()) {
        text += "; " + event.error;
    }
    hub_.publish(live::LiveEvent::End,
                 live::endEventData(event.status, static_cast<size_t>(event.filesSaved),
                                    event.filesMissed, text));
    JsonValue json;
    json["run_id"] = event.runId;
    json["kind"] = std::string(ostrel::session::name(event.kind));
    json["started"] = false;
    json["status"] = event.status;
    json["files_saved"] = event.filesSaved;
    json["error"] = event.error;
    hub_.publish(live::LiveEvent::Run, jsonText(json));
    stateChanged();
}

void ServeEvents::onError(const ostrel::session::ErrorEvent& error) {
    std::lock_guard<std::mutex> publishing(publishMutex_);
    publishPending();
    hub_.publish(live::LiveEvent::Error,
                 live::errorEventData(error.message, error.detail, error.code, error.hint));
    std::fprintf(stderr, "ostrel-acquire serve: %s%s%s\n", error.message.c_str(),
                 error.detail.empty() ? "" : ": ", error.detail.c_str());
    stateChanged();
}

void ServeEvents::onWarning(const std::string& text) {
    std::fprintf(stderr, "ostrel-acquire serve: warning: %s\n", text.c_str());
}

void ServeEvents::onNote(const std::string&) {}

}  // namespace ostrel::acquire::serve
