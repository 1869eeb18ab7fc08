#include "spectrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace ostrel::acquire {

// Names the window in the parameter of a test (found by argument-dependent lookup).
void PrintTo(Apodization apodization, std::ostream* out) {
    *out << apodizationName(apodization);
}

namespace {

std::string windowTestName(Apodization apodization) {
    std::string name = apodizationName(apodization);
    std::erase(name, '-');
    return name;
}

// A cosine of `amplitude` with `cycles` cycles per `period` samples, on an offset.
std::vector<double> cosine(size_t count, double cycles, size_t period, double amplitude,
                           double offset) {
    std::vector<double> samples(count);
    for (size_t k = 0; k < count; ++k) {
        samples[k] = offset + amplitude * std::cos(2.0 * std::numbers::pi * cycles *
                                                   static_cast<double>(k) / period);
    }
    return samples;
}

class SpectrumWindow : public ::testing::TestWithParam<Apodization> {};

TEST_P(SpectrumWindow, LineOfKnownFrequencyPeaksInItsBinAtHalfItsAmplitude) {
    // 1000 samples are zero-filled to 1024; 100 cycles per 1024 samples lie on bin 100.
    const std::vector<double> samples = cosine(1000, 100.0, 1024, 800.0, 5000.0);
    SpectrumCalculator calculator(GetParam());
    std::vector<double> magnitude;
    calculator.compute(samples.data(), samples.size(), &magnitude);
    ASSERT_EQ(magnitude.size(), 513u);
    EXPECT_EQ(largestIndex(magnitude.data(), magnitude.size()), 100u);
    EXPECT_NEAR(magnitude[100], 400.0, 400.0 * 0.03);
}

TEST_P(SpectrumWindow, ConstantCurveHasNoSpectrumOnceTheMeanIsRemoved) {
    const std::vector<double> samples(300, 1234.5);
    SpectrumCalculator calculator(GetParam());
    std::vector<double> magnitude;
    calculator.compute(samples.data(), samples.size(), &magnitude);
    for (const double value : magnitude) {
        EXPECT_NEAR(value, 0.0, 1e-9);
    }
}

TEST_P(SpectrumWindow, ReusedPlanGivesTheSameSpectrumForEachLength) {
    SpectrumCalculator calculator(GetParam());
    std::vector<double> first;
    std::vector<double> again;
    const std::vector<double> longer = cosine(4096, 300.0, 4096, 1.0, 0.0);
    const std::vector<double> shorter = cosine(512, 40.0, 512, 1.0, 0.0);
    calculator.compute(longer.data(), longer.size(), &first);
    calculator.compute(shorter.data(), shorter.size(), &again);
    EXPECT_EQ(largestIndex(again.data(), again.size()), 40u);
    calculator.compute(longer.data(), longer.size(), &again);
    EXPECT_EQ(first, again);
}

INSTANTIATE_TEST_SUITE_P(Windows, SpectrumWindow,
                         ::testing::Values(Apodization::HappGenzel, Apodization::BlackmanHarris,
                                           Apodization::Boxcar),
                         [](const auto& row) { return windowTestName(row.param); });

struct WindowShape {
    Apodization apodization;
    double edge;
    double centre;
};

void PrintTo(const WindowShape& shape, std::ostream* out) {
    *out << apodizationName(shape.apodization);
}

class WindowWeights : public ::testing::TestWithParam<WindowShape> {};

TEST_P(WindowWeights, EdgesAndCentreHaveTheWindowsKnownWeights) {
    const WindowShape shape = GetParam();
    EXPECT_NEAR(apodizationWeight(shape.apodization, 0, 101), shape.edge, 1e-9);
    EXPECT_NEAR(apodizationWeight(shape.apodization, 100, 101), shape.edge, 1e-9);
    EXPECT_NEAR(apodizationWeight(shape.apodization, 50, 101), shape.centre, 1e-9);
    EXPECT_NEAR(apodizationWeight(shape.apodization, 20, 101),
                apodizationWeight(shape.apodization, 80, 101), 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Windows, WindowWeights,
                         ::testing::Values(WindowShape{Apodization::HappGenzel, 0.08, 1.0},
                                           WindowShape{Apodization::BlackmanHarris, 6e-5, 1.0},
                                           WindowShape{Apodization::Boxcar, 1.0, 1.0}),
                         [](const auto& row) { return windowTestName(row.param.apodization); });

TEST(Spectrum, TaperedWindowsLeakLessBesideAnOffBinLine) {
    // 100.5 cycles fall between two bins: the worst case for leakage. Ten bins away a boxcar
    // leaks about 3 % of the line, Happ-Genzel 0.5 %, Blackman-Harris 0.002 %.
    const std::vector<double> samples = cosine(1024, 100.5, 1024, 1.0, 0.0);
    auto leakage = [&samples](Apodization apodization) {
        SpectrumCalculator calculator(apodization);
        std::vector<double> magnitude;
        calculator.compute(samples.data(), samples.size(), &magnitude);
        return magnitude[110] / magnitude[100];
    };
    const double boxcar = leakage(Apodization::Boxcar);
    const double happGenzel = leakage(Apodization::HappGenzel);
    const double blackmanHarris = leakage(Apodization::BlackmanHarris);
    EXPECT_LT(happGenzel, boxcar / 5.0);
    EXPECT_LT(blackmanHarris, happGenzel / 100.0);
}

TEST(CurveStatistics, PeakIsTheSampleFarthestFromTheMeanEvenWhenNegative) {
    std::vector<double> curve(64, 500.0);
    curve[10] = 900.0;
    curve[40] = -300.0;  // farther from the mean (about 487) than 900
    const CurveStatistics statistics = curveStatistics(curve.data(), curve.size());
    EXPECT_EQ(statistics.peakIndex, 40u);
    EXPECT_DOUBLE_EQ(statistics.minimum, -300.0);
    EXPECT_DOUBLE_EQ(statistics.maximum, 900.0);
    EXPECT_DOUBLE_EQ(statistics.mean, (62 * 500.0 + 900.0 - 300.0) / 64);
}

TEST(CurveStatistics, LowestIndexWinsAmongEqualPeaks) {
    const double curve[] = {0.0, 5.0, 0.0, 5.0, 0.0};
    EXPECT_EQ(curveStatistics(curve, 5).peakIndex, 1u);
    EXPECT_EQ(largestIndex(curve, 5), 1u);
}

}  // namespace
}  // namespace ostrel::acquire
