// The simulator's interferograms against the spectrum they are made from: a discrete Fourier
// transform of a block, computed here independently of the simulator, must give back the model's
// spectrum, its absorption lines where they were put, on the axis the laser and the undersampling
// define.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "ostrel_sim/simulator.h"
#include "ostrel_sim/spectrum_model.h"

namespace ostrel::sim {
namespace {

int32_t word(const std::vector<uint8_t>& block, size_t index) {
    const uint8_t* at = &block[4 * index];
    return static_cast<int32_t>(uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 |
                                uint32_t{at[2]} << 8 | uint32_t{at[3]});
}

// The low-gain channel of one half without its offset, per scan.
std::vector<double> lowChannel(const Config& config, const Settings& s, int half) {
    std::vector<uint8_t> block = makeBlock(config, s, 0);
    std::vector<double> values(static_cast<size_t>(s.points));
    for (int k = 0; k < s.points; ++k) {
        size_t at = 4 + 2 * (static_cast<size_t>(half) * s.points + k) + 1;
        values[k] = word(block, at) / static_cast<double>(s.scans) - config.lowOffset;
    }
    return values;
}

size_t largestMagnitude(const std::vector<double>& values) {
    auto it = std::max_element(values.begin(), values.end(),
                               [](double a, double b) { return std::fabs(a) < std::fabs(b); });
    return static_cast<size_t>(it - values.begin());
}

// |sum of I_k exp(-2 pi i v x_k)| over `halfWidth` points each side of the largest point, with
// x_k in cm: the magnitude spectrum of a boxcar-windowed double-sided interferogram.
double magnitudeAt(const std::vector<double>& values, size_t zpd, int halfWidth, double spacing,
                   double wavenumber) {
    std::complex<double> sum;
    for (int offset = -halfWidth; offset < halfWidth; ++offset) {
        double x = offset * spacing;
        double angle = -2.0 * std::numbers::pi * wavenumber * x;
        sum += values[zpd + offset] * std::complex<double>(std::cos(angle), std::sin(angle));
    }
    return std::abs(sum);
}

Config quietConfig() {
    Config config;
    config.noise = 0.0;
    return config;
}

Settings doubleSided() {
    Settings s;
    s.points = 16384;
    s.scans = 4;
    s.scanDir = 3;
    return s;
}

double spacingOf(const Config& config) {
    return config.undersampling / (2.0 * config.laserWavenumber);
}

// A single gain factor maps the transform onto the model; afterwards they agree everywhere in
// the band, far tighter than the 0.5 % of the peak the spectral processing is held to.
TEST(SynthesisedInterferogram, TransformsBackToTheModelSpectrumInBothHalves) {
    Config config = quietConfig();
    Settings s = doubleSided();
    SpectrumModel model;
    for (int half : {0, 1}) {
        std::vector<double> values = lowChannel(config, s, half);
        size_t zpd = largestMagnitude(values);
        std::vector<double> wavenumbers, measured, expected;
        for (double v = 300.0; v < 7800.0; v += 97.0) {
            wavenumbers.push_back(v);
            measured.push_back(magnitudeAt(values, zpd, 4096, spacingOf(config), v));
            expected.push_back(model.value(v));
        }
        double dot = 0.0, norm = 0.0, peak = 0.0;
        for (size_t i = 0; i < measured.size(); ++i) {
            dot += measured[i] * expected[i];
            norm += expected[i] * expected[i];
            peak = std::max(peak, expected[i]);
        }
        double gain = dot / norm;
        for (size_t i = 0; i < measured.size(); ++i) {
            EXPECT_NEAR(measured[i] / gain, expected[i], 0.002 * peak)
                << "half " << half << " at " << wavenumbers[i] << " cm^-1";
        }
    }
}

TEST(SynthesisedInterferogram, ReverseHalfIsTheForwardPathRunBackwards) {
    Config config = quietConfig();
    Settings s = doubleSided();
    s.points = 4096;
    s.skip = 6000;
    std::vector<double> forward = lowChannel(config, s, 0);
    std::vector<double> reverse = lowChannel(config, s, 1);
    for (size_t k = 0; k < forward.size(); ++k) {
        ASSERT_EQ(reverse[forward.size() - 1 - k], forward[k]) << "point " << k;
    }
}

// Its own calibration keeps working: the largest point is the burst's, so a calibration scan at
// gain 0 finds it and a skip of burst - 256 puts zero path difference 256 points into the scan.
TEST(SynthesisedInterferogram, ZeroPathDifferenceFollowsSkipForAnyLaserAndUndersampling) {
    for (auto [laser, undersampling] : {std::pair{15798.0, 2}, {15798.0, 1}, {12000.0, 3}}) {
        Config config = quietConfig();
        config.laserWavenumber = laser;
        config.undersampling = undersampling;
        Settings s = doubleSided();
        s.scanDir = 1;
        s.skip = config.burstCentre - 256;
        EXPECT_EQ(largestMagnitude(lowChannel(config, s, 0)), 256u)
            << laser << " cm^-1, undersampling " << undersampling;
    }
}

// With and without an absorber, the ratio of the two transforms dips to 10^-A at the line's
// centre, on the wavenumber axis of the laser and undersampling the simulator was given.
TEST(SynthesisedInterferogram, PutsAnAbsorberWhereItWasAskedForOnTheLasersAxis) {
    for (auto [laser, undersampling] : {std::pair{15798.0, 2}, {12000.0, 1}}) {
        Config background = quietConfig();
        background.laserWavenumber = laser;
        background.undersampling = undersampling;
        Config sample = background;
        sample.absorbers = {{2100.0, 4.0, 0.5}, {3300.0, 3.0, 1.0}};
        Settings s = doubleSided();
        s.scanDir = 1;
        std::vector<double> b = lowChannel(background, s, 0), a = lowChannel(sample, s, 0);
        size_t zpd = largestMagnitude(b);
        ASSERT_EQ(largestMagnitude(a), zpd);
        double spacing = spacingOf(background);
        for (const Absorber& line : sample.absorbers) {
            double deepest = 0.0, lowest = 2.0;
            for (double v = line.centre - 10.0; v <= line.centre + 10.0; v += 0.25) {
                double ratio =
                    magnitudeAt(a, zpd, 8000, spacing, v) / magnitudeAt(b, zpd, 8000, spacing, v);
                if (ratio < lowest) {
                    lowest = ratio;
                    deepest = v;
                }
            }
            // The window's resolution (about 1 cm^-1) barely broadens lines this wide.
            EXPECT_NEAR(deepest, line.centre, 0.3) << laser << " cm^-1, u " << undersampling;
            EXPECT_NEAR(-std::log10(lowest), line.peakAbsorbance, 0.02 * line.peakAbsorbance)
                << laser << " cm^-1, u " << undersampling << ", line at " << line.centre;
        }
    }
}

TEST(SpectrumModel, DefaultSourceIsAHotBlackbodyBehindAMidInfraredDetector) {
    SpectrumModel model;
    double peak = 0.0, peakAt = 0.0;
    for (double v = 100.0; v < 8000.0; v += 10.0) {
        if (model.value(v) > peak) {
            peak = model.value(v);
            peakAt = v;
        }
    }
    EXPECT_GT(peakAt, 1500.0);
    EXPECT_LT(peakAt, 3000.0);
    EXPECT_LT(model.value(300.0), 0.02 * peak);
    EXPECT_GT(model.value(1000.0), 0.3 * peak);
    EXPECT_GT(model.value(4500.0), 0.1 * peak);
    // Negligible where undersampling by 2 would fold it back into the band.
    EXPECT_LT(model.value(15798.0 / 2), 1e-3 * peak);
}

TEST(SpectrumModel, AbsorbersAreLorentzianInAbsorbance) {
    SpectrumModel model(std::vector<Absorber>{{2000.0, 5.0, 0.8}, {2000.0, 5.0, 0.2}});
    EXPECT_NEAR(model.transmittance(2000.0), 0.1, 1e-12);
    EXPECT_NEAR(model.transmittance(2005.0), std::pow(10.0, -0.5), 1e-12);
    EXPECT_NEAR(model.transmittance(2015.0), std::pow(10.0, -0.1), 1e-12);
    EXPECT_DOUBLE_EQ(model.value(2005.0), model.source(2005.0) * model.transmittance(2005.0));
}

TEST(SpectrumModel, ParsesAbsorbersAndRejectsMalformedOnes) {
    Absorber line;
    std::string error;
    ASSERT_TRUE(parseAbsorber("2350:2.5:0.8", &line, &error)) << error;
    EXPECT_EQ(line, (Absorber{2350.0, 2.5, 0.8}));
    for (const char* bad : {"", "2350", "2350:2", "2350:2:0.8:1", "2350:0:0.8", "2350:-1:0.8",
                            "-5:2:0.8", "2350:2:-0.1", "2350:2:x", "2350::0.8", "nan:2:1"}) {
        error.clear();
        EXPECT_FALSE(parseAbsorber(bad, &line, &error)) << bad;
        EXPECT_NE(error.find("got '"), std::string::npos) << bad << ": " << error;
    }
}

class SpectrumFile : public ::testing::Test {
  protected:
    std::string write(const std::string& text) {
        std::FILE* file = std::fopen(path_.c_str(), "w");
        std::fputs(text.c_str(), file);
        std::fclose(file);
        return path_;
    }
    void TearDown() override { std::remove(path_.c_str()); }

  private:
    std::string path_ = ::testing::TempDir() + "ostrel_sim_spectrum_" +
                        ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv";
};

TEST_F(SpectrumFile, IsInterpolatedAndZeroOutsideItsRange) {
    SpectrumModel model;
    std::string error;
    ASSERT_TRUE(SpectrumModel::fromCsvFile(write("wavenumber,value\n1000,1\n2000,3\r\n\n3000,0\n"),
                                           {{2500.0, 1.0, 1.0}}, &model, &error))
        << error;
    EXPECT_DOUBLE_EQ(model.source(1500.0), 2.0);
    EXPECT_DOUBLE_EQ(model.source(2000.0), 3.0);
    EXPECT_DOUBLE_EQ(model.source(3000.0), 0.0);
    EXPECT_DOUBLE_EQ(model.source(999.0), 0.0);
    EXPECT_DOUBLE_EQ(model.source(3001.0), 0.0);
    EXPECT_NEAR(model.value(2500.0), 0.15, 1e-12);
}

TEST_F(SpectrumFile, WithABadRowIsRefusedNamingTheLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"1000,1\n900,2\n", "line 2: wavenumbers must rise"},
        {"1000,1\n2000,-2\n", "line 2: wavenumbers and values must be >= 0"},
        {"1000,1\n2000;2\n", "line 2: expected 'wavenumber,value'"},
        {"1000,1\n2000,2x\n", "line 2: expected"},
        {"wavenumber,value\n1000,1\n", "at least two rows"},
    };
    for (auto [text, reason] : cases) {
        SpectrumModel model;
        std::string error;
        EXPECT_FALSE(SpectrumModel::fromCsvFile(write(text), {}, &model, &error)) << text;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

TEST_F(SpectrumFile, ThatIsMissingOrEmptyInTheBandStopsTheSimulatorFromStarting) {
    Config config;
    config.spectrumFile = ::testing::TempDir() + "no_such_spectrum.csv";
    std::string error;
    EXPECT_FALSE(Simulator(config).start(&error));
    EXPECT_NE(error.find("no_such_spectrum.csv"), std::string::npos) << error;

    config.spectrumFile = write("9000,1\n9500,1\n");  // above laser / 2
    error.clear();
    EXPECT_FALSE(Simulator(config).start(&error));
    EXPECT_NE(error.find("zero everywhere"), std::string::npos) << error;
    EXPECT_TRUE(makeBlock(config, doubleSided(), 0).empty());
}

TEST_F(SpectrumFile, DrivesTheInterferogram) {
    Config config = quietConfig();
    config.spectrumFile = write("wavenumber,value\n1500,0\n2000,1\n2500,0\n");
    Settings s = doubleSided();
    std::vector<double> values = lowChannel(config, s, 0);
    size_t zpd = largestMagnitude(values);
    double spacing = spacingOf(config);
    double top = magnitudeAt(values, zpd, 4096, spacing, 2000.0);
    EXPECT_NEAR(magnitudeAt(values, zpd, 4096, spacing, 1750.0) / top, 0.5, 0.005);
    EXPECT_LT(magnitudeAt(values, zpd, 4096, spacing, 3000.0) / top, 0.005);
    EXPECT_LT(magnitudeAt(values, zpd, 4096, spacing, 1000.0) / top, 0.005);
}

}  // namespace
}  // namespace ostrel::sim
