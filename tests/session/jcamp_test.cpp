#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "independent_jcamp_reader.h"
#include "outputs/jcamp_writer.h"
#include "tool_harness.h"

namespace ostrel::session {
namespace {

using JsonValue = nlohmann::json;
using ostrel::acquire::testing::ScratchDirectory;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

std::string format(const JcampSpectrum& spectrum, JcampForm form) {
    std::string text;
    std::string error;
    EXPECT_TRUE(formatJcamp(spectrum, form, &text, &error)) << error;
    return text;
}

// A single beam as the tool produces it: a broad source curve with noise, zero outside.
std::vector<double> singleBeam(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 2.0e-4);
    std::vector<double> values(count);
    for (size_t index = 0; index < count; ++index) {
        const double x = static_cast<double>(index) / static_cast<double>(count);
        const double source = x > 0.05 && x < 0.6 ? std::sin((x - 0.05) / 0.55 * M_PI) : 0.0;
        values[index] = 3.7e3 * source * source + noise(random);
    }
    return values;
}

JcampSpectrum spectrumOf(const std::vector<double>& values, JcampYUnits units) {
    JcampSpectrum spectrum;
    spectrum.title = "file 7 forward";
    spectrum.origin = "ostrel-acquire";
    spectrum.yUnits = units;
    spectrum.firstX = 0.0;
    spectrum.deltaX = 15798.0 / 2.0 / static_cast<double>(values.size() - 1);
    spectrum.y = values.data();
    spectrum.count = values.size();
    spectrum.resolution = 0.964;
    spectrum.userLabels = {{"LASER WAVENUMBER", "15798"},
                           {"UNDERSAMPLING", "2"},
                           {"APODIZATION", "happ-genzel"},
                           {"SCAN DIRECTION", "forward"}};
    return spectrum;
}

TEST(JcampWriter, EveryLineOfAFullSizeSpectrumFitsIn80Characters) {
    const std::vector<double> values = singleBeam(16385, 1);
    for (const JcampForm form : {JcampForm::Affn, JcampForm::Difdup}) {
        const std::vector<std::string> text =
            lines(format(spectrumOf(values, JcampYUnits::ArbitraryUnits), form));
        ASSERT_GT(text.size(), 100u);
        for (const std::string& line : text) {
            EXPECT_LE(line.size(), 80u) << line;
        }
        EXPECT_EQ(text.front(), "##TITLE=file 7 forward");
        EXPECT_EQ(text[1], "##JCAMP-DX=4.24");
        EXPECT_EQ(text.back(), "##END=");
    }
}

TEST(JcampWriter, DifdupIsSmallerThanAffnForASmoothSpectrum) {
    const std::vector<double> values = singleBeam(16385, 2);
    const JcampSpectrum spectrum = spectrumOf(values, JcampYUnits::ArbitraryUnits);
    EXPECT_LT(format(spectrum, JcampForm::Difdup).size() * 10,
              format(spectrum, JcampForm::Affn).size() * 8);
}

TEST(JcampWriter, LargestOrdinateKeepsNineDigitsAndFitsA32BitInteger) {
    const std::vector<double> values = {1.0e-7, -4.5e-3, 2.25e-3};
    const std::vector<std::string> text =
        lines(format(spectrumOf(values, JcampYUnits::Absorbance), JcampForm::Affn));
    long long largest = 0;
    bool inTable = false;
    for (const std::string& line : text) {
        if (inTable && line.rfind("##", 0) != 0) {
            std::istringstream fields(line);
            long long x = 0;
            fields >> x;
            for (long long y = 0; fields >> y;) {
                largest = std::max(largest, std::llabs(y));
            }
        }
        inTable = inTable || line.rfind("##XYDATA=", 0) == 0;
    }
    EXPECT_GE(largest, 100'000'000);
    EXPECT_LE(largest, std::numeric_limits<int32_t>::max());
}

TEST(JcampWriter, WhatTheFormatCannotHoldIsRefusedWithAReason) {
    const std::vector<double> good = {1.0, 2.0, 3.0};
    std::vector<double> withNan = good;
    withNan[1] = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> withInfinity = good;
    withInfinity[2] = -std::numeric_limits<double>::infinity();

    struct Case {
        const char* what;
        JcampSpectrum spectrum;
        const char* reason;
    };
    std::vector<Case> cases;
    cases.push_back({"not a number", spectrumOf(withNan, JcampYUnits::Absorbance), "point 1"});
    cases.push_back({"infinity", spectrumOf(withInfinity, JcampYUnits::Absorbance), "point 2"});
    JcampSpectrum empty = spectrumOf(good, JcampYUnits::Absorbance);
    empty.count = 0;
    cases.push_back({"no points", empty, "at least one point"});
    JcampSpectrum flat = spectrumOf(good, JcampYUnits::Absorbance);
    flat.deltaX = 0.0;
    cases.push_back({"zero step", flat, "step"});
    JcampSpectrum broken = spectrumOf(good, JcampYUnits::Absorbance);
    broken.title = "two\n##END=";
    cases.push_back({"line break in a value", broken, "line break"});
    JcampSpectrum tooLong = spectrumOf(good, JcampYUnits::Absorbance);
    tooLong.userLabels.push_back({"NOTE", std::string(90, 'x')});
    cases.push_back({"overlong label", tooLong, "longer than 80"});
    JcampSpectrum badName = spectrumOf(good, JcampYUnits::Absorbance);
    badName.userLabels.push_back({"A=B", "1"});
    cases.push_back({"= in a label name", badName, "label name"});

    for (const Case& testCase : cases) {
        std::string text = "untouched";
        std::string error;
        EXPECT_FALSE(formatJcamp(testCase.spectrum, JcampForm::Affn, &text, &error))
            << testCase.what;
        EXPECT_NE(error.find(testCase.reason), std::string::npos) << testCase.what << ": " << error;
        EXPECT_EQ(text, "untouched") << testCase.what;
    }
}

TEST(WidestFiniteRange, PicksTheLongestRunOfFiniteValues) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Row {
        std::vector<double> values;
        size_t begin, end;
    };
    const std::vector<Row> rows = {
        {{}, 0, 0},
        {{nan, nan}, 0, 0},
        {{1, 2, 3}, 0, 3},
        {{nan, 1, 2, nan, 3, 4, 5, nan}, 4, 7},
        {{1, 2, inf, 3, 4}, 0, 2},  // the first among equals
        {{nan, 1, 2, 3}, 1, 4},
        {{1, -inf, 2}, 0, 1},
    };
    for (const Row& row : rows) {
        const IndexRange range = widestFiniteRange(row.values.data(), row.values.size());
        EXPECT_EQ(range.begin, row.begin);
        EXPECT_EQ(range.end, row.end);
    }
}

// What jcampconverter makes of a file must be what was written: every point within YFACTOR, the
// axis within a millionth of a step, and the labels.
void expectReadBackAsWritten(const JcampSpectrum& spectrum, const JsonValue& read) {
    ASSERT_EQ(read["entries"].get<double>(), 1);
    ASSERT_EQ(read["x"].size(), spectrum.count);
    ASSERT_EQ(read["y"].size(), spectrum.count);
    const JsonValue& info = read["info"];
    const double yFactor = std::stod(info.at("YFACTOR").get<std::string>());
    for (size_t index = 0; index < spectrum.count; ++index) {
        const double x = spectrum.firstX + static_cast<double>(index) * spectrum.deltaX;
        ASSERT_NEAR(read["x"][index].get<double>(), x, std::fabs(spectrum.deltaX) * 1.0e-6)
            << index;
        ASSERT_NEAR(read["y"][index].get<double>(), spectrum.y[index], yFactor) << index;
    }
    EXPECT_EQ(info.at("TITLE").get<std::string>(), spectrum.title);
    EXPECT_EQ(info.at("JCAMPDX").get<std::string>(), "4.24");
    EXPECT_EQ(info.at("DATATYPE").get<std::string>(), "INFRARED SPECTRUM");
    EXPECT_EQ(info.at("XUNITS").get<std::string>(), "1/CM");
    EXPECT_EQ(info.at("YUNITS").get<std::string>(), jcampYUnitsText(spectrum.yUnits));
    EXPECT_EQ(std::stoul(info.at("NPOINTS").get<std::string>()), spectrum.count);
    const JsonValue& userLabels = read["meta"];
    for (const JcampLabel& label : spectrum.userLabels) {
        ASSERT_TRUE(userLabels.count(label.name)) << label.name;
        EXPECT_EQ(userLabels.at(label.name).get<std::string>(), label.value);
    }
}

struct ReaderCase {
    const char* name;
    std::vector<double> values;
    double firstX;
    double deltaX;
    JcampYUnits units;
};

std::vector<ReaderCase> readerCases() {
    std::vector<double> absorbance(4001);
    std::vector<double> repeats(600);
    for (size_t index = 0; index < absorbance.size(); ++index) {
        const double offset = (static_cast<double>(index) - 2000.0) / 12.0;
        absorbance[index] = 0.8 * std::exp(-offset * offset) - 1.0e-3 * std::cos(index * 0.37);
    }
    for (size_t index = 0; index < repeats.size(); ++index) {
        repeats[index] = index < 250 ? 0.0 : index < 400 ? 1.0 : 1.0 + 0.01 * (index % 7);
    }
    std::vector<double> wide(300);
    for (size_t index = 0; index < wide.size(); ++index) {
        wide[index] = std::pow(10.0, -12.0 + 18.0 * index / 299.0);
    }
    return {
        {"single beam", singleBeam(16385, 3), 0.0, 0.48211669921875, JcampYUnits::ArbitraryUnits},
        {"absorbance", absorbance, 400.125, 0.964, JcampYUnits::Absorbance},
        {"transmittance with long repeats", repeats, 1200.0, 1.9285, JcampYUnits::Transmittance},
        {"descending axis", singleBeam(999, 4), 7899.0, -3.857, JcampYUnits::ArbitraryUnits},
        {"one point", {0.42}, 1000.0, 1.0, JcampYUnits::Transmittance},
        {"all zero", std::vector<double>(50, 0.0), 10.0, 2.0, JcampYUnits::Absorbance},
        {"eighteen decades", wide, 500.0, 0.25, JcampYUnits::ArbitraryUnits},
    };
}

TEST(JcampReader, AnIndependentReaderReadsBackEveryValueAndLabel) {
    ScratchDirectory scratch;
    const std::vector<ReaderCase> cases = readerCases();
    std::vector<JcampSpectrum> written;
    std::vector<std::string> paths;
    for (const JcampForm form : {JcampForm::Affn, JcampForm::Difdup}) {
        for (const ReaderCase& testCase : cases) {
            JcampSpectrum spectrum = spectrumOf(testCase.values, testCase.units);
            spectrum.title =
                std::string(testCase.name) + (form == JcampForm::Affn ? " (AFFN)" : " (DIFDUP)");
            spectrum.firstX = testCase.firstX;
            spectrum.deltaX = testCase.deltaX;
            const std::string path = scratch.path() + "/" + std::to_string(paths.size()) + ".jdx";
            std::FILE* file = std::fopen(path.c_str(), "w");
            ASSERT_NE(file, nullptr);
            const std::string text = format(spectrum, form);
            std::fwrite(text.data(), 1, text.size(), file);
            std::fclose(file);
            written.push_back(spectrum);
            paths.push_back(path);
        }
    }
    JsonValue read;
    std::string error;
    ASSERT_TRUE(ostrel::acquire::testing::readJcampFiles(paths, &read, &error)) << error;
    ASSERT_EQ(read.size(), written.size());
    for (size_t index = 0; index < written.size(); ++index) {
        SCOPED_TRACE(written[index].title);
        expectReadBackAsWritten(written[index], read[index]);
    }
}

}  // namespace
}  // namespace ostrel::session
