// The lab workflow through the real tool on its built-in simulator: a background run, a sample
// run against it, the files an independent reader opens, the archive, and paced time series.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "independent_jcamp_reader.h"
#include "tool_harness.h"

namespace ostrel::acquire::testing {
namespace {

using JsonValue = nlohmann::json;

const std::vector<std::string> kQuickRun = {"--points",  "512",           "--scans", "2",
                                            "--no-plot", "--sim-scan-ms", "200",     "--quiet"};

std::vector<std::string> quickRun(const std::vector<std::string>& more) {
    std::vector<std::string> arguments = kQuickRun;
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

JsonValue readSummary(const std::string& directory) {
    JsonValue document;
    std::string error;
    EXPECT_TRUE(readJsonFile(directory + "/summary.json", &document, &error)) << error;
    return document;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The archive's row for a JCAMP-DX file of the tool: which data set, file and half it holds.
struct ArchiveRow {
    const char* dataset;
    long file;  // -1: the run's mean
    size_t half;
    const char* yUnits;
};

ArchiveRow rowOf(const std::string& name) {
    const size_t half = name.find("-reverse.jdx") != std::string::npos ? 1 : 0;
    const long file = name.rfind("mean-", 0) == 0 ? -1 : std::stol(name.substr(name.size() - 16));
    if (name.rfind("absorbance", 0) == 0) {
        return {"absorbance", file, half, "ABSORBANCE"};
    }
    if (name.rfind("transmittance", 0) == 0) {
        return {"transmittance", file, half, "TRANSMITTANCE"};
    }
    return {file < 0 ? "mean_single_beam" : "single_beam", file, half, "ARBITRARY UNITS"};
}

TEST(Workflow, BackgroundThenSampleFilesReadBackByAnIndependentReaderAsTheArchiveHoldsThem) {
    ScratchDirectory scratch;
    const std::string background = scratch.path() + "/background";
    const std::string sample = scratch.path() + "/sample";
    ProcessResult result =
        runTool(quickRun({"--files", "2", "--out", background}), {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    result = runTool(quickRun({"--files", "2", "--format", "csv,jcamp,hdf5", "--out", sample,
                               "--background", background, "--jcamp-form", "difdup"}),
                     {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;

    std::vector<std::string> names;
    std::vector<std::string> combined;
    for (const std::string& name : directoryEntries(sample)) {
        if (endsWith(name, "-combined.jdx")) {
            combined.push_back(sample + "/" + name);
        } else if (endsWith(name, ".jdx")) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    // Single beam, transmittance and absorbance for 2 files x 2 halves, and the 2 means.
    ASSERT_EQ(names.size(), 14u);
    // The same for each file's combined single beam, and its mean; the independent reader takes
    // them as it takes the halves'.
    ASSERT_EQ(combined.size(), 7u);
    JsonValue combinedRead;
    std::string combinedError;
    ASSERT_TRUE(readJcampFiles(combined, &combinedRead, &combinedError)) << combinedError;
    ASSERT_EQ(combinedRead.size(), 7u);
    std::vector<std::string> paths;
    for (const std::string& name : names) {
        paths.push_back(sample + "/" + name);
    }
    JsonValue read;
    std::string error;
    ASSERT_TRUE(readJcampFiles(paths, &read, &error)) << error;

    ArchiveReader archive(sample + "/run.h5");
    ASSERT_TRUE(archive.opened());
    const std::vector<double> wavenumbers = archive.doubles("wavenumber");
    const size_t bins = wavenumbers.size();
    const double step = wavenumbers[1] - wavenumbers[0];
    for (size_t index = 0; index < names.size(); ++index) {
        SCOPED_TRACE(names[index]);
        const ArchiveRow row = rowOf(names[index]);
        const JsonValue& file = read[index];
        const JsonValue& info = file["info"];
        const JsonValue& labels = file["meta"];
        EXPECT_EQ(info.at("YUNITS").get<std::string>(), row.yUnits);
        EXPECT_EQ(info.at("XUNITS").get<std::string>(), "1/CM");
        EXPECT_EQ(labels.at("SCAN DIRECTION").get<std::string>(),
                  row.half == 0 ? "forward" : "reverse");
        EXPECT_EQ(labels.at("POINTS").get<std::string>(), "512");
        EXPECT_EQ(labels.at("SCANS").get<std::string>(), "2");
        EXPECT_EQ(labels.at("APODIZATION").get<std::string>(), "happ-genzel");
        EXPECT_EQ(labels.at("LASER WAVENUMBER").get<std::string>(), "15798");
        EXPECT_EQ(labels.at("UNDERSAMPLING").get<std::string>(), "2");
        EXPECT_EQ(labels.count("TIMESTAMP"), row.file < 0 ? 0u : 1u);

        const std::vector<double> all = archive.doubles(row.dataset);
        const size_t offset =
            (row.file < 0 ? 0 : static_cast<size_t>(row.file - 1) * 2 * bins) + row.half * bins;
        const double* expected = all.data() + offset;
        const double yFactor = std::stod(info.at("YFACTOR").get<std::string>());
        const JsonValue& x = file["x"];
        const JsonValue& y = file["y"];
        ASSERT_FALSE(x.empty());
        const size_t first =
            static_cast<size_t>(std::lround((x[0].get<double>() - wavenumbers[0]) / step));
        ASSERT_LE(first + y.size(), bins);
        for (size_t point = 0; point < y.size(); ++point) {
            ASSERT_NEAR(x[point].get<double>(), wavenumbers[first + point], step * 1.0e-6);
            ASSERT_NEAR(y[point].get<double>(), expected[first + point], yFactor) << point;
        }
        // The file holds the widest defined stretch: the points on either side are undefined.
        if (first > 0) {
            EXPECT_TRUE(std::isnan(expected[first - 1]));
        }
        if (first + y.size() < bins) {
            EXPECT_TRUE(std::isnan(expected[first + y.size()]));
        }
    }
}

// The simulator's absorption lines, seen through a background and a sample run of full size, in
// the absorbance files as an independent reader reads them: each line at its wavenumber with its
// peak absorbance (broad lines, so that the instrument's resolution hardly lowers the peaks).
TEST(Workflow, AbsorbanceFilesShowTheSimulatorsLinesAtTheirPlacesAndHeights) {
    ScratchDirectory scratch;
    const std::vector<std::string> fullSize = {"--points",      "16384", "--scans",   "2",
                                               "--files",       "1",     "--no-plot", "--quiet",
                                               "--sim-scan-ms", "20",    "--format",  "jcamp"};
    std::vector<std::string> arguments = fullSize;
    arguments.insert(arguments.end(), {"--out", scratch.path() + "/background"});
    ProcessResult result = runTool(arguments, {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    struct Line {
        double centre, hwhm, absorbance;
    };
    const Line lines[] = {{1050.0, 12.0, 0.6}, {2350.0, 10.0, 1.0}, {3300.0, 15.0, 0.3}};
    arguments = fullSize;
    arguments.insert(arguments.end(), {"--out", scratch.path() + "/sample", "--background",
                                       scratch.path() + "/background"});
    for (const Line& line : lines) {
        char text[64];
        std::snprintf(text, sizeof text, "%g:%g:%g", line.centre, line.hwhm, line.absorbance);
        arguments.insert(arguments.end(), {"--sim-absorber", text});
    }
    result = runTool(arguments, {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;

    JsonValue read;
    std::string error;
    ASSERT_TRUE(readJcampFiles({scratch.path() + "/sample/absorbance-0001-forward.jdx",
                                scratch.path() + "/sample/absorbance-0001-reverse.jdx"},
                               &read, &error))
        << error;
    for (const JsonValue& file : read) {
        SCOPED_TRACE(file["meta"]["SCAN DIRECTION"].get<std::string>());
        const JsonValue& x = file["x"];
        const JsonValue& y = file["y"];
        for (const Line& line : lines) {
            double peakX = 0.0;
            double peak = -1.0;
            for (size_t point = 0; point < x.size(); ++point) {
                if (std::fabs(x[point].get<double>() - line.centre) < 3.0 * line.hwhm &&
                    y[point].get<double>() > peak) {
                    peak = y[point].get<double>();
                    peakX = x[point].get<double>();
                }
            }
            EXPECT_NEAR(peakX, line.centre, 1.0) << line.centre;
            EXPECT_NEAR(peak, line.absorbance, 0.05 * line.absorbance + 0.01) << line.centre;
        }
    }
}

TEST(Workflow, AMismatchedBackgroundIsRefusedBeforeTheInstrumentIsTouched) {
    ScratchDirectory scratch;
    const std::string background = scratch.path() + "/background";
    ProcessResult result = runTool(
        quickRun({"--files", "1", "--format", "jcamp", "--out", background}), {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    // An address that never answers: reaching for the instrument would take its 2 s time-out
    // and end with the connection's exit status, not the command line's.
    const std::string out = scratch.path() + "/sample";
    result = runTool(
        {"--address", "192.0.2.1", "--points", "1024", "--background", background, "--out", out},
        {}, scratch.path());
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("does not match this run in its points: 512 there, 1024 in this run"),
              std::string::npos)
        << result.err;
    EXPECT_LT(result.seconds, 1.5);
    EXPECT_FALSE(fileExists(out));
}

TEST(Workflow, IntervalStartsOneFileEverySecondsAndTheSummaryGivesTheCadence) {
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/series";
    const ProcessResult result =
        runTool({"--points", "512", "--scans", "1", "--sim-scan-ms", "200", "--no-plot", "--files",
                 "3", "--interval", "0.5", "--format", "csv", "--out", out},
                {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const JsonValue summary = readSummary(out);
    EXPECT_EQ(summary["files_saved"].get<double>(), 3);
    EXPECT_EQ(summary["files_missed"].get<double>(), 0);
    // The stamps are the driver's, of each file's end; a busy machine delays some of them.
    EXPECT_NEAR(summary["timing"]["cadence_s"].get<double>(), 0.5, 0.15);
    EXPECT_EQ(summary["settings"]["interval_s"].get<double>(), 0.5);
    EXPECT_GE(result.seconds, 1.0);
    // The progress line gives the cadence achieved, from the driver's time stamps.
    EXPECT_TRUE(result.out.find(", one file every 0.4") != std::string::npos ||
                result.out.find(", one file every 0.5") != std::string::npos)
        << result.out;
    const JsonValue& files = summary["files"];
    for (size_t index = 1; index < files.size(); ++index) {
        const double gap = files[index]["timestamp_ms"].get<double>() -
                           files[index - 1]["timestamp_ms"].get<double>();
        EXPECT_NEAR(gap, 500.0, 200.0) << index;
    }
}

TEST(Workflow, FormatListChoosesTheOutputsAndAWrongListIsAUsageError) {
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/archive-only";
    ProcessResult result =
        runTool(quickRun({"--files", "2", "--format", "hdf5", "--out", out}), {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> entries = directoryEntries(out);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{
                           "mean-single-beam-combined.jdx", "mean-single-beam-forward.jdx",
                           "mean-single-beam-reverse.jdx", "run.h5", "summary.json"}));
    EXPECT_EQ(readSummary(out)["settings"]["format"].get<std::string>(), "hdf5");

    result = runTool({"--format", "csv,xml", "--out", scratch.path() + "/bad"}, {}, scratch.path());
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("unknown format \"xml\""), std::string::npos) << result.err;
    EXPECT_FALSE(fileExists(scratch.path() + "/bad"));
}

TEST(Workflow, AnEarlierRunsArchiveAndBackgroundAreNeverOverwritten) {
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/run";
    ProcessResult result =
        runTool(quickRun({"--files", "2", "--format", "hdf5", "--out", out}), {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string archive = readFile(out + "/run.h5");
    const std::string mean = readFile(out + "/mean-single-beam-forward.jdx");

    result =
        runTool(quickRun({"--files", "1", "--format", "hdf5", "--out", out}), {}, scratch.path());
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_NE(result.err.find("run.h5 already holds an earlier run's archive"), std::string::npos)
        << result.err;
    result =
        runTool(quickRun({"--files", "1", "--format", "jcamp", "--out", out, "--background", out}),
                {}, scratch.path());
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_NE(result.err.find("would be replaced by this run's mean single beam"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(readFile(out + "/run.h5"), archive);
    EXPECT_EQ(readFile(out + "/mean-single-beam-forward.jdx"), mean);
}

}  // namespace
}  // namespace ostrel::acquire::testing
