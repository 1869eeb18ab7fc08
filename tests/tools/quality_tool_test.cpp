// Quality gates as a person meets them at the command line: a record without a usable centre
// burst is saved and labelled, the tool warns once with a hint that fits, and the same settings
// after a calibration pass every gate.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool_harness.h"

namespace ostrel::acquire::testing {
namespace {

using JsonValue = nlohmann::json;

JsonValue readSummary(const std::string& directory) {
    JsonValue document;
    std::string error;
    EXPECT_TRUE(readJsonFile(directory + "/summary.json", &document, &error)) << error;
    return document;
}

size_t count(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

struct GateRow {
    const char* points;
    const char* failedGate;  // the gate the record fails first
};

class RecordWithoutAUsableBurst : public ::testing::TestWithParam<GateRow> {};

// The simulator's burst sits at point 8192 of a scan: at skip 0 a record of 2048 or 4096 points
// holds none, and one of 8192 points ends at it.
TEST_P(RecordWithoutAUsableBurst, IsSavedLabelledAndWarnedAboutOnceWithAHint) {
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    const ProcessResult result =
        runTool({"--points", GetParam().points, "--scans", "2", "--files", "2", "--sim-scan-ms",
                 "50", "--no-plot", "--format", "csv,jcamp,hdf5", "--out", out},
                {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(count(result.err, "must not be trusted"), 1u) << result.err;
    EXPECT_NE(result.err.find(std::string("(") + GetParam().failedGate + ")"), std::string::npos)
        << result.err;
    EXPECT_TRUE(result.err.find("hint: ") != std::string::npos &&
                (result.err.find("--calibrate") != std::string::npos ||
                 result.err.find("--skip") != std::string::npos))
        << result.err;

    const JsonValue summary = readSummary(out);
    ASSERT_EQ(summary.at("files").size(), 2u);
    for (const JsonValue& file : summary.at("files")) {
        bool failed = false;
        for (const JsonValue& half : file.at("halves")) {
            failed = failed || half.at("quality") == "fail";
            for (const JsonValue& gate : half.at("gates")) {
                EXPECT_FALSE(gate.at("reason").get<std::string>().empty());
            }
        }
        EXPECT_TRUE(failed) << file.dump(2);
    }
    const std::string jcamp = readFile(out + "/single-beam-0001-forward.jdx") +
                              readFile(out + "/single-beam-0001-reverse.jdx");
    EXPECT_NE(jcamp.find("##$QUALITY=fail: "), std::string::npos);
    EXPECT_NE(jcamp.find("##$QUALITY REASON="), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Points, RecordWithoutAUsableBurst,
                         ::testing::Values(GateRow{"2048", "burst"}, GateRow{"4096", "burst"},
                                           GateRow{"8192", "zpd_edge"}),
                         [](const auto& row) { return std::string(row.param.points); });

TEST(QualityGates, TheSameSettingsAfterACalibrationPassEveryGate) {
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    const ProcessResult result =
        runTool({"--points", "8192", "--scans", "2", "--files", "2", "--sim-scan-ms", "50",
                 "--calibrate", "--no-plot", "--format", "csv,jcamp", "--out", out},
                {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err.find("must not be trusted"), std::string::npos) << result.err;
    const JsonValue summary = readSummary(out);
    for (const JsonValue& file : summary.at("files")) {
        for (const JsonValue& half : file.at("halves")) {
            EXPECT_EQ(half.at("quality"), "ok") << half.dump(2);
        }
    }
    EXPECT_EQ(readFile(out + "/single-beam-0002-forward.jdx").find("##$QUALITY"),
              std::string::npos);
}

TEST(QualityGates, ABurstDrownedInNoiseFailsAsMissing) {
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    const ProcessResult result =
        runTool({"--points", "1024", "--skip", "7936", "--scans", "1", "--files", "1",
                 "--sim-scan-ms", "50", "--sim-noise", "100000", "--no-plot", "--out", out},
                {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("(burst)"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace ostrel::acquire::testing
