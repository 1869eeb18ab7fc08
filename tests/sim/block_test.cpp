// The data block: its layout on the wire and an interferogram that the driver's processing can
// work with (a burst above its threshold, a linear relation between the channels elsewhere).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ostrel_sim/simulator.h"
#include "sim/sim_client.h"

namespace ostrel::sim {
namespace {

using testing::SimClient;

constexpr double kDriverThresholdPerScan = 20000.0;

int32_t word(const std::vector<uint8_t>& block, size_t index) {
    const uint8_t* at = &block[4 * index];
    return static_cast<int32_t>(uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 |
                                uint32_t{at[2]} << 8 | uint32_t{at[3]});
}

// Sample k of a half (0 forward or only, 1 reverse when both are present); channel 0 high, 1 low.
int32_t sample(const std::vector<uint8_t>& block, const Settings& s, int half, int k, int channel) {
    return word(block, 4 + 2 * (static_cast<size_t>(half) * s.points + k) + channel);
}

int peakOf(const std::vector<uint8_t>& block, const Settings& s, int half, int channel) {
    int best = 0;
    for (int k = 1; k < s.points; ++k) {
        if (std::abs(sample(block, s, half, k, channel)) >
            std::abs(sample(block, s, half, best, channel))) {
            best = k;
        }
    }
    return best;
}

class BlockTransfer : public ::testing::TestWithParam<int> {};

TEST_P(BlockTransfer, SendAnswersWithTheHeaderAndHalvesOfTheScanDirection) {
    Config config;
    config.scanMsAt16k = 0.0;
    Simulator simulator(config);
    ASSERT_TRUE(simulator.start());
    SimClient command(simulator.commandPort());
    SimClient data(simulator.dataPort());
    ASSERT_EQ(data.read(7, 1000), "ready\r\n");
    int scanDir = GetParam();
    command.send("points 1000\r\nnumscans 4\r\nscandir " + std::to_string(scanDir) + "\r\n");
    ASSERT_EQ(command.read(7 + 12, 1000), "ready\r\nOK\r\nOK\r\nOK\r\n");

    size_t halves = scanDir == 3 ? 2 : 1;
    for (uint32_t index = 0; index < 2; ++index) {
        data.send("send\n");
        std::string got = data.read(16 + 8000 * halves, 1000);
        std::vector<uint8_t> block(got.begin(), got.end());
        ASSERT_EQ(block.size(), 16 + 8000 * halves);
        EXPECT_EQ(word(block, 0), scanDir & 1 ? 4 : 0);
        EXPECT_EQ(word(block, 1), scanDir & 2 ? 4 : 0);
        EXPECT_EQ(word(block, 2), 1000);
        EXPECT_EQ(word(block, 3), static_cast<int32_t>(index));
        EXPECT_EQ(block, simulator.lastBlock());
        EXPECT_EQ(block, makeBlock(config, simulator.settings(), index));
    }
    EXPECT_EQ(simulator.blocksSent(), 2);
    EXPECT_EQ(simulator.dataRequestLog(), (std::vector<std::string>{"send\n", "send\n"}));
}

INSTANTIATE_TEST_SUITE_P(ScanDirections, BlockTransfer, ::testing::Values(1, 2, 3));

class BurstPosition : public ::testing::TestWithParam<int> {};

// At gain 0 the high-gain channel is not clipped, so its peak is the burst's centre, as the
// driver's calibration expects when it derives the skip setting from it.
TEST_P(BurstPosition, MovesLeftBySkipAndIsMirroredInTheReverseHalf) {
    Config config;
    Settings s;
    s.gain = 0;
    s.skip = GetParam();
    std::vector<uint8_t> block = makeBlock(config, s, 0);
    int forward = config.burstCentre - s.skip;
    for (int channel : {0, 1}) {
        EXPECT_EQ(peakOf(block, s, 0, channel), forward);
        EXPECT_EQ(peakOf(block, s, 1, channel), s.points - 1 - forward);
    }
    EXPECT_EQ(burstIndex(config, s, false), forward);
    EXPECT_EQ(burstIndex(config, s, true), s.points - 1 - forward);
}

INSTANTIATE_TEST_SUITE_P(Skips, BurstPosition, ::testing::Values(0, 1000, 7936));

TEST(Interferogram, HighGainCrossesTheDriverThresholdOnlyNearTheBurstAndClipsThere) {
    Config config;
    Settings s;  // 16 scans at gain 1
    std::vector<uint8_t> block = makeBlock(config, s, 0);
    double threshold = kDriverThresholdPerScan * s.scans;
    int first = -1, last = -1, largest = 0;
    double farthestAway = 0.0;
    for (int k = 0; k < s.points; ++k) {
        int32_t high = sample(block, s, 0, k, 0);
        largest = std::max(largest, std::abs(high));
        if (std::abs(high) > threshold) {
            if (first < 0)
                first = k;
            last = k;
        } else if (std::abs(k - config.burstCentre) > 200) {
            farthestAway = std::max(farthestAway, std::fabs(high) / threshold);
        }
    }
    EXPECT_GT(first, config.burstCentre - 100);
    EXPECT_LT(last, config.burstCentre + 100);
    EXPECT_LT(farthestAway, 0.5);
    EXPECT_EQ(largest, static_cast<int>(config.saturation) * s.scans);
}

// The driver maps the high-gain channel onto the low-gain scale with a straight line fitted away
// from the burst; the channels must be related by the gain factor and the low-gain offset there.
TEST(Interferogram, ChannelsAreLinearAwayFromTheBurst) {
    Config config;
    Settings s;
    std::vector<uint8_t> block = makeBlock(config, s, 0);
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (int k = 0; k < s.points; ++k) {
        if (std::abs(k - config.burstCentre) < 200)
            continue;
        double x = sample(block, s, 0, k, 0), y = sample(block, s, 0, k, 1);
        n += 1;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    double intercept = (sy - slope * sx) / n;
    EXPECT_NEAR(slope, 1.0 / config.gainFactor, 0.001);
    EXPECT_NEAR(intercept, config.lowOffset * s.scans, 5.0);
}

TEST(Interferogram, ValuesScaleWithTheScans) {
    Config config;
    config.noise = 0.0;
    Settings one;
    one.scans = 1;
    Settings eight;
    eight.scans = 8;
    std::vector<uint8_t> a = makeBlock(config, one, 0), b = makeBlock(config, eight, 0);
    for (int k : {0, 100, 4000, config.burstCentre, config.burstCentre + 3, 16383}) {
        for (int channel : {0, 1}) {
            EXPECT_NEAR(sample(b, eight, 0, k, channel), 8.0 * sample(a, one, 0, k, channel), 8.0)
                << "point " << k << " channel " << channel;
        }
    }
}

TEST(Interferogram, IsDeterministicInSeedAndBlockIndex) {
    Config config;
    Settings s;
    s.points = 2048;
    Config otherSeed = config;
    otherSeed.seed = 2;
    std::vector<uint8_t> block = makeBlock(config, s, 5);
    EXPECT_EQ(block, makeBlock(config, s, 5));
    EXPECT_NE(block, makeBlock(otherSeed, s, 5));
    std::vector<uint8_t> next = makeBlock(config, s, 6);
    EXPECT_NE(std::vector<uint8_t>(block.begin() + 16, block.end()),
              std::vector<uint8_t>(next.begin() + 16, next.end()));
}

}  // namespace
}  // namespace ostrel::sim
