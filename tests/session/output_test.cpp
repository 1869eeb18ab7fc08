#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "ostrel_session/progress.h"
#include "outputs/output_files.h"
#include "tool_harness.h"

namespace ostrel::session {
namespace {

using ostrel::acquire::testing::CsvFile;
using ostrel::acquire::testing::ScratchDirectory;

TEST(AtomicFile, RealNameAppearsOnlyAtCommit) {
    ScratchDirectory scratch;
    AtomicFile file(scratch.path(), "data.csv");
    std::string error;
    ASSERT_TRUE(file.open(&error)) << error;
    std::fputs("partial", file.stream());
    EXPECT_FALSE(ostrel::acquire::testing::fileExists(file.path()));
    EXPECT_TRUE(ostrel::acquire::testing::fileExists(file.temporaryPath()));
    ASSERT_TRUE(file.commit(&error)) << error;
    EXPECT_EQ(ostrel::acquire::testing::readFile(file.path()), "partial");
    EXPECT_EQ(ostrel::acquire::testing::directoryEntries(scratch.path()),
              std::vector<std::string>{"data.csv"});
}

TEST(AtomicFile, AbandonedFileLeavesNothingBehind) {
    ScratchDirectory scratch;
    {
        AtomicFile file(scratch.path(), "data.csv");
        std::string error;
        ASSERT_TRUE(file.open(&error)) << error;
        std::fputs("half", file.stream());
    }
    EXPECT_TRUE(ostrel::acquire::testing::directoryEntries(scratch.path()).empty());
}

TEST(AtomicFile, MissingDirectoryIsReportedNotCrashed) {
    AtomicFile file("/nonexistent/directory", "data.csv");
    std::string error;
    EXPECT_FALSE(file.open(&error));
    EXPECT_NE(error.find("/nonexistent/directory"), std::string::npos);
}

TEST(OutputDirectory, NestedDirectoriesAreCreatedAndAnExistingOneIsKept) {
    ScratchDirectory scratch;
    const std::string nested = scratch.path() + "/runs/today";
    bool created = false;
    std::string error;
    ASSERT_TRUE(makeDirectories(nested, &created, &error)) << error;
    EXPECT_TRUE(created);
    ASSERT_TRUE(makeDirectories(nested, &created, &error)) << error;
    EXPECT_FALSE(created);
    AtomicFile blocker(scratch.path(), "file");
    ASSERT_TRUE(blocker.open(&error) && blocker.commit(&error));
    EXPECT_FALSE(makeDirectories(scratch.path() + "/file", &created, &error));
}

// Values that a decimal text with too few digits would not give back exactly.
const std::vector<double> kAwkwardValues = {0.1,  -1.0 / 3.0, 1e-300, 123456789.123456789,
                                            -0.0, 31427.4375};

Table awkwardTable(const std::vector<double>& first, const std::vector<double>& second) {
    return Table{"ostrel-acquire interferogram",
                 {{"file", int64_t{7}},
                  {"timestamp", std::string("2024-01-02T03:04:05.678Z")},
                  {"calibrated", true},
                  {"timestamp_ms", 1704164645678.0}},
                 "index",
                 {{"forward", first.data()}, {"reverse", second.data()}},
                 first.size()};
}

TEST(DataFile, CsvReadsBackEveryValueExactlyUnderItsHeader) {
    ScratchDirectory scratch;
    std::vector<double> reversed(kAwkwardValues.rbegin(), kAwkwardValues.rend());
    std::string error;
    ASSERT_TRUE(writeTable(scratch.path(), "t.csv", OutputFormat::Csv,
                           awkwardTable(kAwkwardValues, reversed), &error))
        << error;
    CsvFile file;
    ASSERT_TRUE(ostrel::acquire::testing::readCsv(scratch.path() + "/t.csv", &file, &error))
        << error;
    EXPECT_EQ(file.title, "ostrel-acquire interferogram");
    EXPECT_EQ(file.header["file"], "7");
    EXPECT_EQ(file.header["calibrated"], "true");
    EXPECT_EQ(file.header["timestamp_ms"], "1704164645678");
    EXPECT_EQ(file.columns, (std::vector<std::string>{"index", "forward", "reverse"}));
    ASSERT_EQ(file.rows.size(), kAwkwardValues.size());
    for (size_t row = 0; row < kAwkwardValues.size(); ++row) {
        EXPECT_EQ(file.rows[row][1], kAwkwardValues[row]);
        EXPECT_EQ(file.rows[row][2], reversed[row]);
    }
}

TEST(DataFile, JsonIsValidAndHoldsEveryValueExactly) {
    ScratchDirectory scratch;
    std::string error;
    ASSERT_TRUE(writeTable(scratch.path(), "t.json", OutputFormat::Json,
                           awkwardTable(kAwkwardValues, kAwkwardValues), &error))
        << error;
    nlohmann::json document;
    ASSERT_TRUE(
        ostrel::acquire::testing::readJsonFile(scratch.path() + "/t.json", &document, &error))
        << error;
    EXPECT_EQ(
        ostrel::acquire::testing::readFile(scratch.path() + "/t.json").rfind("{\n  \"kind\": ", 0),
        0u)
        << "a person reads what the file is first";
    EXPECT_EQ(document.at("kind"), "ostrel-acquire interferogram");
    EXPECT_EQ(document.at("file"), 7);
    EXPECT_EQ(document.at("calibrated"), true);
    EXPECT_EQ(document.at("rows"), kAwkwardValues.size());
    ASSERT_EQ(document.at("forward").size(), kAwkwardValues.size());
    for (size_t row = 0; row < kAwkwardValues.size(); ++row) {
        EXPECT_EQ(document.at("forward").at(row).get<double>(), kAwkwardValues[row]);
    }
}

// A NaN from a dead detector, or a header text with a control character or bytes that are not
// UTF-8 (an address typed on the command line), must still give a file every reader accepts,
// and must not end the writer on an exception.
TEST(DataFile, JsonStaysValidWithNonFiniteNumbersAndOddText) {
    ScratchDirectory scratch;
    const double odd[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(), 2.5};
    const Table table{"odd",
                      {{"error", std::string("line one\nsaid \"no\"\x01")},
                       {"address", std::string("10.0.0.\xff")}},
                      "index",
                      {{"values", odd}},
                      3};
    std::string error;
    ASSERT_TRUE(writeTable(scratch.path(), "odd.json", OutputFormat::Json, table, &error)) << error;
    nlohmann::json document;
    ASSERT_TRUE(
        ostrel::acquire::testing::readJsonFile(scratch.path() + "/odd.json", &document, &error))
        << error;
    EXPECT_EQ(document.at("error"), "line one\nsaid \"no\"\x01");
    EXPECT_EQ(document.at("address"), "10.0.0.\xef\xbf\xbd");
    EXPECT_TRUE(document.at("values").at(0).is_null());
    EXPECT_TRUE(document.at("values").at(1).is_null());
    EXPECT_EQ(document.at("values").at(2), 2.5);
}

TEST(Timestamp, MillisecondsSince1970ReadAsUtcText) {
    const std::pair<double, const char*> rows[] = {
        {0.0, "1970-01-01T00:00:00.000Z"},
        {1704164645678.0, "2024-01-02T03:04:05.678Z"},
        {951782400999.0, "2000-02-29T00:00:00.999Z"},
    };
    for (const auto& [milliseconds, text] : rows) {
        EXPECT_EQ(formatTimestamp(milliseconds), text);
    }
}

struct RemainingRow {
    ProgressState state;
    double expected;
};

void PrintTo(const RemainingRow& row, std::ostream* out) {
    *out << row.state.filesDone << " of " << row.state.files << " files, scan " << row.state.scan
         << " of " << row.state.scans << ", " << row.state.elapsedSeconds << " s";
}

class RemainingTime : public ::testing::TestWithParam<RemainingRow> {};

TEST_P(RemainingTime, EstimateFollowsTheScansDoneSoFar) {
    EXPECT_NEAR(estimateRemainingSeconds(GetParam().state), GetParam().expected, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RemainingTime,
    ::testing::Values(
        // filesDone, files, scan, scans, elapsed -> seconds left
        RemainingRow{{0, 4, 0, 16, 0.5}, -1.0},   // nothing done yet: unknown
        RemainingRow{{0, 4, 8, 16, 2.0}, 14.0},   // half a file of four in 2 s
        RemainingRow{{2, 4, 0, 16, 10.0}, 10.0},  // two files of four
        RemainingRow{{3, 4, 16, 16, 9.0}, 0.0},   // the last scan of the last file
        RemainingRow{{4, 4, 16, 16, 12.0}, 0.0},  // done; the scan counter is not added again
        RemainingRow{{5, 0, 3, 16, 60.0}, -1.0}   // no file limit: unknown
        ));

TEST(Progress, LineNamesFileScanAndTimes) {
    EXPECT_EQ(progressText({1, 4, 8, 16, 3.0}),
              "file 2 of 4, scan 8 of 16, 3.0 s elapsed, about 5.0 s left");
    EXPECT_EQ(progressText({4, 4, 16, 16, 12.0}), "file 4 of 4, done, 12.0 s elapsed");
    EXPECT_EQ(progressText({2, 0, 1, 16, 75.0}), "file 3, scan 1 of 16, 1:15 elapsed");
}

}  // namespace
}  // namespace ostrel::session
