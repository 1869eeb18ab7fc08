// ostrel-acquire run as a person runs it: against its built-in simulator, against addresses
// where no instrument answers, and interrupted with Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/loopback.h"
#include "tool_harness.h"

namespace ostrel::acquire::testing {
namespace {

// Small, fast runs: 512 points, four simulated scans of 12.5 ms each; a file every 55 ms or so
// leaves the tool ample time to fetch each one even on a busy machine.
const std::vector<std::string> kFastRun = {"--points", "512",           "--scans",
                                           "4",        "--sim-scan-ms", "400"};

std::vector<std::string> withArguments(std::vector<std::string> base,
                                       const std::vector<std::string>& more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

nlohmann::json readJson(const std::string& path) {
    nlohmann::json document;
    std::string error;
    EXPECT_TRUE(readJsonFile(path, &document, &error)) << error;
    return document;
}

bool isTemporaryName(const std::string& name) {
    return name.find(".tmp-") != std::string::npos;
}

std::vector<std::string> temporaryFiles(const std::string& directory) {
    std::vector<std::string> found;
    for (const std::string& name : directoryEntries(directory)) {
        if (isTemporaryName(name)) {
            found.push_back(name);
        }
    }
    return found;
}

std::string numbered(const char* stem, int number, const std::string& extension) {
    char name[64];
    std::snprintf(name, sizeof name, "%s-%04d.%s", stem, number, extension.c_str());
    return name;
}

// The column names and row count of one data file, whichever format it is in.
struct DataShape {
    std::vector<std::string> columns;
    size_t rows = 0;
};

DataShape readDataShape(const std::string& path, const std::string& format) {
    DataShape shape;
    if (format == "csv") {
        CsvFile file;
        std::string error;
        EXPECT_TRUE(readCsv(path, &file, &error)) << error;
        if (!file.columns.empty()) {
            shape.columns.assign(file.columns.begin() + 1, file.columns.end());
        }
        shape.rows = file.rows.size();
        return shape;
    }
    const nlohmann::json document = readJson(path);
    shape.rows = static_cast<size_t>(document.at("rows").get<double>());
    for (const char* half : {"forward", "reverse"}) {
        if (document.contains(half)) {
            shape.columns.push_back(half);
            EXPECT_EQ(document.at(half).size(), shape.rows) << path;
        }
    }
    return shape;
}

struct RunRow {
    const char* name;
    std::string format;
    int direction;
    std::vector<std::string> halves;
};

void PrintTo(const RunRow& row, std::ostream* out) {
    *out << row.name;
}

class AcquireRun : public ::testing::TestWithParam<RunRow> {};

TEST_P(AcquireRun, SimulatorRunWritesEveryFileItsSpectrumAndAMatchingSummary) {
    const RunRow& row = GetParam();
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    const ProcessResult result = runTool(
        withArguments(kFastRun, {"--files", "3", "--direction", std::to_string(row.direction),
                                 "--format", row.format, "--out", out}),
        {}, scratch.path());
    ASSERT_TRUE(result.finished);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out.rfind("no --address given: using the built-in simulator", 0), 0u)
        << result.out;

    for (int file = 1; file <= 3; ++file) {
        const DataShape interferogram =
            readDataShape(out + "/" + numbered("interferogram", file, row.format), row.format);
        EXPECT_EQ(interferogram.columns, row.halves);
        EXPECT_EQ(interferogram.rows, 512u);
        const DataShape spectrum =
            readDataShape(out + "/" + numbered("spectrum", file, row.format), row.format);
        // A two-direction file also holds the combined single beam of its halves.
        std::vector<std::string> spectra = row.halves;
        if (spectra.size() == 2) {
            spectra.push_back("combined");
        }
        EXPECT_EQ(spectrum.columns, spectra);
        // 512 points, zero-filled twice: a 1024-point transform, bins 0 .. 512 up to nu_L / u.
        EXPECT_EQ(spectrum.rows, 513u);
    }
    EXPECT_FALSE(fileExists(out + "/" + numbered("interferogram", 4, row.format)));
    EXPECT_TRUE(temporaryFiles(out).empty());

    const nlohmann::json summary = readJson(out + "/summary.json");
    EXPECT_EQ(summary.at("status").get<std::string>(), "complete");
    EXPECT_TRUE(summary.at("instrument").at("simulator").get<bool>());
    EXPECT_EQ(summary.at("settings").at("points").get<double>(), 512);
    EXPECT_EQ(summary.at("settings").at("points_reported").get<double>(),
              512.0 * row.halves.size());
    EXPECT_EQ(summary.at("settings").at("direction").get<double>(), row.direction);
    EXPECT_EQ(summary.at("files_saved").get<double>(), 3);
    EXPECT_EQ(summary.at("files_missed").get<double>(), 0);
    ASSERT_EQ(summary.at("files").size(), 3u);
    double previousStamp = 0.0;
    for (size_t k = 0; k < 3; ++k) {
        const nlohmann::json& file = summary.at("files").at(k);
        EXPECT_EQ(file.at("file").get<double>(), static_cast<double>(k + 1));
        EXPECT_EQ(file.at("interferogram").get<std::string>(),
                  numbered("interferogram", static_cast<int>(k + 1), row.format));
        EXPECT_GT(file.at("timestamp_ms").get<double>(), previousStamp);
        previousStamp = file.at("timestamp_ms").get<double>();
        ASSERT_EQ(file.at("halves").size(), row.halves.size());
        for (size_t half = 0; half < row.halves.size(); ++half) {
            const nlohmann::json& statistics = file.at("halves").at(half);
            EXPECT_EQ(statistics.at("half").get<std::string>(), row.halves.at(half));
            EXPECT_LE(statistics.at("min").get<double>(), statistics.at("mean").get<double>());
            EXPECT_LE(statistics.at("mean").get<double>(), statistics.at("max").get<double>());
            EXPECT_LT(statistics.at("peak_index").get<double>(), 512);
            EXPECT_NEAR(statistics.at("zpd_index").get<double>(),
                        statistics.at("peak_index").get<double>(), 0.5);
            // 1 / (longest path difference after ZPD): at least the 256 points of a half.
            const double dx = 2.0 / (2.0 * 15798.0);
            EXPECT_GT(statistics.at("resolution_cm1").get<double>(), 1.0 / (512.0 * dx));
            EXPECT_LE(statistics.at("resolution_cm1").get<double>(), 1.0 / (255.0 * dx));
            // A smooth spectrum may have no band at all; those listed come strongest first.
            const nlohmann::json& bands = statistics.at("bands");
            for (size_t band = 1; band < bands.size(); ++band) {
                EXPECT_GE(std::fabs(bands.at(band - 1).at("height").get<double>()),
                          std::fabs(bands.at(band).at("height").get<double>()));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AcquireRun,
    ::testing::Values(RunRow{"CsvBothDirections", "csv", 3, {"forward", "reverse"}},
                      RunRow{"JsonForward", "json", 1, {"forward"}},
                      RunRow{"CsvReverse", "csv", 2, {"reverse"}}),
    [](const auto& row) { return std::string(row.param.name); });

struct FaultRow {
    const char* name;
    std::string fault;
    std::string driverText;
    std::string hint;
};

void PrintTo(const FaultRow& row, std::ostream* out) {
    *out << row.fault;
}

class AcquireFault : public ::testing::TestWithParam<FaultRow> {};

TEST_P(AcquireFault, RunEndingOnAnErrorReportsTheDriversTextAndAFailedSummary) {
    const FaultRow& row = GetParam();
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    const ProcessResult result =
        runTool(withArguments(kFastRun, {"--files", "3", "--sim-fault", row.fault, "--out", out}),
                {}, scratch.path());
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 6);
    EXPECT_NE(result.err.find("the acquisition stopped on an error"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find(row.driverText), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("hint: " + row.hint), std::string::npos) << result.err;
    const nlohmann::json summary = readJson(out + "/summary.json");
    EXPECT_EQ(summary.at("status").get<std::string>(), "failed");
    EXPECT_NE(summary.at("error").get<std::string>().find(row.driverText), std::string::npos);
    EXPECT_EQ(summary.at("files_saved").get<double>(), 0);
    EXPECT_TRUE(temporaryFiles(out).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AcquireFault,
    ::testing::Values(FaultRow{"ErrorDuringScan", "scan:error:_2", "driver error 15",
                               "the instrument reported an error during the scan"},
                      FaultRow{"BlockCut", "data:close", "Not enough data was delivered",
                               "the connection to the instrument broke"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(AcquireTool, QuietRunPrintsOnlyTheFinalSummaryLine) {
    ScratchDirectory scratch;
    const ProcessResult result =
        runTool(withArguments(kFastRun, {"--files", "2", "--quiet", "--skip", "7936", "--out",
                                         scratch.path() + "/out"}),
                {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind("acquired 2 of 2 file(s)", 0), 0u) << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;
}

TEST(AcquireTool, PlotIsAPngWhenGnuplotRunsAndIsSkippedWithANoteWhenItIsMissing) {
    ScratchDirectory scratch;
    const std::string drawn = scratch.path() + "/drawn";
    const std::string skipped = scratch.path() + "/skipped";
    ProcessResult result =
        runTool(withArguments(kFastRun, {"--files", "1", "--out", drawn}), {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    if (result.out.find("plot skipped") == std::string::npos) {
        EXPECT_EQ(readFile(drawn + "/plot.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
    }
    result = runTool(withArguments(kFastRun, {"--files", "1", "--out", skipped, "--gnuplot",
                                              "/nonexistent/gnuplot"}),
                     {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("plot skipped"), std::string::npos) << result.out;
    EXPECT_FALSE(fileExists(skipped + "/plot.png"));
    EXPECT_TRUE(temporaryFiles(skipped).empty());
}

TEST(AcquireTool, CalibratedRunPlacesTheCentreBurstAtTheCalibratedOffset) {
    // The simulator's burst lies at point 8192; the calibration skips all but 256 points before
    // it, so in a 512-point run it sits at 256 whatever --points the run uses.
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    const ProcessResult result = runTool(
        withArguments(kFastRun, {"--files", "1", "--calibrate", "--direction", "1", "--out", out}),
        {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const nlohmann::json summary = readJson(out + "/summary.json");
    EXPECT_TRUE(summary.at("settings").at("calibrated").get<bool>());
    EXPECT_EQ(summary.at("settings").at("skip").get<double>(), 8192 - 256);
    EXPECT_NEAR(summary.at("files").at(0).at("halves").at(0).at("peak_index").get<double>(), 256,
                1);
}

TEST(AcquireTool, FileThatCannotBeWrittenStopsTheRunWithAnOutputError) {
    // A directory under the first file's name: the finished file cannot be renamed onto it.
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((out + "/interferogram-0001.csv").c_str(), 0755), 0);
    const ProcessResult result =
        runTool(withArguments(kFastRun, {"--files", "50", "--out", out}), {}, scratch.path());
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 7);
    EXPECT_NE(result.err.find("cannot save file 1"), std::string::npos) << result.err;
    EXPECT_LT(result.seconds, 10.0);
    EXPECT_TRUE(temporaryFiles(out).empty());
    EXPECT_EQ(readJson(out + "/summary.json").at("status").get<std::string>(), "failed");
}

TEST(AcquireTool, InvalidOptionIsAUsageErrorBeforeAnythingIsWritten) {
    ScratchDirectory scratch;
    const ProcessResult result =
        runTool({"--direction", "4", "--out", scratch.path() + "/out"}, {}, scratch.path());
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("--direction"), std::string::npos) << result.err;
    EXPECT_FALSE(fileExists(scratch.path() + "/out"));
}

struct BadSpectralOption {
    const char* name;
    std::vector<std::string> arguments;
    const char* words;  // in the complaint
};

void PrintTo(const BadSpectralOption& row, std::ostream* out) {
    *out << row.name;
}

class SpectralOption : public ::testing::TestWithParam<BadSpectralOption> {};

TEST_P(SpectralOption, OutOfRangeIsAUsageErrorBeforeAnythingIsWritten) {
    ScratchDirectory scratch;
    const ProcessResult result =
        runTool(withArguments(GetParam().arguments, {"--out", scratch.path() + "/out"}), {},
                scratch.path());
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find(GetParam().words), std::string::npos) << result.err;
    EXPECT_FALSE(fileExists(scratch.path() + "/out"));
}

INSTANTIATE_TEST_SUITE_P(
    Options, SpectralOption,
    ::testing::Values(
        BadSpectralOption{"ZeroFillThree", {"--zero-fill", "3"}, "--zero-fill"},
        BadSpectralOption{"UnknownPhase", {"--phase", "absolute"}, "--phase"},
        BadSpectralOption{"UnknownWindow", {"--apodization", "hann"}, "--apodization"},
        BadSpectralOption{"UndersamplingZero", {"--undersampling", "0"}, "--undersampling"},
        BadSpectralOption{"NegativeLaser", {"--laser-wavenumber", "-5"}, "--laser-wavenumber"},
        BadSpectralOption{"RangeReversed", {"--range", "3000:2000"}, "LOW < HIGH"},
        BadSpectralOption{"RangeWithoutColon", {"--range", "3000"}, "LOW:HIGH"},
        BadSpectralOption{"RangeNotNumbers", {"--range", "a:b"}, "two numbers"},
        BadSpectralOption{"RangeAboveTheAxis", {"--range", "9000:"}, "above the highest"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(AcquireTool, SpectrumFileKeepsTheRangeOnTheWavenumberAxisOfItsSettings) {
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    const ProcessResult result =
        runTool(withArguments(kFastRun, {"--files", "1", "--direction", "1", "--range", "1000:3000",
                                         "--zero-fill", "4", "--phase", "magnitude",
                                         "--undersampling", "4", "--out", out}),
                {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    CsvFile spectrum;
    std::string error;
    ASSERT_TRUE(readCsv(out + "/spectrum-0001.csv", &spectrum, &error)) << error;
    ASSERT_EQ(spectrum.columns, (std::vector<std::string>{"wavenumber", "forward"}));
    EXPECT_EQ(spectrum.header["phase"], "magnitude");
    EXPECT_EQ(spectrum.header["wavenumber_unit"], "cm^-1");
    EXPECT_EQ(spectrum.header["transform_length"], "2048");
    // 2048-point transform at dx = 4 / (2 x 15798) cm: bins 15798 / 4096 cm^-1 apart.
    const double step = 15798.0 / 4096.0;
    ASSERT_GT(spectrum.rows.size(), 2u);
    EXPECT_GE(spectrum.rows.front()[0], 1000.0);
    EXPECT_LT(spectrum.rows.front()[0], 1000.0 + step);
    EXPECT_LE(spectrum.rows.back()[0], 3000.0);
    EXPECT_GT(spectrum.rows.back()[0], 3000.0 - step);
    EXPECT_NEAR(spectrum.rows[1][0] - spectrum.rows[0][0], step, 1e-9);
    for (const std::vector<double>& row : spectrum.rows) {
        EXPECT_GE(row[1], 0.0);  // a magnitude
    }
    const nlohmann::json summary = readJson(out + "/summary.json");
    EXPECT_EQ(summary.at("settings").at("undersampling").get<double>(), 4);
    EXPECT_EQ(summary.at("settings").at("zero_fill").get<double>(), 4);
    EXPECT_EQ(summary.at("settings").at("range_high").get<double>(), 3000);
}

TEST(AcquireTool, SimulatorAbsorptionLinesAreTheStrongestBandsAtTheirWavenumbers) {
    // The built-in simulator takes the tool's laser and undersampling, so its lines must land
    // where they were put on the tool's axis, here with undersampling 3.
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    const ProcessResult result =
        runTool({"--points", "4096", "--scans", "4", "--sim-scan-ms", "100", "--files", "1",
                 "--calibrate", "--no-plot", "--undersampling", "3", "--sim-absorber",
                 "2150.25:6:0.8", "--sim-absorber", "1401.5:6:0.5", "--out", out},
                {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const nlohmann::json summary = readJson(out + "/summary.json");
    for (size_t half = 0; half < 2; ++half) {
        const nlohmann::json& statistics = summary.at("files").at(0).at("halves").at(half);
        const double resolution = statistics.at("resolution_cm1").get<double>();
        const nlohmann::json& bands = statistics.at("bands");
        ASSERT_GE(bands.size(), 2u);
        EXPECT_NEAR(bands.at(0).at("wavenumber").get<double>(), 2150.25, 0.1 * resolution);
        EXPECT_NEAR(bands.at(1).at("wavenumber").get<double>(), 1401.5, 0.1 * resolution);
        EXPECT_LT(bands.at(0).at("height").get<double>(), 0.0);  // absorption
        EXPECT_LT(bands.at(1).at("height").get<double>(), 0.0);
    }
}

TEST(AcquireTool, MalformedSimulatorAbsorberIsAUsageError) {
    ScratchDirectory scratch;
    const ProcessResult result =
        runTool({"--sim-absorber", "2150", "--out", scratch.path() + "/out"}, {}, scratch.path());
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("--sim-absorber 2150"), std::string::npos) << result.err;
}

// A listener that never accepts, its queue filled: a further connect to it stays pending.
class SilentListener {
  public:
    SilentListener() : listener_(0) {
        const sockaddr_in address = ostrel::testing::loopbackAddress(listener_.port());
        for (int& filler : fillers_) {
            filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        }
    }
    ~SilentListener() {
        for (const int filler : fillers_) {
            close(filler);
        }
    }
    uint16_t port() const { return listener_.port(); }

  private:
    ostrel::testing::Listener listener_;
    int fillers_[2] = {-1, -1};
};

struct UnreachableRow {
    const char* name;
    std::string address;
    bool silent;  // ports of a listener that never accepts, else of a port nobody listens on
    std::string driverText;
    std::string hint;
};

void PrintTo(const UnreachableRow& row, std::ostream* out) {
    *out << row.name;
}

class AcquireUnreachable : public ::testing::TestWithParam<UnreachableRow> {};

TEST_P(AcquireUnreachable, ExitsNonZeroWithTheDriversTextAndAHintAndWritesNothing) {
    const UnreachableRow& row = GetParam();
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    const SilentListener listener;
    const std::string port =
        std::to_string(row.silent ? listener.port() : ostrel::testing::unusedPort());
    const ProcessResult result =
        runTool({"--address", row.address, "--points", "512", "--out", out},
                {{"OSTRELTCP_COMMAND_PORT", port},
                 {"OSTRELTCP_DATA_PORT", port},
                 {"OSTRELTCP_REBOOT_PORT", port}},
                scratch.path());
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_NE(result.err.find("cannot connect to the instrument at " + row.address),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find(row.driverText), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("hint: " + row.hint), std::string::npos) << result.err;
    EXPECT_FALSE(fileExists(out)) << "the output directory was left behind";
    EXPECT_LT(result.seconds, 5.0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AcquireUnreachable,
    ::testing::Values(UnreachableRow{"NothingListens", "127.0.0.1", false, "winerror 10061",
                                     "nothing accepts connections there"},
                      UnreachableRow{"NeverAnswers", "127.0.0.1", true,
                                     "Could not connect to a socket",
                                     "the connection was not established within 2 s"},
                      UnreachableRow{"NotAnAddress", "spectrometer.local", false, "WIL_BAD_DOTTED",
                                     "give the instrument's IPv4 address in dotted form"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(AcquireTool, ExistingOutputDirectoryIsKeptWhenTheInstrumentIsUnreachable) {
    ScratchDirectory scratch;
    const std::string port = std::to_string(ostrel::testing::unusedPort());
    const ProcessResult result =
        runTool({"--address", "127.0.0.1", "--out", scratch.path()},
                {{"OSTRELTCP_COMMAND_PORT", port}, {"OSTRELTCP_DATA_PORT", port}}, scratch.path());
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_TRUE(fileExists(scratch.path()));
    for (const std::string& name : directoryEntries(scratch.path())) {
        EXPECT_TRUE(name == "stdout.txt" || name == "stderr.txt") << name;
    }
}

TEST(AcquireInterrupt, CtrlCStopsWithinSecondsAndLeavesOnlyCompleteFiles) {
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    // About 0.2 s per file: the run would take minutes without the interrupt.
    ToolProcess tool({"--points", "1024", "--scans", "4", "--files", "1000", "--sim-scan-ms", "800",
                      "--out", out},
                     {}, scratch.path());
    ASSERT_TRUE(tool.started());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fileExists(out + "/interferogram-0002.csv") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(fileExists(out + "/interferogram-0002.csv"));
    const auto interrupted = std::chrono::steady_clock::now();
    tool.signal(SIGINT);
    const ProcessResult result = tool.wait(10000);
    const double stopSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - interrupted).count();
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 130) << result.err;
    EXPECT_LT(stopSeconds, 3.0);
    EXPECT_NE(result.out.find("interrupted: stopping the run"), std::string::npos);
    EXPECT_TRUE(temporaryFiles(out).empty());

    const nlohmann::json summary = readJson(out + "/summary.json");
    EXPECT_EQ(summary.at("status").get<std::string>(), "interrupted");
    const size_t saved = static_cast<size_t>(summary.at("files_saved").get<double>());
    EXPECT_GE(saved, 2u);
    EXPECT_LT(saved, 1000u);
    for (size_t file = 1; file <= saved; ++file) {
        for (const char* stem : {"interferogram", "spectrum"}) {
            CsvFile data;
            std::string error;
            EXPECT_TRUE(
                readCsv(out + "/" + numbered(stem, static_cast<int>(file), "csv"), &data, &error))
                << error;
            // 1024 points, zero-filled twice: bins 0 .. 1024 of a 2048-point transform.
            EXPECT_EQ(data.rows.size(), stem[0] == 'i' ? 1024u : 1025u);
        }
    }
    EXPECT_FALSE(
        fileExists(out + "/" + numbered("interferogram", static_cast<int>(saved) + 1, "csv")));
}

}  // namespace
}  // namespace ostrel::acquire::testing
