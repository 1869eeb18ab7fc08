#include "outputs/spectrum_outputs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "outputs/jcamp_reader.h"
#include "tool_harness.h"

namespace ostrel::session {
namespace {

using ostrel::acquire::testing::ArchiveReader;
using ostrel::acquire::testing::ScratchDirectory;

SpectrumOutputSettings settingsFor(const std::string& directory, bool withBackground) {
    SpectrumOutputSettings settings;
    settings.directory = directory;
    settings.formats.csv = false;
    settings.formats.jcamp = true;
    settings.formats.hdf5 = true;
    settings.halves = {"forward", "reverse"};
    settings.axis.points = 16;
    settings.axis.apodization = "happ-genzel";
    settings.axis.phaseCorrection = "mertz";
    settings.axis.firstWavenumber = 100.0;
    settings.axis.wavenumberStep = 10.0;
    settings.axis.count = 5;
    settings.scans = 3;
    settings.origin = "127.0.0.1";
    settings.hasBackground = withBackground;
    if (withBackground) {
        // The first point of each half is too weak to divide by.
        settings.background.halves = {{0.001, 2, 2, 2, 2}, {0.001, 4, 4, 4, 4}};
        settings.background.sources = {"a", "b"};
    }
    return settings;
}

// Two files with spectra around one without: the mean is of the two, the archive holds all three
// with not-a-number for the one without, and only the two have JCAMP-DX files.
TEST(SpectrumOutputs, AFileWithoutASpectrumIsArchivedButLeftOutOfTheMean) {
    ScratchDirectory scratch;
    SpectrumOutputs outputs(settingsFor(scratch.path(), true));
    std::string error;
    ASSERT_TRUE(outputs.start(&error)) << error;
    const std::vector<double> interferograms(32, 1.0);
    const std::vector<double> forward1 = {1, 1, 1, 1, 1};
    const std::vector<double> reverse1 = {2, 2, 2, 2, 2};
    const std::vector<double> forward3 = {3, 3, 3, 3, 3};
    const std::vector<double> reverse3 = {4, 4, 4, 4, 4};
    std::vector<std::string> names;
    ASSERT_TRUE(
        outputs.add({1, 1000.0, interferograms.data(), {&forward1, &reverse1}, {}}, &names, &error))
        << error;
    ASSERT_TRUE(outputs.add({2, 2000.0, interferograms.data(), {}, {}}, &names, &error)) << error;
    ASSERT_TRUE(
        outputs.add({3, 3000.0, interferograms.data(), {&forward3, &reverse3}, {}}, &names, &error))
        << error;
    ASSERT_TRUE(outputs.finish(&error)) << error;
    EXPECT_EQ(outputs.filesAdded(), 2u);

    EXPECT_TRUE(
        ostrel::acquire::testing::fileExists(scratch.path() + "/absorbance-0003-reverse.jdx"));
    EXPECT_FALSE(
        ostrel::acquire::testing::fileExists(scratch.path() + "/single-beam-0002-forward.jdx"));
    JcampData mean;
    ASSERT_TRUE(readJcampFile(scratch.path() + "/mean-single-beam-forward.jdx", &mean, &error))
        << error;
    for (const double value : mean.y) {
        EXPECT_NEAR(value, 2.0, 1e-8);
    }
    // The absorbance file starts where the background is strong enough.
    JcampData absorbance;
    ASSERT_TRUE(readJcampFile(scratch.path() + "/absorbance-0001-forward.jdx", &absorbance, &error))
        << error;
    EXPECT_DOUBLE_EQ(absorbance.firstX, 110.0);
    ASSERT_EQ(absorbance.y.size(), 4u);
    EXPECT_NEAR(absorbance.y[0], -std::log10(0.5), 1e-9);

    ArchiveReader archive(scratch.path() + "/run.h5");
    ASSERT_TRUE(archive.opened());
    const std::vector<double> beams = archive.doubles("single_beam");
    ASSERT_EQ(beams.size(), 3u * 2 * 5);
    EXPECT_TRUE(std::all_of(beams.begin() + 10, beams.begin() + 20,
                            [](double value) { return std::isnan(value); }));
    EXPECT_EQ(beams[20], 3.0);
    EXPECT_EQ(archive.doubles("mean_single_beam")[5], 3.0);  // reverse: (2 + 4) / 2
}

TEST(SpectrumOutputs, FilesOfTheWrongLengthAreRefused) {
    ScratchDirectory scratch;
    SpectrumOutputs outputs(settingsFor(scratch.path(), false));
    std::string error;
    ASSERT_TRUE(outputs.start(&error)) << error;
    const std::vector<double> interferograms(32, 1.0);
    const std::vector<double> shortBeam = {1, 2, 3};
    std::vector<std::string> names;
    EXPECT_FALSE(
        outputs.add({7, 0.0, interferograms.data(), {&shortBeam, &shortBeam}, {}}, &names, &error));
    EXPECT_NE(error.find("file 7 has a single beam of 3 points"), std::string::npos) << error;
}

}  // namespace
}  // namespace ostrel::session
