#include "processing/data_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "ostreltcp.h"
#include "processing/high_low.h"
#include "processing/synthetic_block.h"
#include "processing/test_rows.h"
#include "processing/trace_lines.h"

namespace ostrel {
namespace {

using testing::PrintTo;

using testing::ChannelModel;
using testing::SyntheticHalf;

constexpr double kSentinel = -12345.5;

// What one half must come out as: the same combination on copies of its channels, then the
// division by the half's own count (none for a count of 0 or less).
std::vector<double> expectedHalf(const SyntheticHalf& half, int32_t scount,
                                 std::vector<int32_t>* rescaledHigh = nullptr) {
    std::vector<int32_t> high = half.high;
    std::vector<int32_t> low = half.low;
    std::vector<double> out(high.size());
    combineHighLow(high.data(), low.data(), out.data(), static_cast<int32_t>(out.size()), scount,
                   1);
    const double factor = scount > 0 ? 1.0 / scount : 1.0;
    for (double& value : out) {
        value *= factor;
    }
    if (rescaledHigh != nullptr) {
        *rescaledHigh = high;
    }
    return out;
}

SyntheticHalf explicitHalf(std::vector<int32_t> high, std::vector<int32_t> low) {
    SyntheticHalf half;
    half.high = std::move(high);
    half.low = std::move(low);
    return half;
}

TEST(SwapWordOrder, ReadsMostSignificantByteFirstInPlace) {
    alignas(4) uint8_t bytes[12] = {0x01, 0x02, 0x03, 0x04, 0xff, 0xff, 0xff, 0xfe, 9, 9, 9, 9};
    uint32_t* words = reinterpret_cast<uint32_t*>(bytes);
    EXPECT_EQ(swapWordOrder(words, 2), words);
    EXPECT_EQ(words[0], 0x01020304u);
    EXPECT_EQ(static_cast<int32_t>(words[1]), -2);
    EXPECT_EQ(bytes[8], 9);
    EXPECT_EQ(swapWordOrder(words, 0), words);
    EXPECT_EQ(words[0], 0x01020304u);
}

struct PeakCase {
    const char* name;
    std::vector<int32_t> values;
    int32_t expected;
};

class PeakIndex : public ::testing::TestWithParam<PeakCase> {};

TEST_P(PeakIndex, FindsLargestMagnitudeLowestIndexFirst) {
    const PeakCase& row = GetParam();
    EXPECT_EQ(peakIndex(row.values.data(), static_cast<int32_t>(row.values.size())), row.expected);
}

constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Rows, PeakIndex,
    ::testing::Values(PeakCase{"TieGoesToTheEarlierIndex", {2, -9, 9, 4}, 1},
                      PeakCase{"NegativeFirstElementWins", {-12, 5, 11}, 0},
                      PeakCase{"SingleElement", {7}, 0},
                      PeakCase{"LaterStrictlyLargerWins", {1, 2, 3, -4}, 3},
                      PeakCase{"SmallestIntegerHasTheLargestMagnitude", {kInt32Max, kInt32Min}, 1},
                      PeakCase{"SmallestIntegerFirstIsKept", {kInt32Min, kInt32Max, 3}, 0}),
    testing::RowName());

TEST(BlockLength, HoldsOneHalfPerDirectionAndTwoForBoth) {
    EXPECT_EQ(blockLength(4, 3), 80);
    EXPECT_EQ(blockLength(4, 1), 48);
    EXPECT_EQ(blockLength(4, 2), 48);
    EXPECT_EQ(blockLength(kMaxPoints, 3), 524304);
    EXPECT_EQ(static_cast<size_t>(blockLength(kMaxPoints, 3)), kBlockBufferSize);
}

// The 80-byte block: pts 4, both directions, forward summed over 2 scans, reverse over 4. Each
// low channel is exactly half its high channel plus an offset.
class SmallBlock : public ::testing::Test {
  protected:
    SyntheticHalf forward = explicitHalf({100, 300, 200, 400}, {60, 160, 110, 210});
    SyntheticHalf reverse = explicitHalf({-400, 0, 400, 800}, {-100, 100, 300, 500});
    std::vector<uint8_t> block = testing::makeBlock(2, 4, {&forward, &reverse});
    std::vector<double> out = std::vector<double>(10, kSentinel);
    int32_t outCount = -1;
};

TEST_F(SmallBlock, BothDirectionsFillEightValuesEachHalfDividedByItsOwnCount) {
    ASSERT_EQ(block.size(), 80u);
    EXPECT_TRUE(unglomData(block.data(), &outCount, 4, 3, out.data()));
    EXPECT_EQ(outCount, 8);
    const std::vector<double> forwardCurve = expectedHalf(forward, 2);
    const std::vector<double> reverseCurve = expectedHalf(reverse, 4);
    for (int k = 0; k < 4; ++k) {
        EXPECT_DOUBLE_EQ(out[k], forwardCurve[k]) << k;
        EXPECT_DOUBLE_EQ(out[4 + k], reverseCurve[k]) << k;
        EXPECT_NEAR(out[k], forward.low[k] / 2.0, 0.5) << k;
        EXPECT_NEAR(out[4 + k], reverse.low[k] / 4.0, 0.25) << k;
    }
    EXPECT_EQ(out[8], kSentinel);
}

TEST_F(SmallBlock, SampleWordsEndInHostOrderAndHeaderBytesStay) {
    const std::vector<uint8_t> original = block;
    unglomData(block.data(), &outCount, 4, 3, out.data());
    EXPECT_EQ(0, std::memcmp(block.data(), original.data(), 16));
    const SyntheticHalf* halves[2] = {&forward, &reverse};
    for (int h = 0; h < 2; ++h) {
        for (int k = 0; k < 4; ++k) {
            int32_t words[2];
            std::memcpy(words, block.data() + 16 + 32 * h + 8 * k, sizeof words);
            EXPECT_EQ(words[0], halves[h]->high[k]) << h << ", " << k;
            EXPECT_EQ(words[1], halves[h]->low[k]) << h << ", " << k;
        }
    }
}

TEST_F(SmallBlock, HighChannelKeepsTheRescaledReverseHalf) {
    std::vector<int32_t> rescaled;
    expectedHalf(reverse, 4, &rescaled);
    unglomData(block.data(), &outCount, 4, 3, out.data());
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(highChannel[k], rescaled[k]) << k;
    }
}

TEST_F(SmallBlock, UnalignedBlockGivesTheSameCurve) {
    std::vector<uint8_t> shifted(block.size() + 1);
    std::memcpy(shifted.data() + 1, block.data(), block.size());
    std::vector<double> shiftedOut(8);
    int32_t shiftedCount = 0;
    ASSERT_TRUE(unglomData(shifted.data() + 1, &shiftedCount, 4, 3, shiftedOut.data()));
    unglomData(block.data(), &outCount, 4, 3, out.data());
    EXPECT_EQ(0, std::memcmp(shifted.data() + 1, block.data(), block.size()));
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(shiftedOut[k], out[k]) << k;
    }
}

TEST_F(SmallBlock, TracesEachStepInOrder) {
    testing::TraceFile capture;
    unglomData(block.data(), &outCount, 4, 3, out.data());
    const std::vector<std::string> lines = testing::linesStartingWith(capture, "OstrelTCP");
    std::vector<std::string> own;
    for (const std::string& line : lines) {
        if (line.find("ombineHighLow") == std::string::npos) {
            own.push_back(line);
        }
    }
    ASSERT_EQ(own.size(), 5u);
    EXPECT_EQ(own[0].rfind("OstrelTCP unglomData @", 0), 0u);
    EXPECT_EQ(own[1], "OstrelTCP unglomData pts= 4; scanDir= 3");
    EXPECT_EQ(own[2], "OstrelTCP unglomData: forward scans= 2");
    EXPECT_EQ(own[3], "OstrelTCP unglomData: reverse scans= 4");
    EXPECT_EQ(own[4].rfind("OstrelTCP: unglomData took ", 0), 0u);
    EXPECT_EQ(own[4].substr(own[4].size() - 9), " ms total");
    EXPECT_EQ(testing::linesStartingWith(capture, "OstrelTCP CombineHighLow: npts= 4; scount= 2 @")
                  .size(),
              1u);
    EXPECT_EQ(testing::linesStartingWith(capture, "OstrelTCP CombineHighLow: npts= 4; scount= 4 @")
                  .size(),
              1u);
}

struct DirectionCase {
    const char* name;
    int32_t scanDir;
    int32_t forwardScans;
    int32_t reverseScans;
};

class UnglomDirection : public ::testing::TestWithParam<DirectionCase> {
  protected:
    static constexpr int32_t kPoints = 2048;

    static ChannelModel model(int32_t scans, double centre, double lowOffset) {
        ChannelModel m;
        m.scans = scans > 0 ? scans : 3;
        m.burstCentre = centre;
        m.lowOffset = lowOffset;
        return m;
    }
};

// Each half built from a known curve must come back as that curve, in the low-gain channel's
// units per scan, at its place in out and divided by its own count.
TEST_P(UnglomDirection, BlockFromAKnownCurveComesBackAsThatCurve) {
    const DirectionCase& row = GetParam();
    const SyntheticHalf forward = testing::makeHalf(kPoints, model(row.forwardScans, 0.45, 250.0));
    const SyntheticHalf reverse = testing::makeHalf(kPoints, model(row.reverseScans, 0.55, -900.0));
    std::vector<const SyntheticHalf*> halves;
    if ((row.scanDir & 1) != 0) {
        halves.push_back(&forward);
    }
    if ((row.scanDir & 2) != 0) {
        halves.push_back(&reverse);
    }
    std::vector<uint8_t> block = testing::makeBlock(row.forwardScans, row.reverseScans, halves);
    ASSERT_EQ(static_cast<int64_t>(block.size()), blockLength(kPoints, row.scanDir));

    std::vector<double> out(2 * kPoints + 1, kSentinel);
    int32_t outCount = -1;
    ASSERT_TRUE(unglomData(block.data(), &outCount, kPoints, row.scanDir, out.data()));
    const int32_t expectedCount = static_cast<int32_t>(halves.size()) * kPoints;
    EXPECT_EQ(outCount, expectedCount);
    EXPECT_EQ(out[expectedCount], kSentinel);

    const int32_t counts[2] = {(row.scanDir & 1) != 0 ? row.forwardScans : row.reverseScans,
                               row.reverseScans};
    for (size_t h = 0; h < halves.size(); ++h) {
        const std::vector<double> expected = expectedHalf(*halves[h], counts[h]);
        // A count of 0 or less divides by nothing: the model's sums of three scans stay.
        const double sums = counts[h] > 0 ? 1.0 : 3.0;
        for (int32_t k = 0; k < kPoints; ++k) {
            const double value = out[h * kPoints + k];
            ASSERT_DOUBLE_EQ(value, expected[k]) << "half " << h << " point " << k;
            ASSERT_NEAR(value / sums, halves[h]->lowCurve[k], 2.0)
                << "half " << h << " point " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, UnglomDirection,
                         ::testing::Values(DirectionCase{"ForwardOnly", 1, 4, 9},
                                           DirectionCase{"ForwardCountZeroIsNotDivided", 1, 0, 9},
                                           DirectionCase{"ReverseOnlyAtTheFirstHalfByReverseCount",
                                                         2, 4, 9},
                                           DirectionCase{"BothEachByItsOwnCount", 3, 2, 16},
                                           DirectionCase{"BothWithNegativeForwardCount", 3, -3, 1}),
                         testing::RowName());

TEST(UnglomFullBlock, LargestBlockFitsTheDriversOwnArrays) {
    ChannelModel forwardModel;
    forwardModel.scans = 16;
    ChannelModel reverseModel = forwardModel;
    reverseModel.burstCentre = 0.52;
    const SyntheticHalf forward = testing::makeHalf(kMaxPoints, forwardModel);
    const SyntheticHalf reverse = testing::makeHalf(kMaxPoints, reverseModel);
    const std::vector<uint8_t> block = testing::makeBlock(16, 16, {&forward, &reverse});
    ASSERT_EQ(block.size(), kBlockBufferSize);
    std::memcpy(blockBuffer, block.data(), block.size());
    int32_t outCount = 0;
    ASSERT_TRUE(unglomData(blockBuffer, &outCount, kMaxPoints, 3, interferogram));
    EXPECT_EQ(outCount, 2 * kMaxPoints);
    for (int32_t k = 0; k < kMaxPoints; ++k) {
        ASSERT_NEAR(interferogram[k], forward.lowCurve[k], 2.0) << k;
        ASSERT_NEAR(interferogram[kMaxPoints + k], reverse.lowCurve[k], 2.0) << k;
    }
}

struct BadCall {
    const char* name;
    int32_t pts;
    int32_t scanDir;
    bool nullBlock;
    bool nullCount;
    bool nullOut;
    const char* reason;
};

class UnglomBadCall : public ::testing::TestWithParam<BadCall> {};

TEST_P(UnglomBadCall, ReportsNoValuesLeavesTheArraysAloneAndTracesWhy) {
    const BadCall& row = GetParam();
    SyntheticHalf half = explicitHalf({1, 2, 3, 4}, {5, 6, 7, 8});
    std::vector<uint8_t> block = testing::makeBlock(1, 1, {&half, &half});
    const std::vector<uint8_t> original = block;
    std::vector<double> out(8, kSentinel);
    int32_t outCount = -99;

    testing::TraceFile capture;
    EXPECT_FALSE(unglomData(row.nullBlock ? nullptr : block.data(),
                            row.nullCount ? nullptr : &outCount, row.pts, row.scanDir,
                            row.nullOut ? nullptr : out.data()));
    EXPECT_EQ(outCount, row.nullCount ? -99 : 0);
    EXPECT_EQ(block, original);
    for (double value : out) {
        EXPECT_EQ(value, kSentinel);
    }
    const std::vector<std::string> lines =
        testing::linesStartingWith(capture, "OstrelTCP unglomData");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("refused"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(row.reason), std::string::npos) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UnglomBadCall,
    ::testing::Values(BadCall{"ZeroPoints", 0, 3, false, false, false, "pts= 0"},
                      BadCall{"NegativePoints", -4, 3, false, false, false, "pts= -4"},
                      BadCall{"SmallestPoints", kInt32Min, 1, false, false, false, "pts= -2147"},
                      BadCall{"OneMoreThanTheTable", 32769, 3, false, false, false, "pts= 32769"},
                      BadCall{"LargestPoints", kInt32Max, 2, false, false, false, "pts= 2147"},
                      BadCall{"ScanDirZero", 4, 0, false, false, false, "scanDir= 0"},
                      BadCall{"ScanDirFour", 4, 4, false, false, false, "scanDir= 4"},
                      BadCall{"ScanDirSeven", 4, 7, false, false, false, "scanDir= 7"},
                      BadCall{"ScanDirNegative", 4, -1, false, false, false, "scanDir= -1"},
                      BadCall{"NullBlock", 4, 3, true, false, false, "block null"},
                      BadCall{"NullCount", 4, 3, false, true, false, "outCount null"},
                      BadCall{"NullOut", 4, 3, false, false, true, "out null"}),
    testing::RowName());

TEST(UnglomLimits, OnePointIsAcceptedAndKeptAsItIs) {
    SyntheticHalf half = explicitHalf({7}, {3});
    std::vector<uint8_t> block = testing::makeBlock(1, 1, {&half});
    double out[2] = {kSentinel, kSentinel};
    int32_t outCount = 0;
    EXPECT_TRUE(unglomData(block.data(), &outCount, 1, 2, out));
    EXPECT_EQ(outCount, 1);
    EXPECT_EQ(out[0], 7.0);
    EXPECT_EQ(out[1], kSentinel);
}

TEST(UnglomExport, RefusesAndConvertsLikeTheDriversOwnCall) {
    SyntheticHalf half = explicitHalf({7, 9}, {3, 4});
    std::vector<uint8_t> block = testing::makeBlock(1, 1, {&half});
    const std::vector<uint8_t> original = block;
    double out[3] = {kSentinel, kSentinel, kSentinel};
    int32_t outCount = -99;
    ::unglomData(block.data(), &outCount, 2, 0, out);
    EXPECT_EQ(outCount, 0);
    EXPECT_EQ(block, original);
    EXPECT_EQ(out[0], kSentinel);
    ::unglomData(block.data(), &outCount, 2, 1, out);
    EXPECT_EQ(outCount, 2);
    EXPECT_EQ(out[1], 9.0);
    EXPECT_EQ(out[2], kSentinel);
}

}  // namespace
}  // namespace ostrel
