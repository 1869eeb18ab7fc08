// ostrel-acquire --live as a person uses it: the tool runs its simulator, and a client follows
// /events and /api/state over loopback while the files come.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <regex>
#include <thread>

#include "sse_client.h"
#include "tool_harness.h"

namespace ostrel::acquire::testing {
namespace {

// The live view's port, from the line the tool prints before it connects; 0 if none within
// the limit.
int livePort(const std::string& scratch, int timeoutMs) {
    const std::regex line(R"(live view: http://127\.0\.0\.1:([0-9]+)/)");
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < limit) {
        std::smatch match;
        const std::string out = readFile(scratch + "/stdout.txt");
        if (std::regex_search(out, match, line)) {
            return std::stoi(match[1]);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

std::vector<ReceivedEvent> named(const std::vector<ReceivedEvent>& events, const char* name) {
    std::vector<ReceivedEvent> found;
    for (const ReceivedEvent& event : events) {
        if (event.name == name) {
            found.push_back(event);
        }
    }
    return found;
}

// The calibration (one 16384-point scan) gives the client time to connect before the first
// file; then a file every half second or so, 512 points per half.
const std::vector<std::string> kLiveRun = {"--live",  "0", "--calibrate",   "--points", "512",
                                           "--scans", "4", "--sim-scan-ms", "800"};

std::vector<std::string> withArguments(std::vector<std::string> base,
                                       const std::vector<std::string>& more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

// The 200 ms promise holds for the tool as shipped; a sanitizer build runs the same work several
// times slower, so there the limit only catches a file that is held back, not a slow one (under
// ThreadSanitizer with the suite running in parallel, 1.5 s by the last file was seen).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kEventLatencyLimitMs = 3000.0;
#else
constexpr double kEventLatencyLimitMs = 200.0;
#endif

TEST(LiveTool, EveryFileReachesTheEventStreamWithin200MsOfItsCoaddEvent) {
    ScratchDirectory scratch;
    const int files = 8;
    ToolProcess tool(withArguments(kLiveRun, {"--files", std::to_string(files), "--out",
                                              scratch.path() + "/out"}),
                     {}, scratch.path());
    ASSERT_TRUE(tool.started());
    const int port = livePort(scratch.path(), 10000);
    ASSERT_NE(port, 0) << readFile(scratch.path() + "/stdout.txt");
    // A browser that asks for the stream and then stops reading, with a small receive buffer
    // that fills within the first file: it must not hold up the run nor the other client.
    const int stalled = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int smallBuffer = 4096;
    setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &smallBuffer, sizeof smallBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(stalled, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string request = "GET /events HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(write(stalled, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    SseClient stream("127.0.0.1", port);

    // Midway, the state agrees with the file event of the same number.
    ASSERT_TRUE(stream.waitFor(
        [](const std::vector<ReceivedEvent>& events) { return named(events, "file").size() >= 3; },
        20000));
    int status = 0;
    const nlohmann::json state =
        nlohmann::json::parse(httpGet("127.0.0.1", port, "/api/state", &status));
    ASSERT_EQ(status, 200);
    const auto stateFile = state.at("file").at("file").get<uint64_t>();
    ASSERT_TRUE(stream.waitFor(
        [&](const std::vector<ReceivedEvent>& events) {
            return !named(events, "file").empty() &&
                   named(events, "file").back().data.at("file").get<uint64_t>() >= stateFile;
        },
        5000));
    for (const ReceivedEvent& event : named(stream.events(), "file")) {
        if (event.data.at("file") == stateFile) {
            EXPECT_EQ(event.data, state.at("file"));
        }
    }

    const ProcessResult result = tool.wait(30000);
    close(stalled);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("acquired 8 of 8 file(s)"), std::string::npos) << result.out;
    ASSERT_TRUE(stream.waitFor(
        [](const std::vector<ReceivedEvent>& events) { return !named(events, "end").empty(); },
        5000));
    const std::vector<ReceivedEvent> fileEvents = named(stream.events(), "file");
    ASSERT_EQ(fileEvents.size(), static_cast<size_t>(files));
    for (int k = 0; k < files; ++k) {
        const ReceivedEvent& event = fileEvents[static_cast<size_t>(k)];
        EXPECT_EQ(event.data.at("file"), k + 1);
        const double latencyMs = event.receivedMs - event.data.at("coadd_event_ms").get<double>();
        EXPECT_GE(latencyMs, 0.0) << "file " << k + 1;
        EXPECT_LE(latencyMs, kEventLatencyLimitMs) << "file " << k + 1;
        // Both halves, with their curves, and the spectrum on a cm-1 axis up to ν_L / u.
        const nlohmann::json& halves = event.data.at("halves");
        ASSERT_EQ(halves.size(), 2u);
        for (const nlohmann::json& half : halves) {
            EXPECT_EQ(half.at("interferogram").at("y").size(), 512u);
            EXPECT_NEAR(half.at("spectrum").at("x").back().get<double>(), 15798.0 / 2, 1.0);
            EXPECT_GT(half.at("centre_burst").at("height").get<double>(), 0.0);
        }
    }
    const nlohmann::json end = named(stream.events(), "end").back().data;
    EXPECT_EQ(end.at("status"), "complete");
    EXPECT_EQ(end.at("files_saved"), files);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!stream.ended() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(stream.ended()) << "the stream ends with the run";
}

TEST(LiveTool, WithABackgroundThePageShowsTheSamplesAbsorbanceWithItsBand) {
    ScratchDirectory scratch;
    const std::vector<std::string> axis = {"--calibrate", "--points", "512", "--scans", "4"};
    const ProcessResult background = runTool(
        withArguments(
            axis, {"--files", "2", "--sim-scan-ms", "50", "--out", scratch.path() + "/background"}),
        {}, scratch.path());
    ASSERT_EQ(background.exitCode, 0) << background.err;
    // A band far wider than the resolution of 512 points, so its apparent height stays near
    // the simulator's peak absorbance.
    ToolProcess tool(
        withArguments(axis, {"--live", "0", "--files", "2", "--sim-scan-ms", "200",
                             "--sim-absorber", "2150:80:0.5", "--background",
                             scratch.path() + "/background", "--out", scratch.path() + "/sample"}),
        {}, scratch.path());
    const int port = livePort(scratch.path(), 10000);
    ASSERT_NE(port, 0) << readFile(scratch.path() + "/stdout.txt");
    SseClient stream("127.0.0.1", port);
    const ProcessResult result = tool.wait(30000);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    ASSERT_TRUE(stream.waitFor(
        [](const std::vector<ReceivedEvent>& events) { return !named(events, "end").empty(); },
        5000));
    const std::vector<ReceivedEvent> files = named(stream.events(), "file");
    ASSERT_FALSE(files.empty());
    const nlohmann::json& shown = files.back().data;
    EXPECT_EQ(shown.at("spectrum_kind"), "absorbance");
    for (const nlohmann::json& half : shown.at("halves")) {
        const nlohmann::json& x = half.at("spectrum").at("x");
        const nlohmann::json& y = half.at("spectrum").at("y");
        ASSERT_EQ(x.size(), y.size());
        double inBand = 0.0;
        double outside = 0.0;
        for (size_t k = 0; k < x.size(); ++k) {
            if (y[k].is_null()) {
                continue;  // the background is too weak to divide by there
            }
            const double wavenumber = x[k].get<double>();
            const double value = std::fabs(y[k].get<double>());
            if (std::fabs(wavenumber - 2150.0) < 20.0) {
                inBand = std::max(inBand, value);
            } else if (wavenumber > 2800.0 && wavenumber < 4000.0) {
                outside = std::max(outside, value);
            }
        }
        EXPECT_GT(inBand, 0.3) << half.at("name");
        EXPECT_LT(outside, 0.05) << half.at("name");
    }
}

TEST(LiveTool, DriverErrorReachesThePageWithItsTextAndHint) {
    ScratchDirectory scratch;
    // Scans of a second, and the instrument answers the second progress line with an error.
    ToolProcess tool(
        {"--live", "0", "--files", "2", "--points", "16384", "--scans", "4", "--sim-scan-ms",
         "1000", "--sim-fault", "scan:error:_2", "--out", scratch.path() + "/out"},
        {}, scratch.path());
    const int port = livePort(scratch.path(), 10000);
    ASSERT_NE(port, 0) << readFile(scratch.path() + "/stdout.txt");
    SseClient stream("127.0.0.1", port);
    const ProcessResult result = tool.wait(30000);
    EXPECT_EQ(result.exitCode, 6) << result.err;
    ASSERT_TRUE(stream.waitFor(
        [](const std::vector<ReceivedEvent>& events) { return !named(events, "end").empty(); },
        5000));
    const std::vector<ReceivedEvent> errors = named(stream.events(), "error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].data.at("message"), "the acquisition stopped on an error");
    EXPECT_NE(errors[0].data.at("detail").get<std::string>().find("driver error 15"),
              std::string::npos);
    EXPECT_EQ(errors[0].data.at("code"), 15);
    EXPECT_NE(errors[0].data.at("hint").get<std::string>().find("reported an error"),
              std::string::npos);
    EXPECT_EQ(named(stream.events(), "end").back().data.at("status"), "failed");
}

TEST(LiveTool, BusyPortStopsTheToolBeforeItTouchesTheInstrumentOrTheDisk) {
    const int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    socklen_t length = sizeof address;
    getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    const ProcessResult result = runTool(
        {"--live", port, "--files", "1", "--points", "512", "--out", out}, {}, scratch.path());
    close(blocker);
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_NE(result.err.find("cannot serve the live view on 127.0.0.1:" + port), std::string::npos)
        << result.err;
    EXPECT_FALSE(fileExists(out));
}

TEST(LiveTool, AddressOptionIsCheckedAndANetworkHostIsServedWithAWarning) {
    ScratchDirectory scratch;
    ProcessResult result = runTool({"--live", "70000"}, {}, scratch.path());
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("--live"), std::string::npos) << result.err;

    result = runTool({"--live", "0.0.0.0:0", "--files", "1", "--points", "512", "--scans", "2",
                      "--out", scratch.path() + "/out"},
                     {}, scratch.path());
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("warning: the live view listens on 0.0.0.0: anyone who can reach "
                              "this computer over the network can watch the run"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.out.find("live view: http://0.0.0.0:"), std::string::npos) << result.out;
}

}  // namespace
}  // namespace ostrel::acquire::testing
