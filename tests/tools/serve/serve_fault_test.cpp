// The server through faults: killed mid-run and started again, an instrument error mid-run,
// clients that vanish; and its event stream's display rate.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "serve_harness.h"
#include "sse_client.h"

namespace ostrel::acquire::testing {
namespace {

using nlohmann::json;

std::vector<ReceivedEvent> named(const std::vector<ReceivedEvent>& events, const char* name) {
    std::vector<ReceivedEvent> found;
    for (const ReceivedEvent& event : events) {
        if (event.name == name) {
            found.push_back(event);
        }
    }
    return found;
}

TEST(ServeFault, KilledMidRunTheRestartedServerListsTheRunInterruptedWithItsFiles) {
    ScratchDirectory scratch;
    const std::string data = scratch.path() + "/data";
    std::string id;
    {
        ServeProcess server(scratch.path(), kQuickServe, data);
        ASSERT_TRUE(server.ready());
        server.connectQuickly();
        const HttpReply started =
            server.send("POST", "/api/runs", {{"kind", "sample"}, {"files", 0}, {"name", "long"}});
        ASSERT_EQ(started.status, 201) << started.body;
        id = started.json()["id"];
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (server.get("/api/runs/" + id).json()["files"].size() < 3 &&
               std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        server.process().signal(SIGKILL);
        EXPECT_EQ(server.process().wait(10000).exitCode, 128 + SIGKILL);
    }
    ServeProcess again(scratch.path(), kQuickServe, data);
    ASSERT_TRUE(again.ready()) << readFile(scratch.path() + "/stderr.txt");
    const json runs = again.get("/api/runs").json()["runs"];
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]["id"], id);
    EXPECT_EQ(runs[0]["state"], "interrupted");
    EXPECT_EQ(runs[0]["name"], "long");
    ASSERT_GE(runs[0]["files"].size(), 3u);
    for (const json& file : runs[0]["files"]) {
        for (const char* kind : {"interferogram", "spectrum"}) {
            const std::string name = file[kind];
            const HttpReply download = again.get("/api/runs/" + id + "/files/" + name);
            EXPECT_EQ(download.status, 200) << name;
            EXPECT_EQ(download.contentType, "text/csv; charset=utf-8") << name;
            EXPECT_FALSE(download.body.empty()) << name;
        }
    }
    EXPECT_EQ(again.get("/api/runs/" + id + "/zip").status, 200);
}

TEST(ServeFault, AnInstrumentErrorMidRunIsShownWithItsHintAndTheServerStaysUsable) {
    ScratchDirectory scratch;
    std::vector<std::string> arguments = kQuickServe;
    arguments.insert(arguments.end(), {"--sim-fault", "scan:error:_2:1"});
    ServeProcess server(scratch.path(), arguments);
    ASSERT_TRUE(server.ready());
    server.connectQuickly();
    SseClient events("127.0.0.1", server.port(), server.token());
    const json failed = server.runToEnd({{"kind", "sample"}, {"files", 3}});
    EXPECT_EQ(failed["state"], "failed") << failed.dump();
    EXPECT_NE(failed["error"].get<std::string>().find("driver error 15"), std::string::npos);
    const json state = server.get("/api/state").json();
    ASSERT_TRUE(state["last_error"].is_object()) << state.dump();
    EXPECT_FALSE(state["last_error"]["hint"].get<std::string>().empty());
    ASSERT_TRUE(events.waitFor(
        [](const std::vector<ReceivedEvent>& seen) { return !named(seen, "error").empty(); },
        5000));
    EXPECT_FALSE(named(events.events(), "error")[0].data["hint"].get<std::string>().empty());
    ASSERT_TRUE(events.waitFor(
        [](const std::vector<ReceivedEvent>& seen) {
            for (const ReceivedEvent& event : named(seen, "end")) {
                if (event.data["status"] == "failed") {
                    return true;
                }
            }
            return false;
        },
        5000));

    // The next run goes through (reconnecting if the fault closed the connection).
    if (!server.get("/api/state").json()["connection"]["connected"].get<bool>()) {
        ASSERT_EQ(server.send("POST", "/api/connection").status, 200);
    }
    const json next = server.runToEnd({{"kind", "sample"}, {"files", 2}});
    EXPECT_EQ(next["state"], "complete") << next.dump();
}

TEST(ServeFault, AClientThatVanishesChangesNothingAndTwoClientsSeeTheSameState) {
    ScratchDirectory scratch;
    ServeProcess server(scratch.path(), kQuickServe);
    ASSERT_TRUE(server.ready());
    server.connectQuickly();
    SseClient first("127.0.0.1", server.port(), server.token());
    SseClient second("127.0.0.1", server.port(), server.token());
    const HttpReply started = server.send("POST", "/api/runs", {{"kind", "sample"}, {"files", 20}});
    ASSERT_EQ(started.status, 201);
    {
        SseClient vanishing("127.0.0.1", server.port(), server.token());
        ASSERT_TRUE(vanishing.waitFor(
            [](const std::vector<ReceivedEvent>& seen) { return !named(seen, "file").empty(); },
            10000));
    }  // gone mid-run, without a word
    const json run = server.waitForRunEnd(started.json()["id"]);
    EXPECT_EQ(run["state"], "complete");
    EXPECT_EQ(run["files"].size(), 20u);
    auto settled = [](const std::vector<ReceivedEvent>& seen) {
        const auto states = named(seen, "state");
        return !named(seen, "end").empty() && !states.empty() &&
               !states.back().data["running"].get<bool>();
    };
    ASSERT_TRUE(first.waitFor(settled, 5000));
    ASSERT_TRUE(second.waitFor(settled, 5000));
    EXPECT_EQ(named(first.events(), "end").back().data, named(second.events(), "end").back().data);
    EXPECT_EQ(named(first.events(), "state").back().data,
              named(second.events(), "state").back().data);
    EXPECT_EQ(named(first.events(), "state").back().data, server.get("/api/state").json());
    EXPECT_EQ(server.get("/api/state").status, 200);
}

// Files come every 15 ms or so; a client is sent at most about ten a second, each with its
// curves thinned, whatever the instrument delivers.
TEST(ServeEvents, EachClientGetsFilesAtADisplayRate) {
    ScratchDirectory scratch;
    ServeProcess server(scratch.path(),
                        {"serve", "--listen", "127.0.0.1:0", "--sim-scan-ms", "200", "--quiet"});
    ASSERT_TRUE(server.ready());
    ASSERT_EQ(server
                  .send("PUT", "/api/settings",
                        {{"points", 1024}, {"scans", 1}, {"plot", false}, {"format", "csv"}})
                  .status,
              200);
    ASSERT_EQ(server.send("POST", "/api/connection").status, 200);
    SseClient client("127.0.0.1", server.port(), server.token());
    const auto begun = std::chrono::steady_clock::now();
    const json run = server.runToEnd({{"kind", "sample"}, {"files", 100}}, 60000);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    ASSERT_EQ(run["state"], "complete");
    ASSERT_TRUE(client.waitFor(
        [](const std::vector<ReceivedEvent>& seen) { return !named(seen, "end").empty(); }, 5000));
    const auto files = named(client.events(), "file");
    ASSERT_FALSE(files.empty());
    EXPECT_LE(static_cast<double>(files.size()), 12.0 * seconds + 2.0)
        << files.size() << " file events in " << seconds << " s";
    EXPECT_LE(files.back().data["halves"][0]["interferogram"]["x"].size(), 2000u);
    const auto progress = named(client.events(), "progress");
    EXPECT_LE(static_cast<double>(progress.size()), 12.0 * seconds + 2.0);
}

}  // namespace
}  // namespace ostrel::acquire::testing
