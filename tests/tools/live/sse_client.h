// A client of the live view's event stream for tests: reads GET /events on its own thread and
// keeps every event with the wall-clock time it arrived.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::acquire::testing {

struct ReceivedEvent {
    std::string name;
    nlohmann::json data;
    double receivedMs = 0.0;  // ms since 1970 UTC
};

double wallClockMs();

class SseClient {
  public:
    // With a token, the stream is asked for with "Authorization: Bearer TOKEN" (the server of
    // `serve` needs it).
    SseClient(std::string host, int port, std::string token = "");
    ~SseClient();  // stops reading
    SseClient(const SseClient&) = delete;
    SseClient& operator=(const SseClient&) = delete;

    // Waits up to timeoutMs until test(events so far) holds; returns whether it did.
    bool waitFor(const std::function<bool(const std::vector<ReceivedEvent>&)>& test, int timeoutMs);
    std::vector<ReceivedEvent> events();
    // The HTTP status of the stream (0 until the response has begun, or when it failed).
    int status();
    // True once the server has ended the stream.
    bool ended();

  private:
    void read();
    void parse(const char* data, size_t length);

    std::string host_;
    int port_;
    std::string token_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ReceivedEvent> events_;
    std::string buffer_;
    int status_ = 0;
    bool ended_ = false;
    std::thread thread_;
};

// One GET; the body, or empty with *status set to the HTTP status (0 when no answer).
std::string httpGet(const std::string& host, int port, const std::string& path, int* status,
                    std::string* contentType = nullptr);

}  // namespace ostrel::acquire::testing
