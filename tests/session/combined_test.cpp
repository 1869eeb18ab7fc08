// One spectrum per file from both directions, checked against what it must be: the mean of the
// halves' single beams, the simulator's absorber at its place, the noise of two independent
// halves averaged, and a failed half left out.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "ostrel_session/reprocess.h"
#include "ostrel_session/session.h"
#include "pipeline/combined_beam.h"
#include "session_harness.h"
#include "tool_harness.h"

namespace ostrel::session::testing {
namespace {

using acquire::testing::CsvFile;
using acquire::testing::fileExists;
using acquire::testing::readCsv;
using acquire::testing::readFile;
using acquire::testing::readJsonFile;
using acquire::testing::ScratchDirectory;

// Runs `files` files of 1024 points with the burst 256 points into the forward half (where a
// calibration puts it) and collects every file event.
std::vector<std::shared_ptr<const FileEvent>> takeFiles(const std::string& directory, int files,
                                                        std::vector<std::string> absorbers = {}) {
    // 1024 points take 20 ms a scan here: slow enough that no file is missed under a sanitizer.
    SessionConfig config = quickConfig("", 80.0);
    config.simulator.absorbers = std::move(absorbers);
    Session session(config);
    auto observer = std::make_shared<RecordingObserver>();
    session.addObserver(observer);
    Settings settings = smallSettings();
    settings.acquisition.points = 1024;
    settings.acquisition.skip = 7936;
    settings.acquisition.scans = 1;
    EXPECT_TRUE(session.applySettings(settings).ok());
    EXPECT_TRUE(session.connect("").ok());
    RunRequest request;
    request.files = files;
    request.directory = directory;
    EXPECT_TRUE(session.startRun(request).ok());
    EXPECT_TRUE(session.waitForRun(60000));
    EXPECT_TRUE(session.flushEvents());
    EXPECT_EQ(session.lastRunEnd().status, "complete");
    return observer->files;
}

TEST(CombinedSpectrum, IsTheMeanOfTheHalvesSingleBeamsInEveryFormat) {
    ScratchDirectory scratch;
    const std::string run = scratch.path() + "/run";
    takeFiles(run, 2);
    CsvFile spectrum;
    std::string error;
    ASSERT_TRUE(readCsv(run + "/spectrum-0002.csv", &spectrum, &error)) << error;
    ASSERT_EQ(spectrum.columns,
              (std::vector<std::string>{"wavenumber", "forward", "reverse", "combined"}));
    for (const std::vector<double>& row : spectrum.rows) {
        EXPECT_NEAR(row[3], 0.5 * (row[1] + row[2]), 1e-15 * (std::fabs(row[1]) + 1.0));
    }
    EXPECT_TRUE(fileExists(run + "/single-beam-0002-combined.jdx"));
    EXPECT_TRUE(fileExists(run + "/mean-single-beam-combined.jdx"));
    nlohmann::json summary;
    ASSERT_TRUE(readJsonFile(run + "/summary.json", &summary, &error)) << error;
    const nlohmann::json& combined = summary["files"][1]["combined"];
    EXPECT_EQ(combined["halves_used"], "both");
    EXPECT_LT(combined["disagreement"].get<double>(), kHalvesDisagreementLimit);
    EXPECT_FALSE(combined.contains("note"));
}

TEST(CombinedSpectrum, ItsAbsorbanceShowsTheSimulatorsAbsorberAtItsPlace) {
    ScratchDirectory scratch;
    takeFiles(scratch.path() + "/background", 2);
    SessionConfig config = quickConfig("", 80.0);
    config.simulator.absorbers = {"2150:20:0.5"};
    Session session(config);
    auto observer = std::make_shared<RecordingObserver>();
    session.addObserver(observer);
    Settings settings = smallSettings();
    settings.acquisition.points = 1024;
    settings.acquisition.skip = 7936;
    ASSERT_TRUE(session.applySettings(settings).ok());
    ASSERT_TRUE(session.setBackground({scratch.path() + "/background"}).ok());
    ASSERT_TRUE(session.connect("").ok());
    RunRequest sample;
    sample.kind = RunKind::Sample;
    sample.files = 2;
    sample.directory = scratch.path() + "/sample";
    ASSERT_TRUE(session.startRun(sample).ok());
    ASSERT_TRUE(session.waitForRun(60000));
    ASSERT_TRUE(session.flushEvents());
    ASSERT_EQ(observer->files.size(), 2u);
    for (const auto& file : observer->files) {
        ASSERT_FALSE(file->combinedAbsorbance.empty());
        double inBand = 0.0;
        double outside = 0.0;
        for (size_t k = 0; k < file->combinedAbsorbance.size(); ++k) {
            const double wavenumber = file->combined.wavenumber(k);
            const double value = file->combinedAbsorbance[k];
            if (!std::isfinite(value)) {
                continue;
            }
            if (std::fabs(wavenumber - 2150.0) < 40.0) {
                inBand = std::max(inBand, value);
            } else if (wavenumber > 2800.0 && wavenumber < 4000.0) {
                outside = std::max(outside, std::fabs(value));
            }
        }
        // A band far wider than the resolution keeps nearly its peak absorbance.
        EXPECT_GT(inBand, 0.4);
        EXPECT_LT(outside, 0.05);
    }
    EXPECT_TRUE(fileExists(scratch.path() + "/sample/absorbance-0002-combined.jdx"));
}

// Noise: each half's noise is its own, so their mean has 1/sqrt(2) of it. Measured as the spread
// of each bin over many files of the same instrument (the signal is the same in every file).
TEST(CombinedSpectrum, ItsNoiseIsASingleHalfsOverTheSquareRootOfTwo) {
    ScratchDirectory scratch;
    const std::vector<std::shared_ptr<const FileEvent>> files =
        takeFiles(scratch.path() + "/run", 24);
    ASSERT_GE(files.size(), 20u);
    const size_t bins = files[0]->combined.values.size();
    double halfVariance = 0.0;
    double combinedVariance = 0.0;
    size_t used = 0;
    for (size_t k = 0; k < bins; ++k) {
        const double wavenumber = files[0]->combined.wavenumber(k);
        if (wavenumber < 1000.0 || wavenumber > 5000.0) {
            continue;
        }
        double sums[3] = {0.0, 0.0, 0.0};
        double squares[3] = {0.0, 0.0, 0.0};
        for (const auto& file : files) {
            const double values[3] = {file->spectra[0].values[k], file->spectra[1].values[k],
                                      file->combined.values[k]};
            for (int which = 0; which < 3; ++which) {
                sums[which] += values[which];
                squares[which] += values[which] * values[which];
            }
        }
        const double n = static_cast<double>(files.size());
        double variance[3];
        for (int which = 0; which < 3; ++which) {
            variance[which] = (squares[which] - sums[which] * sums[which] / n) / (n - 1.0);
        }
        halfVariance += 0.5 * (variance[0] + variance[1]);
        combinedVariance += variance[2];
        ++used;
    }
    ASSERT_GT(used, 100u);
    const double ratio = std::sqrt(combinedVariance / halfVariance);
    std::printf("noise of the combined spectrum / noise of one half: %.3f (1/sqrt(2) = 0.707)\n",
                ratio);
    EXPECT_NEAR(ratio, 1.0 / std::sqrt(2.0), 0.1 / std::sqrt(2.0));
}

TEST(CombinedSpectrum, AHalfThatFailsItsGatesIsLeftOutAndTheFileSaysSo) {
    ScratchDirectory scratch;
    const std::string run = scratch.path() + "/run";
    takeFiles(run, 1);
    // The reverse half loses its centre burst: every value becomes its record's last value, as a
    // detector that stopped seeing the beam would give.
    CsvFile interferogram;
    std::string error;
    ASSERT_TRUE(readCsv(run + "/interferogram-0001.csv", &interferogram, &error)) << error;
    std::istringstream text(readFile(run + "/interferogram-0001.csv"));
    std::ostringstream changed;
    std::string line;
    size_t row = 0;
    while (std::getline(text, line)) {
        if (!line.empty() && line[0] != '#' && line.rfind("index", 0) != 0) {
            const double flat = interferogram.rows.back()[2] + (row % 2 == 0 ? 0.5 : -0.5);
            line = line.substr(0, line.rfind(',') + 1) + std::to_string(flat);
            ++row;
        }
        changed << line << "\n";
    }
    std::ofstream(run + "/interferogram-0001.csv", std::ios::trunc) << changed.str();

    ReprocessRequest request;
    request.runDirectory = run;
    request.outputDirectory = scratch.path() + "/again";
    request.plot = false;
    ASSERT_TRUE(reprocessRun(request).ok());
    CsvFile spectrum;
    ASSERT_TRUE(readCsv(request.outputDirectory + "/spectrum-0001.csv", &spectrum, &error))
        << error;
    for (const std::vector<double>& values : spectrum.rows) {
        EXPECT_EQ(values[3], values[1]);  // the forward half alone
    }
    nlohmann::json summary;
    ASSERT_TRUE(readJsonFile(request.outputDirectory + "/summary.json", &summary, &error));
    const nlohmann::json& combined = summary["files"][0]["combined"];
    EXPECT_EQ(combined["halves_used"], "forward");
    EXPECT_NE(combined["note"].get<std::string>().find("reverse half failed"), std::string::npos);
    const std::string jcamp = readFile(request.outputDirectory + "/single-beam-0001-combined.jdx");
    EXPECT_NE(jcamp.find("##$HALVES USED=forward"), std::string::npos);
    EXPECT_NE(jcamp.find("##$COMBINED NOTE=the reverse half failed"), std::string::npos);
}

}  // namespace
}  // namespace ostrel::session::testing
