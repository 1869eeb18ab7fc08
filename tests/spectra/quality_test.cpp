// The quality gates against the simulator's records: the block the simulator sends for given
// settings, blended by the driver's own unglomData, as a run hands it to the spectral library.
// The expected statuses follow from where the simulator puts the burst and how it clips and
// adds noise, never from the gates' own output.
#include "ostrel_spectra/quality.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ostrel_sim/simulator.h"
#include "ostrel_spectra/spectra.h"
#include "ostreltcp.h"

namespace ostrel::spectra {
namespace {

struct Record {
    std::vector<double> forward;
    std::vector<double> reverse;
};

// One co-added file of both halves as the driver delivers it (each half divided by its scans).
Record record(const sim::Config& config, const sim::Settings& settings) {
    std::vector<uint8_t> block = sim::makeBlock(config, settings, 0);
    const auto points = static_cast<size_t>(settings.points);
    std::vector<double> curve(2 * points);
    int32_t count = 0;
    unglomData(block.data(), &count, settings.points, 3, curve.data());
    EXPECT_EQ(count, static_cast<int32_t>(2 * points));
    return {{curve.begin(), curve.begin() + static_cast<std::ptrdiff_t>(points)},
            {curve.begin() + static_cast<std::ptrdiff_t>(points), curve.end()}};
}

sim::Settings settingsFor(int points, int skip, int gain = 1) {
    sim::Settings settings;
    settings.points = points;
    settings.scans = 4;
    settings.scanDir = 3;
    settings.gain = gain;
    settings.skip = skip;
    return settings;
}

// What a calibration sets: the skip that puts the burst kCalibratedZpdPoints into the forward
// half, from where the simulator puts the burst at skip 0.
int calibratedSkip(const sim::Config& config) {
    return static_cast<int>(sim::burstIndex(config, settingsFor(16384, 0), false)) -
           static_cast<int>(kCalibratedZpdPoints);
}

struct Evaluated {
    HalfQuality forward;
    HalfQuality reverse;
    Spectrum forwardSpectrum;
    Spectrum reverseSpectrum;
};

Evaluated evaluate(const Record& halves, const Settings& settings = {}) {
    Processor processor(settings);
    Evaluated result;
    std::string error;
    EXPECT_TRUE(processor.process(halves.forward.data(), halves.forward.size(),
                                  &result.forwardSpectrum, &result.forward, &error))
        << error;
    EXPECT_TRUE(processor.process(halves.reverse.data(), halves.reverse.size(),
                                  &result.reverseSpectrum, &result.reverse, &error))
        << error;
    checkZpdAgreement(&result.forward, &result.reverse);
    return result;
}

// One line per half for the record of measured values.
void print(const char* label, const char* half, const HalfQuality& quality) {
    std::printf("%-28s %-7s zpd %8.1f", label, half, quality.zpdIndex);
    for (const Gate& gate : quality.gates) {
        std::printf(" | %s %.4g %s", gate.name.c_str(), gate.value,
                    std::string(name(gate.status)).c_str());
    }
    std::printf("\n");
}

void print(const char* label, const Evaluated& evaluated) {
    print(label, "forward", evaluated.forward);
    print(label, "reverse", evaluated.reverse);
}

bool allOk(const HalfQuality& quality) {
    return quality.worst == GateStatus::Ok &&
           std::all_of(quality.gates.begin(), quality.gates.end(),
                       [](const Gate& gate) { return gate.status == GateStatus::Ok; });
}

GateStatus statusOf(const HalfQuality& quality, std::string_view gateName) {
    const Gate* gate = quality.find(gateName);
    EXPECT_NE(gate, nullptr) << gateName;
    return gate != nullptr ? gate->status : GateStatus::Ok;
}

std::string reasonOf(const HalfQuality& quality, std::string_view gateName) {
    const Gate* gate = quality.find(gateName);
    return gate != nullptr ? gate->reason : std::string();
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class UncalibratedRecord : public ::testing::TestWithParam<int> {};

// At skip 0 the simulator puts the burst at point 8192 of the scan: past the end of a record of
// 2048 or 4096 points, just past the last point of one of 8192.
TEST_P(UncalibratedRecord, FailsWithTheReasonAndAHintThatFindsTheBurst) {
    const sim::Config config;
    const int points = GetParam();
    const sim::Settings settings = settingsFor(points, 0);
    const int64_t burst = sim::burstIndex(config, settings, false);
    ASSERT_GE(burst, points);
    const Evaluated result = evaluate(record(config, settings));
    const std::string label = "points " + std::to_string(points) + " skip 0";
    print(label.c_str(), result);
    for (const HalfQuality* half : {&result.forward, &result.reverse}) {
        EXPECT_EQ(half->worst, GateStatus::Fail);
    }
    const std::string forwardHint = hint(result.forward, HalfDirection::Forward, 0);
    const std::string reverseHint = hint(result.reverse, HalfDirection::Reverse, 0);
    std::printf("hint: %s\nreason: %s\n", forwardHint.c_str(),
                reasonOf(result.forward, points == 8192 ? kZpdEdgeGate : kBurstGate).c_str());
    EXPECT_TRUE(contains(forwardHint, "--calibrate")) << forwardHint;
    EXPECT_TRUE(contains(reverseHint, "--calibrate")) << reverseHint;
    if (burst - points >= static_cast<int64_t>(kClippedWindow)) {
        // Only the wings are recorded: the largest value is a wing's, and the halves' "ZPDs"
        // are unrelated.
        for (const HalfQuality* half : {&result.forward, &result.reverse}) {
            EXPECT_EQ(statusOf(*half, kBurstGate), GateStatus::Fail);
            EXPECT_TRUE(contains(reasonOf(*half, kBurstGate), "no centre burst"))
                << reasonOf(*half, kBurstGate);
            EXPECT_EQ(statusOf(*half, kZpdAgreementGate), GateStatus::Fail);
        }
        EXPECT_TRUE(contains(forwardHint, "burst: no centre burst")) << forwardHint;
    } else {
        // The burst's flank ends the forward half and starts the reverse one: ZPD at the edge,
        // and a skip that moves it to where a calibration would.
        EXPECT_EQ(statusOf(result.forward, kZpdEdgeGate), GateStatus::Fail);
        EXPECT_EQ(statusOf(result.reverse, kZpdEdgeGate), GateStatus::Fail);
        EXPECT_TRUE(contains(reasonOf(result.forward, kZpdEdgeGate), "record's end"))
            << reasonOf(result.forward, kZpdEdgeGate);
        EXPECT_TRUE(contains(reasonOf(result.reverse, kZpdEdgeGate), "record's start"))
            << reasonOf(result.reverse, kZpdEdgeGate);
        const int64_t calibrated = calibratedSkip(config);
        for (const auto& [half, direction] : {std::pair{&result.forward, HalfDirection::Forward},
                                              std::pair{&result.reverse, HalfDirection::Reverse}}) {
            EXPECT_NEAR(static_cast<double>(skipChange(*half, direction)),
                        static_cast<double>(calibrated), 4.0);
        }
        EXPECT_TRUE(contains(forwardHint, "zpd_edge:")) << forwardHint;
        EXPECT_TRUE(contains(forwardHint, "--skip 793")) << forwardHint;
        EXPECT_TRUE(contains(reverseHint, "--skip 793")) << reverseHint;
        // From another skip the suggestion moves with it.
        EXPECT_EQ(hint(result.forward, HalfDirection::Forward, 100).find("--skip 803"),
                  forwardHint.find("--skip 793"));
    }
}

// 512 and 1024 points at skip 0 are what the acquisition tool's own tests record.
INSTANTIATE_TEST_SUITE_P(Points, UncalibratedRecord,
                         ::testing::Values(512, 1024, 2048, 4096, 8192));

class CalibratedRecord : public ::testing::TestWithParam<int> {};

TEST_P(CalibratedRecord, PassesEveryGateWithZpdWhereTheCalibrationPutIt) {
    const sim::Config config;
    const int points = GetParam();
    const Evaluated result = evaluate(record(config, settingsFor(points, calibratedSkip(config))));
    const std::string label = "points " + std::to_string(points) + " calibrated";
    print(label.c_str(), result);
    EXPECT_TRUE(allOk(result.forward));
    EXPECT_TRUE(allOk(result.reverse));
    // The simulator's ZPD lies zpdOffset after the burst's point in the forward half.
    const double zpd = static_cast<double>(kCalibratedZpdPoints) + config.zpdOffset;
    EXPECT_NEAR(result.forward.zpdIndex, zpd, 0.1);
    EXPECT_NEAR(result.reverse.zpdIndex, points - 1 - zpd, 0.1);
    EXPECT_EQ(result.forward.gates.size(), 5u);
    EXPECT_EQ(hint(result.forward, HalfDirection::Forward, calibratedSkip(config)), "");
}

INSTANTIATE_TEST_SUITE_P(Points, CalibratedRecord, ::testing::Values(2048, 4096, 8192, 16384));

// Other lasers and undersampling ratios, each processed on its own axis: the simulator's spectrum
// lies inside the detector band on every one. The phase section's points follow the spacing: at
// 12000 cm^-1 and undersampling 1, 32 cm^-1 asks for 1 / (32 / 24000) = 750 points either side,
// which a calibrated record's 256 cannot give; 64 cm^-1 asks for 375.
TEST(CalibratedRecordOnOtherAxes, PassesEveryGateWhenThePhaseAskedForFitsBeforeZpd) {
    struct Axis {
        double laser;
        int undersampling;
        double phaseResolution;
        size_t phasePoints;
        GateStatus edge;
    };
    for (const Axis& axis : {Axis{15798.0, 3, 32.0, 330, GateStatus::Ok},
                             Axis{12000.0, 1, 32.0, 750, GateStatus::Warning},
                             Axis{12000.0, 1, 64.0, 375, GateStatus::Ok}}) {
        sim::Config config;
        config.laserWavenumber = axis.laser;
        config.undersampling = axis.undersampling;
        Settings settings;
        settings.laserWavenumber = axis.laser;
        settings.undersampling = axis.undersampling;
        settings.phaseResolution = axis.phaseResolution;
        const Evaluated result =
            evaluate(record(config, settingsFor(4096, calibratedSkip(config))), settings);
        const std::string label = "laser " + std::to_string(static_cast<int>(axis.laser)) + " u " +
                                  std::to_string(axis.undersampling) + " phase " +
                                  std::to_string(static_cast<int>(axis.phaseResolution));
        print(label.c_str(), result);
        for (const HalfQuality* half : {&result.forward, &result.reverse}) {
            EXPECT_EQ(half->phasePoints, axis.phasePoints) << label;
            EXPECT_EQ(statusOf(*half, kZpdEdgeGate), axis.edge) << label;
            for (const Gate& gate : half->gates) {
                if (gate.name != kZpdEdgeGate) {
                    EXPECT_EQ(gate.status, GateStatus::Ok) << label << ": " << gate.reason;
                }
            }
        }
    }
}

// With its default levels the simulator's high-gain channel already clips at the burst (8 x
// 30000 > 200000), but above the 20000 counts per scan where the driver's blend takes the
// low-gain channel instead: nothing reaches the blended record. A high-gain channel that clips
// below that level does, once the gain drives the burst past it.
TEST(ClippedBurst, IsAWarningOnceTheGainDrivesTheBurstPastAChannelLimitTheBlendKeeps) {
    const sim::Config defaults;
    const int skip = calibratedSkip(defaults);
    const Evaluated hidden = evaluate(record(defaults, settingsFor(4096, skip, 8)));
    print("default levels, gain 8", hidden);
    EXPECT_EQ(statusOf(hidden.forward, kClippedGate), GateStatus::Ok);

    sim::Config narrow;
    narrow.saturation = 16000.0;
    narrow.amplitude = 1000.0;
    // Burst per scan on the high-gain channel: 1000 x 8 x 2^(gain - 1); 8000 at gain 1.
    const Evaluated unclipped = evaluate(record(narrow, settingsFor(4096, skip, 1)));
    print("limit 16000, gain 1", unclipped);
    EXPECT_TRUE(allOk(unclipped.forward));
    EXPECT_TRUE(allOk(unclipped.reverse));
    // 64000 at gain 4: the top and the first fringes' bottoms at the limit.
    const Evaluated clipped = evaluate(record(narrow, settingsFor(4096, skip, 4)));
    print("limit 16000, gain 4", clipped);
    for (const HalfQuality* half : {&clipped.forward, &clipped.reverse}) {
        EXPECT_EQ(statusOf(*half, kClippedGate), GateStatus::Warning);
        EXPECT_GE(half->find(kClippedGate)->value, 3.0);
        EXPECT_TRUE(contains(reasonOf(*half, kClippedGate), "clipped"));
        EXPECT_EQ(half->worst, GateStatus::Warning);
    }
    const std::string text = hint(clipped.forward, HalfDirection::Forward, skip);
    std::printf("hint: %s\nreason: %s\n", text.c_str(),
                reasonOf(clipped.forward, kClippedGate).c_str());
    EXPECT_TRUE(contains(text, "--gain")) << text;
}

// The ratio of the burst to the noise is known from the simulator's levels: a burst of
// `amplitude` per scan over noise of `noise` per scan, co-added over 4 scans.
TEST(DrownedBurst, TheRatioFollowsTheSimulatorsNoiseUntilTheBurstIsMissing) {
    struct Step {
        double noise;
        GateStatus status;
    };
    for (const Step& step : {Step{3.0, GateStatus::Ok}, Step{1000.0, GateStatus::Ok},
                             Step{3000.0, GateStatus::Warning}, Step{10000.0, GateStatus::Fail},
                             Step{100000.0, GateStatus::Fail}}) {
        sim::Config config;
        config.noise = step.noise;
        const Evaluated result =
            evaluate(record(config, settingsFor(4096, calibratedSkip(config))));
        const std::string label = "noise " + std::to_string(static_cast<int>(step.noise));
        print(label.c_str(), result);
        const Gate* burst = result.forward.find(kBurstGate);
        ASSERT_NE(burst, nullptr);
        EXPECT_EQ(burst->status, step.status) << step.noise;
        const double expected = config.amplitude * std::sqrt(4.0) / step.noise;
        if (expected > kBurstFailRatio) {
            EXPECT_NEAR(burst->value, expected, 0.15 * expected) << step.noise;
        }
        if (step.status == GateStatus::Fail) {
            EXPECT_TRUE(contains(burst->reason, "no centre burst")) << burst->reason;
        }
    }
}

// A reverse half whose points are shifted against the forward ones: the fringe count slipped.
TEST(ZpdAgreement, AShiftOfTheReverseHalfIsMeasuredInPoints) {
    const sim::Config config;
    const Record calibrated = record(config, settingsFor(4096, calibratedSkip(config)));
    for (const auto& [shift, status] :
         {std::pair{0, GateStatus::Ok}, {3, GateStatus::Warning}, {20, GateStatus::Fail}}) {
        Record slipped = calibrated;
        std::rotate(slipped.reverse.begin(), slipped.reverse.begin() + shift,
                    slipped.reverse.end());
        const Evaluated result = evaluate(slipped);
        const Gate* forward = result.forward.find(kZpdAgreementGate);
        const Gate* reverse = result.reverse.find(kZpdAgreementGate);
        ASSERT_NE(forward, nullptr);
        ASSERT_NE(reverse, nullptr);
        EXPECT_NEAR(forward->value, shift, 0.05);
        EXPECT_EQ(forward->status, status) << shift;
        EXPECT_EQ(reverse->status, status) << shift;
        EXPECT_EQ(result.forward.worst, status);
    }
}

TEST(OutOfBand, AWrongAxisAndPureNoiseShowTheirEnergyOutsideTheDetectorBand) {
    const sim::Config config;
    const Record calibrated = record(config, settingsFor(4096, calibratedSkip(config)));
    // Processed as if every laser fringe were sampled: the axis doubles, and the simulator's
    // energy above 3000 cm^-1 lands above the band's 6000.
    Settings doubled;
    doubled.undersampling = 1;
    const Evaluated wrongAxis = evaluate(calibrated, doubled);
    print("axis doubled", wrongAxis);
    EXPECT_EQ(statusOf(wrongAxis.forward, kOutOfBandGate), GateStatus::Warning);
    // No burst at all: white noise spreads its power evenly, so the share outside is the axis's
    // share outside 400 .. 6000 cm^-1 of 0 .. 7899.
    sim::Config dark;
    dark.amplitude = 0.0;
    const Evaluated noise = evaluate(record(dark, settingsFor(4096, calibratedSkip(dark))));
    print("no signal", noise);
    const double axisShare = 1.0 - (6000.0 - 400.0) / 7899.0;
    EXPECT_NEAR(noise.forward.find(kOutOfBandGate)->value, axisShare, 0.03);
    EXPECT_EQ(statusOf(noise.forward, kBurstGate), GateStatus::Fail);
    // Noise repeats values by the counts' quantisation (steps of 1 / 4 scans), but nothing there
    // stands out like a burst, so nothing is counted as clipped.
    EXPECT_EQ(noise.forward.find(kClippedGate)->value, 0.0);
    EXPECT_EQ(noise.reverse.find(kClippedGate)->value, 0.0);
    // A band set wider than the axis keeps every bin inside.
    Settings wide;
    wide.detectorLow = 0.0;
    wide.detectorHigh = 20000.0;
    EXPECT_EQ(evaluate(calibrated, wide).forward.find(kOutOfBandGate)->value, 0.0);
}

TEST(ZpdEdge, TheShortSideIsHeldToTheResolutionOfThePhaseAskedFor) {
    const sim::Config config;
    const int skip = calibratedSkip(config);
    // At 32 cm^-1 the phase section asks for 1 / (32 dx) = 494 points either side.
    for (const auto& [shortSide, status] : {std::pair{247, GateStatus::Ok},
                                            {200, GateStatus::Warning},
                                            {62, GateStatus::Warning},
                                            {61, GateStatus::Fail}}) {
        const Evaluated result = evaluate(record(
            config, settingsFor(4096, skip + static_cast<int>(kCalibratedZpdPoints) - shortSide)));
        EXPECT_EQ(result.forward.phasePoints, 494u);
        EXPECT_EQ(result.forward.shortSide, static_cast<size_t>(shortSide));
        EXPECT_EQ(statusOf(result.forward, kZpdEdgeGate), status) << shortSide;
    }
    // A coarser phase asks for fewer points: ZPD 62 points in is then enough.
    Settings coarse;
    coarse.phaseResolution = 128.0;
    const Evaluated result = evaluate(
        record(config, settingsFor(4096, skip + static_cast<int>(kCalibratedZpdPoints) - 62)),
        coarse);
    EXPECT_EQ(statusOf(result.forward, kZpdEdgeGate), GateStatus::Ok);
}

}  // namespace
}  // namespace ostrel::spectra
