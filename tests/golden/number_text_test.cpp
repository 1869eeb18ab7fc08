// The tables' number text: the shortcut for whole and half counts must give exactly the text
// std::to_chars gives (the shortest that reads back, fixed unless scientific is shorter), at the
// edges where that choice or the shortcut's range changes, and across many values.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "outputs/output_files.h"

namespace ostrel::session {
namespace {

std::string reference(double value) {
    char text[40];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void expectSameText(double value) {
    const std::string text = formatNumber(value);
    ASSERT_EQ(text, reference(value)) << "for " << value;
    if (std::isfinite(value)) {
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    }
}

TEST(NumberText, WholeAndHalfCountsAtTheEdgesOfTheFixedAndScientificForms) {
    const std::vector<double> values = {0.0,
                                        -0.0,
                                        0.5,
                                        -0.5,
                                        1.0,
                                        -1.0,
                                        1.5,
                                        9.0,
                                        10.0,
                                        99.5,
                                        100.0,
                                        1000.0,
                                        9999.0,
                                        10000.0,
                                        -10000.0,
                                        10001.0,
                                        12000.0,
                                        100000.0,
                                        120000.0,
                                        123000.0,
                                        1000000.0,
                                        1230000.0,
                                        1234000.0,
                                        12340000.0,
                                        123400000.0,
                                        1.0e9,
                                        1.0e14,
                                        9.99999999999999e14,
                                        999999999999999.0,
                                        999999999999999.5,
                                        1.0e15,
                                        1.0e15 + 2.0,
                                        1.0e16,
                                        1.0e22,
                                        9007199254740992.0,
                                        1125899906842624.5,
                                        562949953421312.5,
                                        30500.0,
                                        -13324.0,
                                        498.5,
                                        -498.5,
                                        0.25,
                                        0.1,
                                        1.0e-300,
                                        5.0e-324,
                                        1.7976931348623157e308,
                                        std::numeric_limits<double>::infinity(),
                                        -std::numeric_limits<double>::infinity(),
                                        std::numeric_limits<double>::quiet_NaN()};
    for (const double value : values) {
        expectSameText(value);
    }
}

TEST(NumberText, EveryPowerOfTenTimesASmallCountAndRandomCounts) {
    for (int digits = 1; digits <= 999; ++digits) {
        for (double scale = 1.0; scale < 1.0e16; scale *= 10.0) {
            expectSameText(digits * scale);
            expectSameText(-digits * scale);
            expectSameText(digits * scale + 0.5);
        }
    }
    std::mt19937_64 random(26);
    std::uniform_int_distribution<int64_t> count(-(int64_t{1} << 51), int64_t{1} << 51);
    for (int index = 0; index < 200000; ++index) {
        const double halves = static_cast<double>(count(random));
        expectSameText(halves / 2.0);
        expectSameText(std::ldexp(halves, -(index % 8)));
    }
}

}  // namespace
}  // namespace ostrel::session
