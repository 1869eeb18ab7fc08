// Settings as a front-end hands them over in JSON: every bad field named, nothing half applied.
#include "ostrel_session/settings.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace ostrel::session::testing {
namespace {

TEST(SettingsJson, EveryBadOrUnknownFieldIsNamedAndNothingIsApplied) {
    Settings settings;
    FieldErrors errors;
    const JsonValue body = JsonValue::parse(R"({
        "points": 0, "scans": "many", "zero_fill": 3, "apodization": "hann",
        "colour": "blue", "format": "csv,xml", "direction": 2
    })");
    EXPECT_FALSE(applySettingsJson(body, &settings, &errors));
    for (const char* field : {"scans", "apodization", "colour", "format"}) {
        EXPECT_EQ(errors.count(field), 1u) << field;
    }
    EXPECT_EQ(errors.at("colour"), "unknown setting");
    EXPECT_EQ(settings.acquisition.direction, 3);  // the good field is not applied alone

    errors.clear();
    EXPECT_FALSE(applySettingsJson(JsonValue::parse(R"({"points": 0, "zero_fill": 3})"), &settings,
                                   &errors));
    EXPECT_EQ(errors.count("points"), 1u);
    EXPECT_EQ(errors.count("zero_fill"), 1u);

    errors.clear();
    EXPECT_FALSE(
        applySettingsJson(JsonValue::parse(R"({"points": 4294967296})"), &settings, &errors));
    EXPECT_EQ(errors.count("points"), 1u);
    EXPECT_FALSE(applySettingsJson(JsonValue::parse("[1, 2]"), &settings, &errors));
}

TEST(SettingsJson, WhatIsWrittenReadsBackAsTheSameSettings) {
    Settings settings;
    settings.acquisition.points = 2048;
    settings.acquisition.direction = 1;
    settings.spectra.apodization = ostrel::spectra::Apodization::NortonBeerMedium;
    settings.spectra.phase = ostrel::spectra::PhaseMode::Power;
    settings.spectra.rangeLow = 400.0;
    settings.spectra.rangeHigh = 4000.0;
    settings.outputs.formats.hdf5 = true;
    settings.outputs.jcampForm = JcampForm::Difdup;
    Settings read;
    FieldErrors errors;
    ASSERT_TRUE(applySettingsJson(settingsJson(settings), &read, &errors)) << errors.begin()->first;
    EXPECT_EQ(settingsJson(read), settingsJson(settings));
    EXPECT_EQ(read.acquisition.points, 2048);
    EXPECT_EQ(read.spectra.apodization, ostrel::spectra::Apodization::NortonBeerMedium);
    EXPECT_TRUE(read.outputs.formats.hdf5);
    EXPECT_EQ(read.outputs.jcampForm, JcampForm::Difdup);
}

TEST(SettingsCheck, TheDefaultsPassAndEachRangeEndIsHeld) {
    EXPECT_TRUE(checkSettings(Settings{}).empty());
    Settings settings;
    settings.acquisition.points = 32768;
    EXPECT_TRUE(checkSettings(settings).empty());
    settings.acquisition.points = 32769;
    EXPECT_EQ(checkSettings(settings).count("points"), 1u);
    settings = Settings{};
    settings.outputs.formats = {false, false, false, false};
    EXPECT_EQ(checkSettings(settings).count("format"), 1u);
    settings = Settings{};
    settings.outputs.backgroundThresholdPercent = 101.0;
    EXPECT_EQ(checkSettings(settings).count("background_threshold_percent"), 1u);
}

}  // namespace
}  // namespace ostrel::session::testing
