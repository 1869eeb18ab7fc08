#include "sse_client.h"

#include <httplib.h>

#include <chrono>

namespace ostrel::acquire::testing {

double wallClockMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

SseClient::SseClient(std::string host, int port, std::string token)
    : host_(std::move(host)), port_(port), token_(std::move(token)) {
    thread_ = std::thread(&SseClient::read, this);
}

SseClient::~SseClient() {
    stopping_ = true;
    thread_.join();
}

void SseClient::read() {
    httplib::Client client(host_, port_);
    client.set_read_timeout(5, 0);
    httplib::Headers headers;
    if (!token_.empty()) {
        headers.emplace("Authorization", "Bearer " + token_);
    }
    const auto result = client.Get(
        "/events", headers,
        [this](const httplib::Response& response) {
            std::lock_guard<std::mutex> lock(mutex_);
            status_ = response.status;
            changed_.notify_all();
            return !stopping_;
        },
        [this](const char* data, size_t length) {
            parse(data, length);
            return !stopping_;
        });
    std::lock_guard<std::mutex> lock(mutex_);
    if (result && status_ == 0) {
        status_ = result->status;
    }
    ended_ = true;
    changed_.notify_all();
}

// Splits the text into events at blank lines; comments (":") are the server's heartbeats.
void SseClient::parse(const char* data, size_t length) {
    const double now = wallClockMs();
    std::lock_guard<std::mutex> lock(mutex_);
    buffer_.append(data, length);
    for (size_t end = buffer_.find("\n\n"); end != std::string::npos; end = buffer_.find("\n\n")) {
        const std::string block = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        ReceivedEvent event;
        std::string payload;
        size_t start = 0;
        while (start <= block.size()) {
            size_t stop = block.find('\n', start);
            if (stop == std::string::npos) {
                stop = block.size();
            }
            const std::string line = block.substr(start, stop - start);
            if (line.rfind("event: ", 0) == 0) {
                event.name = line.substr(7);
            } else if (line.rfind("data: ", 0) == 0) {
                payload += line.substr(6);
            }
            start = stop + 1;
        }
        if (event.name.empty()) {
            continue;
        }
        event.data = nlohmann::json::parse(payload, nullptr, false);
        event.receivedMs = now;
        events_.push_back(std::move(event));
    }
    changed_.notify_all();
}

bool SseClient::waitFor(const std::function<bool(const std::vector<ReceivedEvent>&)>& test,
                        int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return test(events_); });
}

std::vector<ReceivedEvent> SseClient::events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

int SseClient::status() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

bool SseClient::ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

std::string httpGet(const std::string& host, int port, const std::string& path, int* status,
                    std::string* contentType) {
    httplib::Client client(host, port);
    client.set_read_timeout(5, 0);
    const auto result = client.Get(path.c_str());
    *status = result ? result->status : 0;
    if (!result) {
        return "";
    }
    if (contentType != nullptr) {
        *contentType = result->get_header_value("Content-Type");
    }
    return result->body;
}

}  // namespace ostrel::acquire::testing
