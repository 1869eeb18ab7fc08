// `ostrel-acquire serve` as a child process on loopback, and an HTTP client for it that sends the
// token (or not, or a wrong one) and keeps every JSON answer for the OpenAPI check.
#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tool_harness.h"

namespace ostrel::acquire::testing {

struct HttpReply {
    int status = 0;  // 0: no answer
    std::string body;
    std::string contentType;
    std::multimap<std::string, std::string> headers;  // names in lower case
    nlohmann::json json() const;
    std::string header(const std::string& lowerName) const;
};

struct HttpCall {
    HttpCall(std::string method_, std::string path_, std::string body_ = "",
             std::string contentType_ = "application/json")
        : method(std::move(method_)),
          path(std::move(path_)),
          body(std::move(body_)),
          contentType(std::move(contentType_)) {}
    std::string method = "GET";
    std::string path;
    std::string body;
    std::string contentType = "application/json";
    std::map<std::string, std::string> headers;
    bool token = true;  // send "Authorization: Bearer <the server's token>"
};

// A small, quick simulator: 512 points, 4 scans at 800 ms per 16384-point scan, about 100 ms a
// file (slow enough that a loaded machine still fetches every file), with the demonstration
// sample's band at 1500 cm-1.
extern const std::vector<std::string> kQuickServe;

class ServeProcess {
  public:
    // dataDirectory: where the runs go (under the scratch directory when empty).
    ServeProcess(const std::string& scratch, std::vector<std::string> arguments,
                 std::string dataDirectory = "");
    ~ServeProcess();

    // Waits for the URL line; false when the server did not print it within the limit.
    bool ready(int timeoutMs = 15000);
    int port() const { return port_; }
    const std::string& token() const { return token_; }
    const std::string& url() const { return url_; }
    const std::string& dataDirectory() const { return dataDirectory_; }
    ToolProcess& process() { return *process_; }

    HttpReply call(const HttpCall& request);
    HttpReply get(const std::string& path) { return call({"GET", path}); }
    HttpReply send(const std::string& method, const std::string& path,
                   const nlohmann::json& body = nlohmann::json::object());

    // Connects to the simulator and sets small settings for quick runs.
    void connectQuickly();
    // Starts a run; waits until it is no longer "running" (at most timeoutMs). Its record.
    nlohmann::json runToEnd(const nlohmann::json& request, int timeoutMs = 20000);
    nlohmann::json waitForRunEnd(const std::string& id, int timeoutMs = 20000);

  private:
    std::string scratch_;
    std::string dataDirectory_;
    std::unique_ptr<ToolProcess> process_;
    int port_ = 0;
    std::string token_;
    std::string url_;
};

// Sends `text` as it is over a new connection and returns what comes back within timeoutMs (the
// status line first): for requests no HTTP client would send, or whose body is never sent.
std::string rawExchange(int port, const std::string& text, int timeoutMs = 5000);

// Every JSON answer of every ServeProcess in this test program, kept (method, path pattern
// unknown: the path as called, status, body) so that a test can write them out for the OpenAPI
// check.
struct RecordedReply {
    std::string method;
    std::string path;
    int status;
    std::string contentType;
    std::string body;
};
std::vector<RecordedReply> recordedReplies();
// Writes the replies to $OSTREL_SERVE_REPLY_LOG (JSON lines), if set; called at exit.
void writeRecordedReplies();

}  // namespace ostrel::acquire::testing
