#include "serve_harness.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

namespace ostrel::acquire::testing {
namespace {

std::mutex recordMutex;
std::vector<RecordedReply> records;

struct WriteAtExit {
    ~WriteAtExit() { writeRecordedReplies(); }
} writeAtExit;

}  // namespace

const std::vector<std::string> kQuickServe = {"serve",         "--listen", "127.0.0.1:0",
                                              "--sim-scan-ms", "800",      "--sim-sample-absorber",
                                              "1500:30:0.8",   "--quiet"};

nlohmann::json HttpReply::json() const {
    return nlohmann::json::parse(body, nullptr, false);
}

std::string HttpReply::header(const std::string& lowerName) const {
    const auto found = headers.find(lowerName);
    return found == headers.end() ? "" : found->second;
}

ServeProcess::ServeProcess(const std::string& scratch, std::vector<std::string> arguments,
                           std::string dataDirectory)
    : scratch_(scratch),
      dataDirectory_(dataDirectory.empty() ? scratch + "/data" : std::move(dataDirectory)) {
    // A server that closes a connection while a large body is still being sent must not end the
    // test process (and leave its server running) with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    arguments.insert(arguments.end(), {"--data", dataDirectory_});
    // A second process in the same scratch directory must not read the first one's output.
    std::remove((scratch + "/stdout.txt").c_str());
    process_ =
        std::make_unique<ToolProcess>(arguments, std::map<std::string, std::string>{}, scratch);
}

ServeProcess::~ServeProcess() {
    if (process_->started()) {
        process_->signal(SIGTERM);
        process_->wait(15000);
    }
}

bool ServeProcess::ready(int timeoutMs) {
    const std::regex line(R"(serving: (https?)://127\.0\.0\.1:([0-9]+)/#token=([0-9a-f]+))");
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < limit) {
        std::smatch match;
        const std::string out = readFile(scratch_ + "/stdout.txt");
        if (std::regex_search(out, match, line)) {
            port_ = std::stoi(match[2]);
            token_ = match[3];
            url_ = match[0].str().substr(std::string("serving: ").size());
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

HttpReply ServeProcess::call(const HttpCall& request) {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(20, 0);
    client.set_connection_timeout(5, 0);
    httplib::Headers headers;
    if (request.token) {
        headers.emplace("Authorization", "Bearer " + token_);
    }
    for (const auto& [name, value] : request.headers) {
        headers.emplace(name, value);
    }
    auto perform = [&]() -> httplib::Result {
        const char* type = request.contentType.c_str();
        if (request.method == "POST") {
            return client.Post(request.path.c_str(), headers, request.body, type);
        }
        if (request.method == "PUT") {
            return client.Put(request.path.c_str(), headers, request.body, type);
        }
        if (request.method == "DELETE") {
            return client.Delete(request.path.c_str(), headers, request.body, type);
        }
        if (request.method == "PATCH") {
            return client.Patch(request.path.c_str(), headers, request.body, type);
        }
        return client.Get(request.path.c_str(), headers);
    };
    const httplib::Result result = perform();
    HttpReply reply;
    if (!result) {
        return reply;
    }
    reply.status = result->status;
    reply.body = result->body;
    reply.contentType = result->get_header_value("Content-Type");
    for (const auto& [name, value] : result->headers) {
        std::string lower = name;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        reply.headers.emplace(lower, value);
    }
    if (reply.contentType.rfind("application/json", 0) == 0) {
        std::lock_guard<std::mutex> lock(recordMutex);
        records.push_back(
            {request.method, request.path, reply.status, reply.contentType, reply.body});
    }
    return reply;
}

HttpReply ServeProcess::send(const std::string& method, const std::string& path,
                             const nlohmann::json& body) {
    HttpCall request{method, path, body.dump()};
    return call(request);
}

void ServeProcess::connectQuickly() {
    const HttpReply settings =
        send("PUT", "/api/settings",
             {{"points", 512}, {"scans", 4}, {"plot", false}, {"format", "csv,jcamp"}});
    if (settings.status != 200) {
        throw std::runtime_error("settings: " + settings.body);
    }
    const HttpReply connected = send("POST", "/api/connection");
    if (connected.status != 200) {
        throw std::runtime_error("connect: " + connected.body);
    }
}

nlohmann::json ServeProcess::waitForRunEnd(const std::string& id, int timeoutMs) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    nlohmann::json run;
    while (std::chrono::steady_clock::now() < limit) {
        const HttpReply state = get("/api/state");
        const nlohmann::json json = state.json();
        if (state.status == 200 && !json.at("running").get<bool>()) {
            run = get("/api/runs/" + id).json();
            if (run.is_object() && run.value("state", "") != "running") {
                return run;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return run;
}

nlohmann::json ServeProcess::runToEnd(const nlohmann::json& request, int timeoutMs) {
    const HttpReply started = send("POST", "/api/runs", request);
    if (started.status != 201) {
        throw std::runtime_error("run: " + std::to_string(started.status) + " " + started.body);
    }
    return waitForRunEnd(started.json().at("id").get<std::string>(), timeoutMs);
}

std::string rawExchange(int port, const std::string& text, int timeoutMs) {
    const int socketFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(socketFd, text.data(), text.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(text.size())) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[4096];
        while (std::chrono::steady_clock::now() < limit) {
            pollfd waiting{socketFd, POLLIN, 0};
            if (poll(&waiting, 1, 50) <= 0) {
                if (reply.find("\r\n\r\n") != std::string::npos) {
                    break;  // the head has come and nothing more follows
                }
                continue;
            }
            const ssize_t got = recv(socketFd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            reply.append(buffer, static_cast<size_t>(got));
        }
    }
    close(socketFd);
    return reply;
}

std::vector<RecordedReply> recordedReplies() {
    std::lock_guard<std::mutex> lock(recordMutex);
    return records;
}

void writeRecordedReplies() {
    const char* path = std::getenv("OSTREL_SERVE_REPLY_LOG");
    if (path == nullptr || *path == '\0') {
        return;
    }
    std::lock_guard<std::mutex> lock(recordMutex);
    std::ofstream out(path, std::ios::app);
    for (const RecordedReply& reply : records) {
        out << nlohmann::json{{"method", reply.method},
                              {"path", reply.path},
                              {"status", reply.status},
                              {"content_type", reply.contentType},
                              {"body", reply.body}}
                   .dump()
            << "\n";
    }
}

}  // namespace ostrel::acquire::testing
