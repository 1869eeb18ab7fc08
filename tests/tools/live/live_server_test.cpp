// The live view's server in this process, over real TCP on loopback: many clients at once,
// connections that come and go, the page's files, and a stop with streams still open.
#include "live_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "live_view.h"
#include "page_files.h"
#include "sse_client.h"

namespace ostrel::acquire::live {
namespace {

using testing::httpGet;
using testing::ReceivedEvent;
using testing::SseClient;

size_t entriesIn(const char* directory) {
    size_t count = 0;
    if (DIR* listing = opendir(directory)) {
        while (const dirent* entry = readdir(listing)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(listing);
    }
    return count;
}

LiveViewSettings pageSettings() {
    LiveViewSettings settings;
    settings.address.port = 0;
    settings.pageDirectories = {OSTREL_LIVE_PAGE_SOURCE};
    settings.libraryDirectory = defaultLibraryDirectory();
    return settings;
}

int connectTo(int port) {
    const int socketFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(socketFd);
        return -1;
    }
    return socketFd;
}

bool hasEvent(const std::vector<ReceivedEvent>& events, const std::string& name) {
    for (const ReceivedEvent& event : events) {
        if (event.name == name) {
            return true;
        }
    }
    return false;
}

class LiveServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(view_.start(pageSettings(), &error)) << error;
        port_ = view_.port();
    }

    LiveView view_;
    int port_ = 0;
};

TEST_F(LiveServerTest, ServesThePageStreamsAndStateToManyClientsAtOnce) {
    view_.hub().publish(LiveEvent::File, "{\"file\":3}");
    view_.hub().publish(LiveEvent::Progress, "{\"scan\":2}");
    std::vector<std::unique_ptr<SseClient>> streams;
    for (size_t k = 0; k < kMaxEventStreams; ++k) {
        streams.push_back(std::make_unique<SseClient>("127.0.0.1", port_));
    }
    for (const auto& stream : streams) {
        ASSERT_TRUE(stream->waitFor(
            [](const std::vector<ReceivedEvent>& events) {
                return hasEvent(events, "file") && hasEvent(events, "progress");
            },
            5000));
        EXPECT_EQ(stream->status(), 200);
        EXPECT_EQ(stream->events().front().data["file"], 3) << "a stream starts at the latest";
    }
    int status = 0;
    httpGet("127.0.0.1", port_, "/events", &status);
    EXPECT_EQ(status, 503) << "one stream more than the server keeps threads for";

    // While every stream is open, the page and the state still come.
    std::string type;
    const std::string page = httpGet("127.0.0.1", port_, "/", &status, &type);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(type.rfind("text/html", 0), 0u);
    EXPECT_NE(page.find("/vendor/dygraph.min.js"), std::string::npos);
    for (const char* path : {"/live.js", "/live.css", "/vendor/dygraph.min.js",
                             "/vendor/dygraph.min.css", "/index.html"}) {
        EXPECT_FALSE(httpGet("127.0.0.1", port_, path, &status).empty()) << path;
        EXPECT_EQ(status, 200) << path;
    }
    const nlohmann::json state =
        nlohmann::json::parse(httpGet("127.0.0.1", port_, "/api/state", &status, &type));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(type, "application/json");
    EXPECT_EQ(state["file"]["file"], 3);
    EXPECT_EQ(state["streams"], kMaxEventStreams);

    // Nothing outside the page, and nothing that writes.
    for (const char* path : {"/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/nothing.js"}) {
        httpGet("127.0.0.1", port_, path, &status);
        EXPECT_EQ(status, 404) << path;
    }
    {
        // A request that would write is refused.
        const int socketFd = connectTo(port_);
        ASSERT_GE(socketFd, 0);
        const std::string request =
            "POST /api/state HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n"
            "Connection: close\r\n\r\n{}";
        ASSERT_EQ(write(socketFd, request.data(), request.size()),
                  static_cast<ssize_t>(request.size()));
        char reply[64] = {};
        ASSERT_GT(read(socketFd, reply, sizeof reply - 1), 12);
        close(socketFd);
        EXPECT_EQ(std::string(reply).rfind("HTTP/1.1 2", 0), std::string::npos) << reply;
    }
}

// A browser tab closed, a script killed, a port scanner: none of them may leave a thread or a
// descriptor behind in a tool that runs for days in alignment mode.
TEST_F(LiveServerTest, HundredConnectionsOpenedAndDroppedLeaveNoThreadOrDescriptorBehind) {
    int status = 0;
    httpGet("127.0.0.1", port_, "/", &status);
    ASSERT_EQ(status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const size_t descriptors = entriesIn("/proc/self/fd");
    const size_t threads = entriesIn("/proc/self/task");

    std::vector<int> sockets;
    for (int k = 0; k < 100; ++k) {
        const int socketFd = connectTo(port_);
        ASSERT_GE(socketFd, 0) << "connection " << k;
        // Some ask for the event stream, some stop half-way through a request, some say
        // nothing at all.
        const char* request = k % 3 == 0   ? "GET /events HTTP/1.1\r\nHost: x\r\n\r\n"
                              : k % 3 == 1 ? "GET /api/sta"
                                           : "";
        if (*request != '\0') {
            ASSERT_GT(write(socketFd, request, strlen(request)), 0);
        }
        sockets.push_back(socketFd);
    }
    view_.hub().publish(LiveEvent::Progress, "{\"scan\":1}");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (const int socketFd : sockets) {
        close(socketFd);
    }

    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while ((entriesIn("/proc/self/fd") != descriptors || entriesIn("/proc/self/task") != threads ||
            view_.hub().streamCount() != 0) &&
           std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(entriesIn("/proc/self/fd"), descriptors);
    EXPECT_EQ(entriesIn("/proc/self/task"), threads);
    EXPECT_EQ(view_.hub().streamCount(), 0u);
    // And the server still answers.
    httpGet("127.0.0.1", port_, "/api/state", &status);
    EXPECT_EQ(status, 200);
}

TEST_F(LiveServerTest, StopDeliversTheEndToOpenStreamsAndReturnsPromptly) {
    SseClient stream("127.0.0.1", port_);
    ASSERT_TRUE(stream.waitFor(
        [&](const std::vector<ReceivedEvent>&) { return view_.hub().streamCount() == 1; }, 5000));
    view_.publishEnd("complete", 4, 0, "acquired 4 of 4 file(s)");
    const auto started = std::chrono::steady_clock::now();
    view_.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    ASSERT_TRUE(stream.waitFor(
        [](const std::vector<ReceivedEvent>& events) { return hasEvent(events, "end"); }, 3000));
    EXPECT_EQ(stream.events().back().data["status"], "complete");
    const auto ended = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!stream.ended() && std::chrono::steady_clock::now() < ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(stream.ended());
}

TEST_F(LiveServerTest, ARequestNamingAnotherHostIsRefused) {
    httplib::Client client("127.0.0.1", port_);
    client.set_connection_timeout(5, 0);
    for (const char* path : {"/", "/api/state"}) {
        const auto foreign = client.Get(path, {{"Host", "evil.example:" + std::to_string(port_)}});
        ASSERT_TRUE(foreign) << path;
        EXPECT_EQ(foreign->status, 403) << path;
        const auto own = client.Get(path, {{"Host", "localhost:" + std::to_string(port_)}});
        ASSERT_TRUE(own) << path;
        EXPECT_EQ(own->status, 200) << path;
    }
}

TEST(LiveViewStart, MissingPageOrBusyPortIsReportedNotServed) {
    LiveViewSettings settings = pageSettings();
    settings.pageDirectories = {"/nonexistent/live-page"};
    LiveView missing;
    std::string error;
    EXPECT_FALSE(missing.start(settings, &error));
    EXPECT_NE(error.find("/nonexistent/live-page"), std::string::npos) << error;

    LiveView first;
    ASSERT_TRUE(first.start(pageSettings(), &error)) << error;
    settings = pageSettings();
    settings.address.port = first.port();
    LiveView second;
    error.clear();
    EXPECT_FALSE(second.start(settings, &error)) << "two servers on one port";
    EXPECT_NE(error.find(std::to_string(first.port())), std::string::npos) << error;
}

}  // namespace
}  // namespace ostrel::acquire::live
