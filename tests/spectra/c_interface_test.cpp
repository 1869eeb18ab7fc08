#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "known_spectrum.h"
#include "ostrel_spectra.h"
#include "ostrel_spectra/spectra.h"

// Every allocation in the test program is counted, so a test can tell whether a call allocated.
namespace {
thread_local size_t allocations = 0;
}  // namespace

void* operator new(size_t size) {
    ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, size_t) noexcept {
    std::free(memory);
}

namespace ostrel::spectra {
namespace {

const std::vector<double>& interferogram() {
    static const std::vector<double> samples =
        testing::synthesise(testing::Instrument{}, 2048, 256.0, testing::smoothBand, 300.0);
    return samples;
}

ostrel_spectra_settings defaults() {
    ostrel_spectra_settings settings;
    ostrel_spectra_default_settings(&settings);
    return settings;
}

TEST(CInterface, GivesTheSameSpectrumAsTheCppApi) {
    const ostrel_spectra_settings settings = defaults();
    size_t capacity = 0;
    ASSERT_EQ(ostrel_spectra_max_values(&settings, interferogram().size(), &capacity), 0);
    std::vector<double> values(capacity);
    ostrel_spectra_info info{};
    char error[128] = "";
    ASSERT_EQ(ostrel_spectra_single_beam(&settings, interferogram().data(), interferogram().size(),
                                         values.data(), values.size(), &info, error, sizeof error),
              OSTREL_SPECTRA_OK)
        << error;
    Processor processor;
    Spectrum spectrum;
    std::string text;
    ASSERT_TRUE(
        processor.process(interferogram().data(), interferogram().size(), &spectrum, &text));
    values.resize(info.count);
    EXPECT_EQ(values, spectrum.values);
    EXPECT_EQ(info.first_wavenumber, spectrum.firstWavenumber);
    EXPECT_EQ(info.wavenumber_step, spectrum.wavenumberStep);
    EXPECT_EQ(info.zpd_index, spectrum.zpdIndex);
    EXPECT_EQ(info.resolution, spectrum.resolution);
}

TEST(CInterface, RepeatedCallsOfOneLengthAllocateNothing) {
    const ostrel_spectra_settings settings = defaults();
    std::vector<double> values(4096);
    ostrel_spectra_info info{};
    for (int call = 0; call < 2; ++call) {
        ASSERT_EQ(
            ostrel_spectra_single_beam(&settings, interferogram().data(), interferogram().size(),
                                       values.data(), values.size(), &info, nullptr, 0),
            OSTREL_SPECTRA_OK);
    }
    const size_t before = allocations;
    ASSERT_EQ(ostrel_spectra_single_beam(&settings, interferogram().data(), interferogram().size(),
                                         values.data(), values.size(), &info, nullptr, 0),
              OSTREL_SPECTRA_OK);
    EXPECT_EQ(allocations, before);
}

TEST(CInterface, TooSmallAnOutputIsRefusedWithTheCountNeededAndNothingWrittenPastIt) {
    const ostrel_spectra_settings settings = defaults();
    std::vector<double> values(11, -7.0);
    ostrel_spectra_info info{};
    char error[256] = "";
    EXPECT_EQ(ostrel_spectra_single_beam(&settings, interferogram().data(), interferogram().size(),
                                         values.data(), 10, &info, error, sizeof error),
              OSTREL_SPECTRA_ERR_CAPACITY);
    EXPECT_EQ(info.count, 2049u);
    EXPECT_NE(std::string(error).find("2049 are needed"), std::string::npos) << error;
    EXPECT_EQ(values[10], -7.0);
}

TEST(CInterface, BadArgumentsAreRefusedWithATruncatedText) {
    ostrel_spectra_settings settings = defaults();
    settings.apodization = "hann";
    std::vector<double> values(4096);
    ostrel_spectra_info info{};
    char error[16];
    std::memset(error, 'x', sizeof error);
    EXPECT_EQ(ostrel_spectra_single_beam(&settings, interferogram().data(), interferogram().size(),
                                         values.data(), values.size(), &info, error, sizeof error),
              OSTREL_SPECTRA_ERR_ARGUMENT);
    EXPECT_EQ(std::strlen(error), sizeof error - 1);
    EXPECT_EQ(std::string(error), "unknown apodiza");

    settings = defaults();
    settings.phase = "absolute";
    EXPECT_EQ(ostrel_spectra_single_beam(&settings, interferogram().data(), interferogram().size(),
                                         values.data(), values.size(), &info, nullptr, 0),
              OSTREL_SPECTRA_ERR_ARGUMENT);
    settings = defaults();
    EXPECT_EQ(ostrel_spectra_single_beam(nullptr, interferogram().data(), 10, values.data(),
                                         values.size(), &info, nullptr, 0),
              OSTREL_SPECTRA_ERR_ARGUMENT);
    EXPECT_EQ(ostrel_spectra_single_beam(&settings, nullptr, 10, values.data(), values.size(),
                                         &info, nullptr, 0),
              OSTREL_SPECTRA_ERR_ARGUMENT);
    const double tooFew[3] = {1, 2, 3};
    EXPECT_EQ(ostrel_spectra_single_beam(&settings, tooFew, 3, values.data(), values.size(), &info,
                                         nullptr, 0),
              OSTREL_SPECTRA_ERR_INPUT);
}

}  // namespace
}  // namespace ostrel::spectra
