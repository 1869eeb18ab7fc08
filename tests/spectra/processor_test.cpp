#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "known_spectrum.h"
#include "ostrel_spectra/quality.h"
#include "ostrel_spectra/spectra.h"

namespace ostrel::spectra {
namespace {

using testing::Instrument;
using testing::smoothBand;
using testing::synthesise;

struct Layout {
    const char* name;
    double centre;  // ZPD of the recorded half, between points
    bool reverse;   // recorded with the path difference running backwards
};

void PrintTo(const Layout& layout, std::ostream* out) {
    *out << layout.name;
}

constexpr size_t kPoints = 4096;

// Synthesising by direct summation is slow, so each layout's interferogram is made once.
const std::vector<double>& bandInterferogram(const Layout& layout) {
    static std::vector<std::pair<std::string, std::vector<double>>> made;
    for (const auto& [name, samples] : made) {
        if (name == layout.name) {
            return samples;
        }
    }
    std::vector<double> samples =
        synthesise(Instrument{}, kPoints, layout.centre, smoothBand, 20000.0);
    if (layout.reverse) {
        std::reverse(samples.begin(), samples.end());
    }
    made.emplace_back(layout.name, std::move(samples));
    return made.back().second;
}

class KnownBand : public ::testing::TestWithParam<Layout> {};

TEST_P(KnownBand, MertzSingleBeamMatchesTheSpectrumWithinAFifthOfAPercent) {
    Processor processor;
    Spectrum spectrum;
    std::string error;
    ASSERT_TRUE(processor.process(bandInterferogram(GetParam()).data(), kPoints, &spectrum, &error))
        << error;
    double worst = 0.0;
    for (size_t j = 0; j < spectrum.values.size(); ++j) {
        worst = std::max(worst, std::fabs(spectrum.values[j] - smoothBand(spectrum.wavenumber(j))));
    }
    EXPECT_LT(worst, 0.002);
}

TEST_P(KnownBand, MagnitudeFollowsTheBandAndPowerIsItsSquare) {
    Settings settings;
    settings.phase = PhaseMode::Magnitude;
    Processor magnitude(settings);
    settings.phase = PhaseMode::Power;
    Processor power(settings);
    Spectrum modulus;
    Spectrum squared;
    std::string error;
    const std::vector<double>& samples = bandInterferogram(GetParam());
    ASSERT_TRUE(magnitude.process(samples.data(), kPoints, &modulus, &error)) << error;
    ASSERT_TRUE(power.process(samples.data(), kPoints, &squared, &error)) << error;
    for (size_t j = 0; j < modulus.values.size(); j += 64) {
        const double nu = modulus.wavenumber(j);
        if (nu > 1500.0 && nu < 3500.0) {
            EXPECT_NEAR(modulus.values[j], smoothBand(nu), 0.01) << nu;
        }
        EXPECT_NEAR(squared.values[j], modulus.values[j] * modulus.values[j], 1e-12);
    }
}

TEST_P(KnownBand, ZpdIsFoundWhereTheHalfWasCentred) {
    Processor processor;
    Spectrum spectrum;
    std::string error;
    ASSERT_TRUE(
        processor.process(bandInterferogram(GetParam()).data(), kPoints, &spectrum, &error));
    const Layout& layout = GetParam();
    const double expected =
        layout.reverse ? static_cast<double>(kPoints - 1) - layout.centre : layout.centre;
    EXPECT_NEAR(spectrum.zpdIndex, expected, 0.25);
}

// The test's own inputs are sound records: a clear burst, no limit, the band inside the detector's.
// Only a double-sided half has room for the whole phase section.
TEST_P(KnownBand, RaisesNoGate) {
    Processor processor;
    Spectrum spectrum;
    HalfQuality quality;
    std::string error;
    ASSERT_TRUE(processor.process(bandInterferogram(GetParam()).data(), kPoints, &spectrum,
                                  &quality, &error));
    ASSERT_EQ(quality.gates.size(), 4u);
    for (const Gate& gate : quality.gates) {
        EXPECT_EQ(gate.status, GateStatus::Ok) << gate.name << ": " << gate.reason;
    }
    EXPECT_EQ(quality.worst, GateStatus::Ok);
    EXPECT_EQ(quality.zpdIndex, spectrum.zpdIndex);
}

INSTANTIATE_TEST_SUITE_P(Halves, KnownBand,
                         ::testing::Values(Layout{"DoubleSidedForward", 2048.3, false},
                                           Layout{"DoubleSidedReverse", 2048.3, true},
                                           Layout{"SingleSidedForward", 256.3, false},
                                           Layout{"SingleSidedReverse", 256.3, true}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(SpectrumAxis, BinsLieAtJOverNDxAndTheRangeKeepsOnlyItsBins) {
    Settings settings;
    settings.undersampling = 4;
    settings.rangeLow = 1000.0;
    settings.rangeHigh = 2000.0;
    const std::vector<double> samples = synthesise(Instrument{15798.0, 4}, 1000, 400.0, smoothBand);
    Processor processor(settings);
    Spectrum spectrum;
    std::string error;
    ASSERT_TRUE(processor.process(samples.data(), samples.size(), &spectrum, &error)) << error;
    // 1000 points: 1024 x zero-fill 2 = 2048-point transform; dx = 4 / (2 x 15798) cm.
    EXPECT_EQ(spectrum.transformLength, 2048u);
    const double step = 2.0 * 15798.0 / (4.0 * 2048.0);
    EXPECT_DOUBLE_EQ(spectrum.wavenumberStep, step);
    EXPECT_DOUBLE_EQ(spectrum.firstWavenumber, std::ceil(1000.0 / step) * step);
    EXPECT_LE(spectrum.wavenumber(spectrum.values.size() - 1), 2000.0);
    EXPECT_GT(spectrum.wavenumber(spectrum.values.size() - 1) + step, 2000.0);
    EXPECT_DOUBLE_EQ(highestWavenumber(settings), 15798.0 / 4.0);
    // Nominal resolution: 1 / (599 points after ZPD x dx).
    EXPECT_NEAR(spectrum.resolution, 1.0 / (599.0 * pointSpacing(settings)), 1e-9);
}

TEST(SpectrumLines, NarrowLinesAreFoundWithinATenthOfTheResolution) {
    // Two lines between bins on a weak band; boxcar keeps them narrow.
    const double lines[] = {1234.56, 2987.65};
    auto spectrum = [&lines](double nu) {
        double value = 0.02 * smoothBand(nu);
        for (const double centre : lines) {
            const double offset = (nu - centre) / 0.8;
            value += offset * offset < 50.0 ? 3.0 * std::exp(-offset * offset) : 0.0;
        }
        return value;
    };
    const std::vector<double> samples = synthesise(Instrument{}, kPoints, 256.0, spectrum, 100.0);
    Settings settings;
    settings.apodization = Apodization::Boxcar;
    Processor processor(settings);
    Spectrum result;
    std::string error;
    ASSERT_TRUE(processor.process(samples.data(), samples.size(), &result, &error)) << error;
    const std::vector<Band> bands = strongestBands(result, 2, 4.0 * result.resolution);
    ASSERT_EQ(bands.size(), 2u);
    const double found[] = {std::min(bands[0].wavenumber, bands[1].wavenumber),
                            std::max(bands[0].wavenumber, bands[1].wavenumber)};
    EXPECT_NEAR(found[0], lines[0], 0.1 * result.resolution);
    EXPECT_NEAR(found[1], lines[1], 0.1 * result.resolution);
}

TEST(SpectrumLines, AThicketOfStrongPeaksCountsOnceAndWeakerLinesApartStillFillTheList) {
    // A flat, noise-free spectrum: every wiggle passes the noise test. A hundred spikes within one
    // separation are all stronger than the four lines apart from them, so the bands beyond the
    // thicket's strongest are found only past the first hundred candidates.
    Spectrum spectrum;
    spectrum.firstWavenumber = 0.0;
    spectrum.wavenumberStep = 1.0;
    spectrum.values.assign(20000, 1.0);
    for (size_t i = 0; i < 100; ++i) {
        spectrum.values[5000 + 2 * i] += 10.0 + 0.01 * static_cast<double>(i);
    }
    const double lines[] = {9000.0, 11000.0, 13000.0, 15000.0};
    for (size_t i = 0; i < 4; ++i) {
        spectrum.values[static_cast<size_t>(lines[i])] += 5.0 - static_cast<double>(i);
    }
    const std::vector<Band> bands = strongestBands(spectrum, 5, 400.0);
    ASSERT_EQ(bands.size(), 5u);
    EXPECT_NEAR(bands[0].wavenumber, 5198.0, 1.0);  // the thicket's strongest spike
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(bands[i + 1].wavenumber, lines[i], 0.5) << i;
        EXPECT_GT(bands[i + 1].height, 0.0);
    }
}

// Means of blocks of 16 bins: neighbouring bins are correlated after apodisation and zero filling,
// so single bins would understate the standard error.
struct BlockStatistics {
    double mean = 0.0;
    double standardError = 0.0;
};

BlockStatistics blockStatistics(const Spectrum& spectrum, double low, double high) {
    std::vector<double> blocks;
    double sum = 0.0;
    size_t inBlock = 0;
    for (size_t j = 0; j < spectrum.values.size(); ++j) {
        const double nu = spectrum.wavenumber(j);
        if (nu < low || nu > high) {
            continue;
        }
        sum += spectrum.values[j];
        if (++inBlock == 16) {
            blocks.push_back(sum / 16.0);
            sum = 0.0;
            inBlock = 0;
        }
    }
    BlockStatistics statistics;
    for (const double block : blocks) {
        statistics.mean += block;
    }
    statistics.mean /= static_cast<double>(blocks.size());
    double variance = 0.0;
    for (const double block : blocks) {
        variance += (block - statistics.mean) * (block - statistics.mean);
    }
    variance /= static_cast<double>(blocks.size() - 1);
    statistics.standardError = std::sqrt(variance / static_cast<double>(blocks.size()));
    return statistics;
}

TEST(SpectrumNoise, MertzIsUnbiasedWhereThereIsNoSignalWhileMagnitudeIsPositive) {
    // Nothing above about 5000 cm^-1 but noise. The phase there is carried over from the band;
    // a phase taken from the noise itself would bias the corrected mean upwards.
    const std::vector<double> samples =
        synthesise(Instrument{}, 2048, 256.0, smoothBand, 5000.0, 0.02, 7);
    Settings settings;
    Processor mertz(settings);
    settings.phase = PhaseMode::Magnitude;
    Processor magnitude(settings);
    Spectrum corrected;
    Spectrum modulus;
    std::string error;
    ASSERT_TRUE(mertz.process(samples.data(), samples.size(), &corrected, &error)) << error;
    ASSERT_TRUE(magnitude.process(samples.data(), samples.size(), &modulus, &error)) << error;
    const BlockStatistics quiet = blockStatistics(corrected, 5500.0, 7800.0);
    const BlockStatistics rectified = blockStatistics(modulus, 5500.0, 7800.0);
    EXPECT_LT(std::fabs(quiet.mean), 3.0 * quiet.standardError)
        << quiet.mean << " +- " << quiet.standardError;
    EXPECT_GT(rectified.mean, 10.0 * rectified.standardError);
}

TEST(SpectrumReuse, RepeatedHalvesGiveTheSameSpectrumInTheSameStorage) {
    const std::vector<double>& samples = bandInterferogram({"SingleSidedForward", 256.3, false});
    Processor processor;
    Spectrum first;
    Spectrum again;
    std::string error;
    ASSERT_TRUE(processor.process(samples.data(), kPoints, &first, &error));
    const std::vector<double> shorter(samples.begin(), samples.begin() + 1000);
    ASSERT_TRUE(processor.process(shorter.data(), shorter.size(), &again, &error));
    ASSERT_TRUE(processor.process(samples.data(), kPoints, &again, &error));
    const double* storage = again.values.data();
    EXPECT_EQ(first.values, again.values);
    ASSERT_TRUE(processor.process(samples.data(), kPoints, &again, &error));
    EXPECT_EQ(again.values.data(), storage);
}

struct BadInput {
    const char* name;
    Settings settings;
    std::vector<double> samples;
    const char* words;  // part of the error text
};

void PrintTo(const BadInput& input, std::ostream* out) {
    *out << input.name;
}

Settings with(void (*change)(Settings&)) {
    Settings settings;
    change(settings);
    return settings;
}

const std::vector<double> kPlain = {0, 1, 5, 1, 0, -1, 0, 1, 0, 0};

class RefusedInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(RefusedInput, IsRefusedWithAReasonAndNoSpectrum) {
    Processor processor(GetParam().settings);
    Spectrum spectrum;
    std::string error;
    EXPECT_FALSE(
        processor.process(GetParam().samples.data(), GetParam().samples.size(), &spectrum, &error));
    EXPECT_NE(error.find(GetParam().words), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedInput,
    ::testing::Values(BadInput{"TooShort", {}, {1, 2, 3}, "at least 8 points"},
                      BadInput{"NotANumber",
                               {},
                               {0, 1, std::numeric_limits<double>::quiet_NaN(), 1, 0, 0, 0, 0, 0},
                               "not a finite number at point 2"},
                      BadInput{"ZeroFillThree", with([](Settings& s) { s.zeroFill = 3; }), kPlain,
                               "1, 2, 4 or 8"},
                      BadInput{"UndersamplingZero", with([](Settings& s) { s.undersampling = 0; }),
                               kPlain, "undersampling"},
                      BadInput{"NegativeLaser", with([](Settings& s) { s.laserWavenumber = -1.0; }),
                               kPlain, "laser wavenumber"},
                      BadInput{"ZeroPhaseResolution",
                               with([](Settings& s) { s.phaseResolution = 0.0; }), kPlain,
                               "phase resolution"},
                      BadInput{"RangeReversed", with([](Settings& s) {
                                   s.rangeLow = 3000.0;
                                   s.rangeHigh = 2000.0;
                               }),
                               kPlain, "LOW < HIGH"},
                      BadInput{"DetectorBandReversed", with([](Settings& s) {
                                   s.detectorLow = 5000.0;
                                   s.detectorHigh = 4000.0;
                               }),
                               kPlain, "detector band"},
                      BadInput{"RangeAboveTheAxis", with([](Settings& s) { s.rangeLow = 9000.0; }),
                               kPlain, "above the highest wavenumber"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SpectrumEdges, ZpdAtTheFirstPointStillGivesASpectrum) {
    // No double-sided part at all: the phase cannot be measured and is taken as zero.
    std::vector<double> samples(64, 0.0);
    samples[0] = 10.0;
    samples[1] = 4.0;
    Processor processor;
    Spectrum spectrum;
    std::string error;
    ASSERT_TRUE(processor.process(samples.data(), samples.size(), &spectrum, &error)) << error;
    EXPECT_EQ(spectrum.zpdIndex, 0.0);
    for (const double value : spectrum.values) {
        EXPECT_TRUE(std::isfinite(value));
    }
    // ... which the gates do not trust.
    HalfQuality quality;
    ASSERT_TRUE(processor.process(samples.data(), samples.size(), &spectrum, &quality, &error));
    EXPECT_EQ(quality.find(kZpdEdgeGate)->status, GateStatus::Fail);
    EXPECT_EQ(quality.find(kZpdEdgeGate)->value, 0.0);
    EXPECT_NE(quality.find(kZpdEdgeGate)->reason.find("0 points from the record's start"),
              std::string::npos)
        << quality.find(kZpdEdgeGate)->reason;
}

// A constant record has no extreme value to repeat and no burst; a detector band outside the
// axis leaves all the energy out of band.
TEST(SpectrumEdges, DegenerateRecordsGetGatesWithoutDividingByZero) {
    const std::vector<double> flat(64, 7.0);
    Processor processor;
    Spectrum spectrum;
    HalfQuality quality;
    std::string error;
    ASSERT_TRUE(processor.process(flat.data(), flat.size(), &spectrum, &quality, &error)) << error;
    EXPECT_EQ(quality.find(kClippedGate)->status, GateStatus::Ok);
    EXPECT_EQ(quality.find(kBurstGate)->status, GateStatus::Fail);
    for (const Gate& gate : quality.gates) {
        EXPECT_TRUE(std::isfinite(gate.value)) << gate.name;
    }
    Settings settings;
    settings.detectorLow = 9000.0;
    settings.detectorHigh = 12000.0;
    Processor outside(settings);
    const std::vector<double>& samples = bandInterferogram({"SingleSidedForward", 256.3, false});
    ASSERT_TRUE(outside.process(samples.data(), kPoints, &spectrum, &quality, &error)) << error;
    EXPECT_EQ(quality.find(kOutOfBandGate)->status, GateStatus::Fail);
    EXPECT_DOUBLE_EQ(quality.find(kOutOfBandGate)->value, 1.0);
}

}  // namespace
}  // namespace ostrel::spectra
