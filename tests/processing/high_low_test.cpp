#include "processing/high_low.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "processing/data_block.h"
#include "processing/test_rows.h"
#include "processing/trace_lines.h"

namespace ostrel {
namespace {

using testing::PrintTo;

constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();

struct Run {
    int32_t first;
    int32_t last;  // inclusive
    int32_t value;
};

std::vector<int32_t> samplesWith(int32_t count, const std::vector<Run>& runs) {
    std::vector<int32_t> samples(count, 100);
    for (const Run& run : runs) {
        for (int32_t i = run.first; i <= run.last; ++i) {
            samples[i] = run.value;
        }
    }
    return samples;
}

bool sameIndices(const Transitions& a, const Transitions& b) {
    return a.rampStart == b.rampStart && a.plateauStart == b.plateauStart &&
           a.plateauEnd == b.plateauEnd && a.rampEnd == b.rampEnd;
}

struct TransitionCase {
    const char* name;
    int32_t scount;
    std::vector<Run> runs;  // over a background of 100 at 1000 points
    Transitions expected;
};

class FindTransitions : public ::testing::TestWithParam<TransitionCase> {};

TEST_P(FindTransitions, PlacesPlateauTwoPointsOutsideAndRampsSixtyFourBeyond) {
    const TransitionCase& row = GetParam();
    const std::vector<int32_t> samples = samplesWith(1000, row.runs);
    Transitions found{-1, -1, -1, -1};
    findTransitions(samples.data(), 1000, kThresholdPerScan * row.scount, &found, kRampLength);
    EXPECT_TRUE(sameIndices(found, row.expected))
        << found.rampStart << ", " << found.plateauStart << ", " << found.plateauEnd << ", "
        << found.rampEnd;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, FindTransitions, ::testing::Values(
    TransitionCase{"WorkedExample", 1, {{400, 450, 25000}}, {334, 398, 452, 516}},
    TransitionCase{"NegativeSamplesCountByMagnitude", 1, {{400, 450, -25000}}, {334, 398, 452, 516}},
    TransitionCase{"NothingAboveThreshold", 1, {{400, 450, 20000}}, {0, 0, 0, 0}},
    TransitionCase{"SampleEqualToThresholdDoesNotCount", 1, {{300, 300, 20000}, {400, 450, 20001}},
                   {334, 398, 452, 516}},
    TransitionCase{"OnlyIndexZeroLeavesAllZero", 1, {{0, 0, 90000}}, {0, 0, 0, 0}},
    TransitionCase{"FirstAtIndexOneEmptiesRisingRamp", 1, {{1, 200, 30000}}, {0, 0, 202, 266}},
    TransitionCase{"FirstAtIndexThirtyShortensRisingRamp", 1, {{30, 100, 30000}}, {0, 28, 102, 166}},
    TransitionCase{"LastAtFinalIndexEmptiesFallingRamp", 1, {{500, 999, 30000}},
                   {434, 498, 1000, 1000}},
    TransitionCase{"LastTwoBeforeEndClampsPlateauEnd", 1, {{500, 997, 30000}}, {434, 498, 999, 1000}},
    TransitionCase{"TwoScansDoubleTheThreshold", 2, {{400, 450, 30000}}, {0, 0, 0, 0}},
    TransitionCase{"TwoScansCountOnlyTheLargerSamples", 2, {{400, 450, 30000}, {420, 430, 40001}},
                   {354, 418, 432, 496}},
    TransitionCase{"ZeroScansCountEveryNonzeroSample", 0, {{0, 999, 0}, {10, 10, 1}, {900, 900, -1}},
                   {0, 8, 902, 966}},
    TransitionCase{"GapsInsideTheBurstStayInThePlateau", 1, {{400, 400, 25000}, {450, 450, -25000}},
                   {334, 398, 452, 516}}),
    testing::RowName());
// clang-format on

// Sentinels past the count catch writes beyond it.
std::vector<double> weightsFor(int32_t count, const Transitions& transitions) {
    std::vector<double> weights(count + 8, -5.0);
    makeWeights(weights.data(), count, transitions);
    for (int32_t i = count; i < count + 8; ++i) {
        EXPECT_EQ(weights[i], -5.0) << "written past the count at " << i;
    }
    weights.resize(count);
    return weights;
}

TEST(MakeWeights, WorkedExampleRisesOverSineSquaredAndFallsOverCosineSquared) {
    const std::vector<double> w = weightsFor(1000, {334, 398, 452, 516});
    for (int32_t i = 0; i < 1000; ++i) {
        double expected = i >= 398 && i < 452 ? 1.0 : 0.0;
        if (i >= 334 && i < 398) {
            expected = std::pow(std::sin((i - 334) * 1.5707963267948966 / 64), 2);
            ASSERT_LT(w[i], w[i + 1]) << i;
        } else if (i >= 452 && i < 516) {
            expected = std::pow(std::cos((i - 452) * 1.5707963267948966 / 64), 2);
            ASSERT_GT(w[i], w[i + 1]) << i;
        }
        ASSERT_DOUBLE_EQ(w[i], expected) << i;
    }
    EXPECT_EQ(w[334], 0.0);
    EXPECT_EQ(w[452], 1.0);
    EXPECT_GT(w[515], 0.0);
}

struct WeightCase {
    const char* name;
    int32_t count;
    Transitions transitions;
    std::vector<std::pair<int32_t, double>> probes;  // index, weight
};

class MakeWeightsAt : public ::testing::TestWithParam<WeightCase> {};

TEST_P(MakeWeightsAt, GivesZeroRampOnePlateauRampZero) {
    const WeightCase& row = GetParam();
    const std::vector<double> w = weightsFor(row.count, row.transitions);
    for (const auto& [index, weight] : row.probes) {
        EXPECT_NEAR(w[index], weight, 1e-15) << index;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, MakeWeightsAt, ::testing::Values(
    WeightCase{"EmptyRampsLetThePlateauReachTheEdges", 100, {0, 0, 100, 100}, {{0, 1.0}, {99, 1.0}}},
    WeightCase{"ShortRisingRampSpansItsOwnLength", 200, {0, 28, 102, 166},
               {{0, 0.0}, {14, 0.5}, {28, 1.0}, {134, 0.5}, {166, 0.0}, {199, 0.0}}},
    WeightCase{"NoTransitionsGiveZeroEverywhere", 500, {0, 0, 0, 0}, {{0, 0.0}, {499, 0.0}}},
    WeightCase{"IndicesFromALargerCallStopAtTheCount", 400, {334, 398, 452, 516},
               {{333, 0.0}, {366, 0.5}, {398, 1.0}, {399, 1.0}}}),
    testing::RowName());
// clang-format on

struct LineCase {
    const char* name;
    double slope;
    double offset;
    int32_t lo;
    int32_t hi;
};

class FitLine : public ::testing::TestWithParam<LineCase> {};

// Channels exactly linear outside [lo, hi] and unrelated inside it: the fit must recover the line
// exactly, which it cannot when the left-out points still weigh in the means.
TEST_P(FitLine, RecoversExactlyLinearChannelsOutsideTheLeftOutRegion) {
    const LineCase& row = GetParam();
    constexpr int32_t kCount = 1000;
    std::vector<int32_t> x(kCount);
    std::vector<int32_t> y(kCount);
    for (int32_t i = 0; i < kCount; ++i) {
        x[i] = 2 * ((i * 7919) % 2001 - 1000);
        const bool leftOut = i >= row.lo && i <= row.hi;
        y[i] = leftOut ? 987654 - 31 * i : static_cast<int32_t>(row.slope * x[i] + row.offset);
    }
    double M = 0.0;
    double B = 0.0;
    EXPECT_TRUE(ostrel::fitLine(x.data(), y.data(), kCount, &M, &B, row.lo, row.hi));
    EXPECT_NEAR(M, row.slope, 1e-9 * std::fabs(row.slope));
    EXPECT_NEAR(B, row.offset, 1e-9 * std::fabs(row.offset));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rows, FitLine, ::testing::Values(
    LineCase{"EveryIndexButZero", 0.5, 1000.0, 0, 0},
    LineCase{"WorkedExamplePlateau", 0.5, 1000.0, 398, 452},
    LineCase{"NegativeSlopeWideRegion", -3.0, -77.0, 100, 900},
    LineCase{"RegionAtTheStart", 2.0, 12345.0, 0, 300},
    LineCase{"RegionAtTheEnd", 7.0, -4242.0, 700, 999},
    LineCase{"NothingLeftOut", 1.5, 31.0, 2000, 1999}),
    testing::RowName());
// clang-format on

struct DegenerateCase {
    const char* name;
    std::vector<int32_t> x;
    int32_t lo;
    int32_t hi;
};

class DegenerateFit : public ::testing::TestWithParam<DegenerateCase> {};

TEST_P(DegenerateFit, KeepsHighGainValuesWithSlopeOneAndOffsetZero) {
    const DegenerateCase& row = GetParam();
    const int32_t count = static_cast<int32_t>(row.x.size());
    std::vector<int32_t> y(row.x.size());
    for (int32_t i = 0; i < count; ++i) {
        y[i] = 3 * i - 50;
    }
    double M = 0.0;
    double B = 7.0;
    EXPECT_FALSE(ostrel::fitLine(row.x.data(), y.data(), count, &M, &B, row.lo, row.hi));
    EXPECT_EQ(M, 1.0);
    EXPECT_EQ(B, 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DegenerateFit,
    ::testing::Values(DegenerateCase{"AllEqualOutsideRegion", {5, 5, 5, 9000, 5, 5}, 3, 3},
                      DegenerateCase{"EveryPointLeftOut", {1, 2, 3, 4}, 0, 3},
                      DegenerateCase{"NoPoints", {}, 0, 0},
                      DegenerateCase{"OnePointSummed", {1, 2, 3, 4}, 1, 3},
                      DegenerateCase{"AllAtTheLargestMagnitude",
                                     std::vector<int32_t>(32768, kInt32Min), 0, 0}),
    testing::RowName());

struct ScaleCase {
    const char* name;
    double M;
    double B;
    int32_t sample;
    int32_t expected;
};

class ScaleChannel : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(ScaleChannel, TruncatesTowardZeroAndSaturatesAtInt32Limits) {
    const ScaleCase& row = GetParam();
    int32_t samples[3] = {row.sample, row.sample, 424242};
    ostrel::scaleChannel(samples, 2, row.M, row.B);
    EXPECT_EQ(samples[0], row.expected);
    EXPECT_EQ(samples[1], row.expected);
    EXPECT_EQ(samples[2], 424242);
}

constexpr double kInfinity = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Rows, ScaleChannel,
    ::testing::Values(ScaleCase{"HalfOfSevenIsThree", 0.5, 0.0, 7, 3},
                      ScaleCase{"HalfOfMinusSevenIsMinusThree", 0.5, 0.0, -7, -3},
                      ScaleCase{"OffsetTruncatesTowardZero", 1.0, 0.5, -1, 0},
                      ScaleCase{"IdentityKeepsLargest", 1.0, 0.0, kInt32Max, kInt32Max},
                      ScaleCase{"IdentityKeepsSmallest", 1.0, 0.0, kInt32Min, kInt32Min},
                      ScaleCase{"JustAboveLargestSaturates", 1.0, 0.75, kInt32Max, kInt32Max},
                      ScaleCase{"OffsetPastLargestSaturates", 1.0, 1.0, kInt32Max, kInt32Max},
                      ScaleCase{"DoubleOfLargeSaturatesHigh", 2.0, 0.0, 2000000000, kInt32Max},
                      ScaleCase{"DoubleOfSmallSaturatesLow", 2.0, 0.0, -2000000000, kInt32Min},
                      ScaleCase{"NegatedSmallestSaturatesHigh", -1.0, 0.0, kInt32Min, kInt32Max},
                      ScaleCase{"InfiniteSlopeSaturates", kInfinity, 0.0, 3, kInt32Max},
                      ScaleCase{"NotANumberBecomesZero", kInfinity, 0.0, 0, 0}),
    testing::RowName());

TEST(BlendChannels, WeightsTheLowGainSampleAndTheHighGainRest) {
    const int32_t low[4] = {100, 100, 100, -8};
    const int32_t high[4] = {200, 200, 200, 8};
    const double weights[4] = {0.0, 0.25, 1.0, 0.5};
    double out[5] = {0, 0, 0, 0, 99.0};
    blendChannels(low, high, weights, 4, out);
    EXPECT_EQ(out[0], 200.0);
    EXPECT_EQ(out[1], 175.0);
    EXPECT_EQ(out[2], 100.0);
    EXPECT_EQ(out[3], 0.0);
    EXPECT_EQ(out[4], 99.0);
}

class CombineHighLow : public ::testing::Test {
  protected:
    static constexpr int32_t kCount = 1000;

    // Low-gain channel exactly half the high-gain one plus 1000 (even high samples, so every
    // product is an integer), with a burst above the threshold at 400 ... 450.
    void SetUp() override {
        high.resize(kCount);
        low.resize(kCount);
        for (int32_t i = 0; i < kCount; ++i) {
            const bool burst = i >= 400 && i <= 450;
            high[i] = burst ? 40000 + 2 * i : 2 * ((i * 37) % 1001 - 500);
            low[i] = high[i] / 2 + 1000;
        }
        out.assign(kCount + 1, -1.0);
    }

    std::vector<int32_t> high;
    std::vector<int32_t> low;
    std::vector<double> out;
};

TEST_F(CombineHighLow, WorkedExampleUsesLowGainOnPlateauAndRescaledHighGainOutside) {
    testing::TraceFile capture;
    ostrel::combineHighLow(high.data(), low.data(), out.data(), kCount, 1, 1);
    EXPECT_TRUE(sameIndices(lastTransitions(), {334, 398, 452, 516}));
    for (int32_t i = 0; i < kCount; ++i) {
        ASSERT_NEAR(out[i], low[i], 1.0) << i;
        ASSERT_NEAR(high[i], low[i], 1) << "high channel left rescaled at " << i;
    }
    for (int32_t i = 398; i < 452; ++i) {
        ASSERT_EQ(out[i], low[i]) << i;
    }
    EXPECT_EQ(out[kCount], -1.0);

    const std::vector<std::string> lines = testing::linesStartingWith(capture, "OstrelTCP");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("OstrelTCP CombineHighLow: npts= 1000; scount= 1 @", 0), 0u);
    EXPECT_EQ(lines[1], "OstrelTCP CombineHighLow: transitions at 334, 398, 452, 516");
    EXPECT_EQ(lines[2].rfind("OstrelTCP CombineHighLow: M= 0.5", 0), 0u) << lines[2];
    EXPECT_NE(lines[2].find("; B= 1000.0"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3].rfind("OstrelTCP: combineHighLow took ", 0), 0u);
    EXPECT_EQ(lines[3].substr(lines[3].size() - 3), " ms");
}

TEST_F(CombineHighLow, NothingAboveThresholdGivesTheRescaledHighGainChannel) {
    for (int32_t i = 400; i <= 450; ++i) {
        high[i] = 2 * i;
        low[i] = i + 1000;
    }
    low[0] = -777777;  // index 0 lies in the left-out region when no transition is found
    ostrel::combineHighLow(high.data(), low.data(), out.data(), kCount, 1, 1);
    EXPECT_TRUE(sameIndices(lastTransitions(), {0, 0, 0, 0}));
    for (int32_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(out[i], static_cast<double>(high[i])) << i;
        ASSERT_EQ(blendWeights()[i], 0.0) << i;
    }
    for (int32_t i = 1; i < kCount; ++i) {
        ASSERT_NEAR(out[i], low[i], 1.0) << i;
    }
}

TEST_F(CombineHighLow, RecomputeZeroAppliesThePreviousIndicesToNewData) {
    ostrel::combineHighLow(high.data(), low.data(), out.data(), kCount, 1, 1);
    for (int32_t i = 0; i < kCount; ++i) {
        high[i] = 2 * ((i * 53) % 801 - 400);
        low[i] = high[i] / 2 - 300;
    }
    low[420] = 5;  // inside the reused plateau: taken as it is
    testing::TraceFile capture;
    ostrel::combineHighLow(high.data(), low.data(), out.data(), kCount, 1, 0);
    EXPECT_TRUE(sameIndices(lastTransitions(), {334, 398, 452, 516}));
    EXPECT_EQ(out[420], 5.0);
    EXPECT_NEAR(out[100], low[100], 1.0);
    EXPECT_TRUE(
        testing::linesStartingWith(capture, "OstrelTCP CombineHighLow: transitions").empty());
}

TEST_F(CombineHighLow, ConstantHighGainChannelIsKeptAndTheDegenerateFitTraced) {
    std::fill(high.begin(), high.end(), 640);
    testing::TraceFile capture;
    ostrel::combineHighLow(high.data(), low.data(), out.data(), kCount, 1, 1);
    for (int32_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(high[i], 640) << i;
        ASSERT_EQ(out[i], 640.0) << i;
    }
    EXPECT_EQ(
        testing::linesStartingWith(capture, "OstrelTCP CombineHighLow: M= 1.000000; B= 0.000000")
            .size(),
        1u);
    EXPECT_EQ(testing::linesStartingWith(capture, "OstrelTCP CombineHighLow: no line fits").size(),
              1u);
}

TEST_F(CombineHighLow, MorePointsThanTheWeightTableHoldsAreRefused) {
    std::vector<int32_t> bigHigh(kMaxPoints + 1, 30000);
    std::vector<int32_t> bigLow(kMaxPoints + 1, 1);
    std::vector<double> bigOut(kMaxPoints + 1, -1.0);
    ostrel::combineHighLow(bigHigh.data(), bigLow.data(), bigOut.data(), kMaxPoints + 1, 1, 1);
    EXPECT_EQ(bigHigh[0], 30000);
    EXPECT_EQ(bigOut[0], -1.0);
    EXPECT_EQ(bigOut[kMaxPoints], -1.0);
}

}  // namespace
}  // namespace ostrel
