// The run history read back from the disk alone, whatever process wrote it.
#include "ostrel_session/run_history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "tool_harness.h"

namespace ostrel::session::testing {
namespace {

using acquire::testing::fileExists;
using acquire::testing::ScratchDirectory;

void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
}

std::string runDirectory(const std::string& data, const std::string& id) {
    const std::string path = data + "/" + id;
    mkdir(path.c_str(), 0755);
    return path;
}

std::string summary(const std::string& status, const std::string& kind, double startedMs,
                    const std::string& files = "[]") {
    return "{\"status\": \"" + status + "\", \"run\": {\"kind\": \"" + kind +
           "\", \"name\": \"n\", \"started\": \"t\", \"started_ms\": " + std::to_string(startedMs) +
           "}, \"settings\": {\"points\": 8}, \"files\": " + files + "}";
}

const char* kRecord =
    "{\"file\": 1, \"interferogram\": \"interferogram-0001.csv\", \"spectrum\": "
    "\"spectrum-0001.csv\", \"timestamp_ms\": 5.0}\n";

TEST(RunHistory, RunsAreListedNewestFirstWithTheirStateAndFiles) {
    ScratchDirectory scratch;
    const std::string data = scratch.path();
    write(runDirectory(data, "old") + "/summary.json",
          summary("complete", "background", 1000.0,
                  "[{\"file\": 1, \"interferogram\": \"a.csv\"}, {\"file\": 2}]"));
    write(runDirectory(data, "new") + "/summary.json", summary("failed", "sample", 3000.0));
    write(runDirectory(data, "broken") + "/summary.json", "{\"status\": ");
    runDirectory(data, "not-a-run");  // no summary at all
    write(data + "/stray.txt", "x");

    const std::vector<RunRecord> runs = listRuns(data);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].id, "new");
    EXPECT_EQ(runs[0].kind, RunKind::Sample);
    EXPECT_EQ(runs[0].state, "failed");
    EXPECT_EQ(runs[1].id, "old");
    EXPECT_EQ(runs[1].kind, RunKind::Background);
    ASSERT_EQ(runs[1].files.size(), 2u);
    EXPECT_EQ(runs[1].files[0].interferogram, "a.csv");
    EXPECT_EQ(runs[2].id, "broken");
    EXPECT_EQ(runs[2].state, "unreadable");
    EXPECT_TRUE(listRuns(data + "/missing").empty());
}

TEST(RunHistory, ARunningRunIsInterruptedUnlessItIsTheActiveOneAndItsCutLineIsLeftOut) {
    ScratchDirectory scratch;
    const std::string run = runDirectory(scratch.path(), "left");
    write(run + "/summary.json", summary("running", "acquire", 2000.0));
    // Two complete records and one cut short by the kill.
    write(run + "/files.jsonl", std::string(kRecord) + kRecord + "{\"file\": 3, \"interf");

    std::vector<RunRecord> runs = listRuns(scratch.path(), "left");
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].state, "running");
    runs = listRuns(scratch.path());
    EXPECT_EQ(runs[0].state, "interrupted");
    EXPECT_EQ(runs[0].files.size(), 2u);

    EXPECT_EQ(closeInterruptedRuns(scratch.path(), "left"), 0);
    EXPECT_EQ(closeInterruptedRuns(scratch.path()), 1);
    EXPECT_FALSE(fileExists(run + "/files.jsonl"));
    RunRecord closed;
    ASSERT_TRUE(readRunRecord(run, &closed));
    EXPECT_EQ(closed.state, "interrupted");
    EXPECT_EQ(closed.files.size(), 2u);
    EXPECT_EQ(closeInterruptedRuns(scratch.path()), 0);  // once only
}

}  // namespace
}  // namespace ostrel::session::testing
