#include "outputs/background.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "ostrel_session/formats.h"
#include "outputs/jcamp_reader.h"
#include "outputs/jcamp_writer.h"
#include "outputs/spectrum_axis.h"
#include "tool_harness.h"

namespace ostrel::session {
namespace {

using ostrel::acquire::testing::ScratchDirectory;

TEST(OutputFormats, ListsParseAndWrongListsSayWhy) {
    struct Row {
        const char* text;
        bool ok;
        const char* canonical;  // or the reason
    };
    const Row rows[] = {
        {"csv,jcamp", true, "csv,jcamp"},
        {"hdf5,csv", true, "csv,hdf5"},
        {"csv,json,jcamp,hdf5", true, "csv,json,jcamp,hdf5"},
        {"jcamp", true, "jcamp"},
        {"csv,csv", false, "twice"},
        {"xml", false, "unknown format \"xml\""},
        {"", false, "unknown format"},
        {"csv,", false, "unknown format"},
        {"CSV", false, "unknown format"},
    };
    for (const Row& row : rows) {
        OutputFormats formats;
        std::string error;
        EXPECT_EQ(parseOutputFormats(row.text, &formats, &error), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(outputFormatsText(formats), row.canonical);
        } else {
            EXPECT_NE(error.find(row.canonical), std::string::npos) << row.text << ": " << error;
        }
    }
    EXPECT_EQ(outputFormatsText(OutputFormats{}), "csv,jcamp");  // the default
}

// Compressed tables written out by hand: DIF, DUP, the check value after a difference, and a
// negative SQZ start.
TEST(JcampReader, CompressedTablesDecodeToTheirKnownValues) {
    const std::string head =
        "##TITLE=t\n##JCAMP-DX=4.24\n##XUNITS=1/CM\n##YUNITS=ARBITRARY UNITS\n##FIRSTX=10\n"
        "##LASTX=15\n##XFACTOR=1\n##YFACTOR=0.5\n##NPOINTS=6\n##XYDATA=(X++(Y..Y))\n";
    JcampData data;
    std::string error;
    ASSERT_TRUE(parseJcamp(head + "10@J%T\n13A%j\n15@\n##END=\n", &data, &error)) << error;
    EXPECT_EQ(data.y, (std::vector<double>{0, 0.5, 0.5, 0.5, 0.5, 0}));
    EXPECT_DOUBLE_EQ(data.firstX, 10.0);
    EXPECT_DOUBLE_EQ(data.deltaX, 1.0);

    ASSERT_TRUE(parseJcamp(head + "10 -4 -3 2\n13 +7 8 9\n##END=\n", &data, &error)) << error;
    EXPECT_EQ(data.y, (std::vector<double>{-2, -1.5, 1, 3.5, 4, 4.5}));

    ASSERT_TRUE(parseJcamp(head + "10d5J0%V\n##END=\n", &data, &error)) << error;
    EXPECT_EQ(data.y, (std::vector<double>{-22.5, -17.5, -17.5, -17.5, -17.5, -17.5}));
}

TEST(JcampReader, DamagedFilesAreRefusedWithTheReason) {
    const std::string head =
        "##TITLE=t\n##FIRSTX=10\n##LASTX=13\n##YFACTOR=1\n##NPOINTS=4\n##XYDATA=(X++(Y..Y))\n";
    auto hugeCount = [](const std::string& points) {
        return "##TITLE=t\n##FIRSTX=10\n##LASTX=13\n##YFACTOR=1\n##NPOINTS=" + points +
               "\n##XYDATA=(X++(Y..Y))\n10 1 2 3 4\n##END=\n";
    };
    const struct {
        const char* what;
        std::string text;
        const char* reason;
    } cases[] = {
        {"check value differs", head + "10@JJ\n12C1\n##END=\n", "ordinate check"},
        {"too few points", head + "10 1 2 3\n##END=\n", "holds 3 points"},
        {"too many points", head + "10 1 2 3 4 5\n##END=\n", "holds 5 points"},
        {"foreign characters", head + "10 1 2 ! 3\n##END=\n", "cannot be read"},
        {"no end", head + "10 1 2 3 4\n", "not a complete"},
        {"repeat of nothing", head + "10T 1 2\n##END=\n", "repeats nothing"},
        {"difference first", head + "10J 1 2\n##END=\n", "starts with a difference"},
        {"no NPOINTS",
         "##TITLE=t\n##FIRSTX=1\n##LASTX=2\n##YFACTOR=1\n##XYDATA=(X++(Y..Y))\n"
         "1 1 2\n##END=\n",
         "NPOINTS"},
        // Counts beyond size_t's range (converting them is undefined behaviour), negative or
        // fractional ones, and repeat counts far past the table's end.
        {"huge NPOINTS", hugeCount("1e300"), "NPOINTS is not a count"},
        {"NPOINTS past size_t", hugeCount("18446744073709551616"), "NPOINTS is not a count"},
        {"negative NPOINTS", hugeCount("-4"), "NPOINTS is not a count"},
        {"fractional NPOINTS", hugeCount("3.5"), "NPOINTS is not a count"},
        {"NPOINTS over the limit", hugeCount("100000001"), "NPOINTS is not a count"},
        {"huge repeat count", head + "10 1S99999999999999999999999\n##END=\n", "more often"},
        {"repeat past the points", head + "10 1Z\n##END=\n", "more often"},
        {"fractional repeat count", head + "10 1T.5 2\n##END=\n", "more often"},
    };
    for (const auto& testCase : cases) {
        JcampData data;
        std::string error;
        EXPECT_FALSE(parseJcamp(testCase.text, &data, &error)) << testCase.what;
        EXPECT_NE(error.find(testCase.reason), std::string::npos) << testCase.what << ": " << error;
    }
}

SpectrumAxis axisOf(const ostrel::spectra::Settings& settings, size_t points = 1024) {
    SpectrumAxis axis;
    std::string error;
    EXPECT_TRUE(spectrumAxisFor(points, settings, &axis, &error)) << error;
    return axis;
}

ostrel::spectra::Settings with(void (*change)(ostrel::spectra::Settings&)) {
    ostrel::spectra::Settings settings;
    change(settings);
    return settings;
}

std::vector<double> sourceLike(size_t count) {
    std::vector<double> values(count);
    for (size_t index = 0; index < count; ++index) {
        const double x = static_cast<double>(index) / static_cast<double>(count);
        values[index] = x > 0.1 && x < 0.7 ? 1.0e4 * std::sin((x - 0.1) / 0.6 * M_PI) : 1.0e-3;
    }
    return values;
}

// Writes a single beam the way a run does, with the labels of `axis` and `half`.
std::string writeSingleBeam(const std::string& directory, const std::string& name,
                            const SpectrumAxis& axis, const std::string& half,
                            const std::vector<double>& values, JcampForm form,
                            JcampYUnits units = JcampYUnits::ArbitraryUnits) {
    JcampSpectrum spectrum;
    spectrum.title = name;
    spectrum.yUnits = units;
    spectrum.firstX = axis.firstWavenumber;
    spectrum.deltaX = axis.wavenumberStep;
    spectrum.y = values.data();
    spectrum.count = values.size();
    spectrum.userLabels = axisLabels(axis, half);
    std::string text;
    std::string error;
    EXPECT_TRUE(formatJcamp(spectrum, form, &text, &error)) << error;
    const std::string path = directory + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "w");
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    return path;
}

TEST(Background, ADirectoryGivesEachHalfItsMeanSingleBeamAsWritten) {
    ScratchDirectory scratch;
    const SpectrumAxis axis = axisOf({});
    const std::vector<double> forward = sourceLike(axis.count);
    std::vector<double> reverse = forward;
    for (double& value : reverse) {
        value *= 0.75;
    }
    writeSingleBeam(scratch.path(), meanSingleBeamName("forward"), axis, "forward", forward,
                    JcampForm::Affn);
    writeSingleBeam(scratch.path(), meanSingleBeamName("reverse"), axis, "reverse", reverse,
                    JcampForm::Difdup);
    Background background;
    std::string error;
    ASSERT_TRUE(loadBackground({scratch.path()}, {"forward", "reverse"}, axis, &background, &error))
        << error;
    ASSERT_EQ(background.halves.size(), 2u);
    for (size_t index = 0; index < axis.count; ++index) {
        ASSERT_NEAR(background.halves[0][index], forward[index], 1.0e-5);
        ASSERT_NEAR(background.halves[1][index], reverse[index], 1.0e-5);
    }
}

TEST(Background, AMismatchIsRefusedNamingTheSetting) {
    ScratchDirectory scratch;
    const SpectrumAxis run = axisOf({});
    const std::vector<double> values = sourceLike(run.count);

    struct Case {
        const char* what;
        SpectrumAxis axis;
        const char* half;
        JcampYUnits units;
        const char* reason;
    };
    std::vector<Case> cases;
    using ostrel::spectra::Settings;
    cases.push_back(
        {"apodization",
         axisOf(with([](Settings& s) { s.apodization = ostrel::spectra::Apodization::Boxcar; })),
         "forward", JcampYUnits::ArbitraryUnits, "apodization: boxcar there, happ-genzel"});
    cases.push_back({"laser", axisOf(with([](Settings& s) { s.laserWavenumber = 15800.0; })),
                     "forward", JcampYUnits::ArbitraryUnits, "laser wavenumber: 15800 there"});
    cases.push_back({"undersampling", axisOf(with([](Settings& s) { s.undersampling = 4; })),
                     "forward", JcampYUnits::ArbitraryUnits, "undersampling: 4 there"});
    cases.push_back({"zero filling", axisOf(with([](Settings& s) { s.zeroFill = 4; })), "forward",
                     JcampYUnits::ArbitraryUnits, "zero filling: 4 there, 2 in this run"});
    cases.push_back(
        {"phase",
         axisOf(with([](Settings& s) { s.phase = ostrel::spectra::PhaseMode::Magnitude; })),
         "forward", JcampYUnits::ArbitraryUnits, "phase correction: magnitude there"});
    cases.push_back({"points", axisOf({}, 2048), "forward", JcampYUnits::ArbitraryUnits,
                     "points: 2048 there, 1024 in this run"});
    SpectrumAxis shifted = run;
    shifted.firstWavenumber += run.wavenumberStep;
    cases.push_back({"range", shifted, "forward", JcampYUnits::ArbitraryUnits, "in its range: "});
    cases.push_back({"transmittance", run, "forward", JcampYUnits::Transmittance,
                     "TRANSMITTANCE there, a single beam"});
    cases.push_back({"half not recorded", run, "reverse", JcampYUnits::ArbitraryUnits,
                     "reverse half, which this run does not record"});

    for (size_t index = 0; index < cases.size(); ++index) {
        const Case& testCase = cases[index];
        const std::string path =
            writeSingleBeam(scratch.path(), std::to_string(index) + ".jdx", testCase.axis,
                            testCase.half, values, JcampForm::Affn, testCase.units);
        Background background;
        std::string error;
        EXPECT_FALSE(loadBackground({path}, {"forward"}, run, &background, &error))
            << testCase.what;
        EXPECT_NE(error.find(testCase.reason), std::string::npos) << testCase.what << ": " << error;
    }

    const std::string forwardOnly =
        writeSingleBeam(scratch.path(), "f.jdx", run, "forward", values, JcampForm::Affn);
    Background background;
    std::string error;
    EXPECT_FALSE(loadBackground({forwardOnly}, {"forward", "reverse"}, run, &background, &error));
    EXPECT_NE(error.find("no background for the reverse half"), std::string::npos) << error;
    EXPECT_FALSE(
        loadBackground({scratch.path() + "/missing.jdx"}, {"forward"}, run, &background, &error));
    EXPECT_NE(error.find("missing.jdx"), std::string::npos) << error;
}

TEST(Background, RatiosAreNotANumberWhereTheBackgroundIsWeakAndNeverInfinite) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> background = {0.0, -3.0, 0.9, 1.0, 50.0, 100.0, nan};
    const std::vector<double> sample = {1.0, 1.0, 1.0, 0.0, 5.0, -1.0, 1.0};
    std::vector<double> transmittance(7);
    std::vector<double> absorbance(7);
    divideByBackground(sample.data(), background.data(), 7, 0.01, transmittance.data(),
                       absorbance.data());
    for (const size_t weak : {0, 1, 2, 6}) {
        EXPECT_TRUE(std::isnan(transmittance[weak])) << weak;
        EXPECT_TRUE(std::isnan(absorbance[weak])) << weak;
    }
    EXPECT_EQ(transmittance[3], 0.0);  // at the threshold: usable, but no absorbance of 0
    EXPECT_TRUE(std::isnan(absorbance[3]));
    EXPECT_DOUBLE_EQ(transmittance[4], 0.1);
    EXPECT_DOUBLE_EQ(absorbance[4], 1.0);
    EXPECT_DOUBLE_EQ(transmittance[5], -0.01);
    EXPECT_TRUE(std::isnan(absorbance[5]));

    // A background that is nothing but noise around zero leaves nothing to divide by.
    const std::vector<double> empty = {0.0, 0.0, 0.0};
    divideByBackground(sample.data(), empty.data(), 3, 0.01, transmittance.data(),
                       absorbance.data());
    EXPECT_TRUE(std::isnan(transmittance[0]) && std::isnan(transmittance[2]));
}

}  // namespace
}  // namespace ostrel::session
