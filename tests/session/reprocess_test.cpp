// Reprocessing a stored run: the same settings give the same spectra to the last bit, from the
// archive and from the CSV files alike; other settings give what the spectral library makes of
// the same interferograms; a run that cannot be reprocessed is refused naming the file.
#include "ostrel_session/reprocess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "ostrel_session/session.h"
#include "ostrel_spectra/spectra.h"
#include "session_harness.h"
#include "tool_harness.h"

namespace ostrel::session::testing {
namespace {

using acquire::testing::CsvFile;
using acquire::testing::fileExists;
using acquire::testing::readCsv;
using acquire::testing::readFile;
using acquire::testing::ScratchDirectory;

// A two-file run of the simulator into `directory`, in the formats given.
void takeRun(const std::string& directory, const std::string& formats) {
    Session session(quickConfig(""));
    Settings settings = smallSettings();
    std::string error;
    ASSERT_TRUE(parseOutputFormats(formats, &settings.outputs.formats, &error)) << error;
    ASSERT_TRUE(session.applySettings(settings).ok());
    ASSERT_TRUE(session.connect("").ok());
    RunRequest request;
    request.files = 2;
    request.directory = directory;
    ASSERT_TRUE(session.startRun(request).ok());
    ASSERT_TRUE(session.waitForRun(30000));
    ASSERT_EQ(session.lastRunEnd().status, "complete") << session.lastRunEnd().error;
}

class ReprocessSources : public ::testing::TestWithParam<const char*> {};

TEST_P(ReprocessSources, WithTheRunsOwnSettingsTheSpectraAreTheSameToTheLastBit) {
    ScratchDirectory scratch;
    const std::string run = scratch.path() + "/run";
    takeRun(run, GetParam());
    ReprocessRequest request;
    request.runDirectory = run;
    request.outputDirectory = scratch.path() + "/again";
    request.plot = false;
    const Result result = reprocessRun(request);
    ASSERT_TRUE(result.ok()) << result.message;
    for (const char* name : {"spectrum-0001.csv", "spectrum-0002.csv", "interferogram-0002.csv",
                             "single-beam-0002-reverse.jdx", "mean-single-beam-forward.jdx"}) {
        if (!fileExists(run + "/" + name)) {
            continue;  // not in this run's formats
        }
        EXPECT_EQ(readFile(request.outputDirectory + "/" + name), readFile(run + "/" + name))
            << name;
    }
    EXPECT_TRUE(fileExists(request.outputDirectory + "/summary.json"));
    EXPECT_FALSE(fileExists(request.outputDirectory + "/files.jsonl"));
}

INSTANTIATE_TEST_SUITE_P(FromArchiveAndFromCsv, ReprocessSources,
                         ::testing::Values("csv,jcamp,hdf5", "csv,jcamp"));

TEST(Reprocess, AnotherApodizationAgreesWithTheSpectralLibraryOnTheSameInterferograms) {
    ScratchDirectory scratch;
    const std::string run = scratch.path() + "/run";
    takeRun(run, "csv,hdf5");
    ReprocessRequest request;
    request.runDirectory = run;
    request.outputDirectory = scratch.path() + "/boxcar";
    request.apodization = ostrel::spectra::Apodization::Boxcar;
    request.zeroFill = 4;
    request.plot = false;
    ASSERT_TRUE(reprocessRun(request).ok());

    CsvFile interferogram;
    CsvFile spectrum;
    std::string error;
    ASSERT_TRUE(readCsv(run + "/interferogram-0002.csv", &interferogram, &error)) << error;
    ASSERT_TRUE(readCsv(request.outputDirectory + "/spectrum-0002.csv", &spectrum, &error))
        << error;
    EXPECT_EQ(spectrum.header.at("apodization"), "boxcar");
    ostrel::spectra::Settings settings;
    settings.apodization = ostrel::spectra::Apodization::Boxcar;
    settings.zeroFill = 4;
    ostrel::spectra::Processor processor(settings);
    for (size_t half = 0; half < 2; ++half) {
        std::vector<double> curve;
        for (const std::vector<double>& row : interferogram.rows) {
            curve.push_back(row[1 + half]);
        }
        ostrel::spectra::Spectrum expected;
        ASSERT_TRUE(processor.process(curve.data(), curve.size(), &expected, &error)) << error;
        ASSERT_EQ(spectrum.rows.size(), expected.values.size());
        for (size_t k = 0; k < expected.values.size(); ++k) {
            ASSERT_EQ(spectrum.rows[k][1 + half], expected.values[k]) << half << " " << k;
        }
    }
}

TEST(Reprocess, ARunWithoutInterferogramsOrWithAShortFileIsRefusedNamingIt) {
    ScratchDirectory scratch;
    const std::string spectraOnly = scratch.path() + "/jcamp-only";
    takeRun(spectraOnly, "jcamp");
    ReprocessRequest request;
    request.runDirectory = spectraOnly;
    request.outputDirectory = scratch.path() + "/out1";
    Result result = reprocessRun(request);
    EXPECT_EQ(result.failure, Failure::Usage);
    EXPECT_NE(result.message.find("holds no interferograms"), std::string::npos) << result.message;
    EXPECT_FALSE(fileExists(request.outputDirectory));

    const std::string csv = scratch.path() + "/csv";
    takeRun(csv, "csv");
    // The second file loses its last rows, as a copy cut short would.
    const std::string path = csv + "/interferogram-0002.csv";
    std::string text = readFile(path);
    text.resize(text.size() - 200);
    text.resize(text.rfind('\n') + 1);
    std::ofstream(path, std::ios::trunc) << text;
    request.runDirectory = csv;
    request.outputDirectory = scratch.path() + "/out2";
    result = reprocessRun(request);
    EXPECT_NE(result.failure, Failure::None);
    EXPECT_NE(result.message.find("interferogram-0002.csv"), std::string::npos) << result.message;

    request.outputDirectory = csv;
    EXPECT_EQ(reprocessRun(request).failure, Failure::Usage);  // would overwrite the run
}

TEST(ReprocessCommand, TheCommandLineWritesTheNewSpectraAndSaysSo) {
    ScratchDirectory scratch;
    const std::string run = scratch.path() + "/run";
    takeRun(run, "csv,hdf5");
    const acquire::testing::ProcessResult result = acquire::testing::runTool(
        {"reprocess", run, "--out", scratch.path() + "/again", "--phase", "magnitude", "--no-plot"},
        {}, scratch.path());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("reprocessed 2 of 2 file(s)"), std::string::npos) << result.out;
    CsvFile spectrum;
    std::string error;
    ASSERT_TRUE(readCsv(scratch.path() + "/again/spectrum-0001.csv", &spectrum, &error)) << error;
    EXPECT_EQ(spectrum.header.at("phase"), "magnitude");
    EXPECT_EQ(spectrum.header.at("apodization"), "happ-genzel");  // the run's own

    const acquire::testing::ProcessResult missing = acquire::testing::runTool(
        {"reprocess", scratch.path(), "--out", scratch.path() + "/x"}, {}, scratch.path());
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("summary.json"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace ostrel::session::testing
