#include <gtest/gtest.h>

#include <string>

#include "ostrel_spectra/spectra.h"

namespace ostrel::spectra {
namespace {

struct WindowRow {
    Apodization apodization;
    const char* name;
    double middle;  // weight halfway to the end of the long side
    double end;     // weight at the end of the long side
};

void PrintTo(const WindowRow& row, std::ostream* out) {
    *out << row.name;
}

class Window : public ::testing::TestWithParam<WindowRow> {};

// The weights at half and full path difference are the windows' published values.
TEST_P(Window, HasUnitWeightAtZpdAndItsKnownWeightsFurtherOut) {
    const WindowRow& row = GetParam();
    EXPECT_NEAR(apodizationWeight(row.apodization, 0.0), 1.0, 1e-6);
    EXPECT_NEAR(apodizationWeight(row.apodization, 0.5), row.middle, 1e-5);
    EXPECT_NEAR(apodizationWeight(row.apodization, 1.0), row.end, 1e-5);
    EXPECT_EQ(apodizationWeight(row.apodization, 1.5), 0.0);
    EXPECT_EQ(apodizationWeight(row.apodization, -0.25), apodizationWeight(row.apodization, 0.25));
}

TEST_P(Window, NameRoundTripsThroughTheParser) {
    const WindowRow& row = GetParam();
    EXPECT_EQ(name(row.apodization), row.name);
    Apodization parsed = Apodization::Boxcar;
    ASSERT_TRUE(parseApodization(row.name, &parsed));
    EXPECT_EQ(parsed, row.apodization);
}

INSTANTIATE_TEST_SUITE_P(
    All, Window,
    ::testing::Values(
        WindowRow{Apodization::Boxcar, "boxcar", 1.0, 1.0},
        WindowRow{Apodization::Triangular, "triangular", 0.5, 0.0},
        WindowRow{Apodization::HappGenzel, "happ-genzel", 0.54, 0.08},
        WindowRow{Apodization::BlackmanHarris3, "blackman-harris-3", 0.34401, 0.00490},
        WindowRow{Apodization::BlackmanHarris4, "blackman-harris-4", 0.21747, 0.00006},
        WindowRow{Apodization::NortonBeerWeak, "norton-beer-weak", 0.71412, 0.384093},
        WindowRow{Apodization::NortonBeerMedium, "norton-beer-medium", 0.603660, 0.152442},
        WindowRow{Apodization::NortonBeerStrong, "norton-beer-strong", 0.483950, 0.045335}),
    [](const auto& row) {
        std::string text = row.param.name;
        std::erase(text, '-');
        return text;
    });

TEST(OptionNames, BlackmanHarrisAloneIsTheFourTermWindow) {
    Apodization parsed = Apodization::Boxcar;
    ASSERT_TRUE(parseApodization("blackman-harris", &parsed));
    EXPECT_EQ(parsed, Apodization::BlackmanHarris4);
    EXPECT_EQ(allApodizations().size(), 8u);
}

TEST(OptionNames, UnknownNamesAreRefusedAndLeaveTheValue) {
    Apodization apodization = Apodization::Triangular;
    EXPECT_FALSE(parseApodization("Happ-Genzel", &apodization));
    EXPECT_FALSE(parseApodization("", &apodization));
    EXPECT_EQ(apodization, Apodization::Triangular);
    PhaseMode mode = PhaseMode::Power;
    EXPECT_FALSE(parsePhaseMode("phase", &mode));
    EXPECT_EQ(mode, PhaseMode::Power);
    for (const PhaseMode each : {PhaseMode::Mertz, PhaseMode::Magnitude, PhaseMode::Power}) {
        ASSERT_TRUE(parsePhaseMode(name(each), &mode));
        EXPECT_EQ(mode, each);
    }
}

}  // namespace
}  // namespace ostrel::spectra
