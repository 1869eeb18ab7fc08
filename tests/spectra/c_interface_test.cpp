#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "known_spectrum.h"
#include "ostrel_spectra.h"
#include "ostrel_spectra/quality.h"
#include "ostrel_spectra/spectra.h"

// Every allocation in the test program is counted, so a test can tell whether a call allocated.
namespace {
thread_local size_t allocations = 0;
}  // namespace

// Every function is kept out of line: inlined into a container, GCC pairs the malloc() or free()
// with the built-in operators and warns of a mismatch.
[[gnu::noinline]] void* operator new(size_t size) {
    ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept {
    std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, size_t) noexcept {
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

TEST(CInterfaceGates, GivesTheSameGatesAsTheCppApiAndAllocatesNothingWhenRepeated) {
    const ostrel_spectra_settings settings = defaults();
    std::vector<double> values(4096);
    ostrel_spectra_info info{};
    ostrel_spectra_gate gates[OSTREL_SPECTRA_MAX_GATES];
    size_t gateCount = 0;
    int32_t worst = -1;
    for (int call = 0; call < 2; ++call) {
        ASSERT_EQ(ostrel_spectra_single_beam_gated(
                      &settings, interferogram().data(), interferogram().size(), values.data(),
                      values.size(), &info, gates, OSTREL_SPECTRA_MAX_GATES, &gateCount, &worst,
                      nullptr, 0),
                  OSTREL_SPECTRA_OK);
    }
    const size_t before = allocations;
    ASSERT_EQ(
        ostrel_spectra_single_beam_gated(&settings, interferogram().data(), interferogram().size(),
                                         values.data(), values.size(), &info, gates,
                                         OSTREL_SPECTRA_MAX_GATES, &gateCount, &worst, nullptr, 0),
        OSTREL_SPECTRA_OK);
    EXPECT_EQ(allocations, before);

    Processor processor;
    Spectrum spectrum;
    HalfQuality quality;
    std::string text;
    ASSERT_TRUE(processor.process(interferogram().data(), interferogram().size(), &spectrum,
                                  &quality, &text));
    ASSERT_EQ(gateCount, quality.gates.size());
    EXPECT_EQ(worst, OSTREL_SPECTRA_GATE_OK);
    for (size_t i = 0; i < gateCount; ++i) {
        EXPECT_EQ(std::string(gates[i].name), quality.gates[i].name);
        EXPECT_EQ(gates[i].status, static_cast<int32_t>(quality.gates[i].status));
        EXPECT_EQ(gates[i].value, quality.gates[i].value);
        EXPECT_EQ(gates[i].threshold, quality.gates[i].threshold);
        EXPECT_EQ(std::string(gates[i].reason), quality.gates[i].reason);
    }
}

TEST(CppGates, RepeatedHalvesAndPairsAllocateNothing) {
    const std::vector<double>& samples = interferogram();
    std::vector<double> reversed(samples.rbegin(), samples.rend());
    Processor processor;
    Spectrum forwardSpectrum;
    Spectrum reverseSpectrum;
    HalfQuality forward;
    HalfQuality reverse;
    std::string error;
    auto pair = [&] {
        ASSERT_TRUE(
            processor.process(samples.data(), samples.size(), &forwardSpectrum, &forward, &error));
        ASSERT_TRUE(processor.process(reversed.data(), reversed.size(), &reverseSpectrum, &reverse,
                                      &error));
        checkZpdAgreement(&forward, &reverse);
    };
    pair();
    pair();
    const size_t before = allocations;
    pair();
    EXPECT_EQ(allocations, before);
    EXPECT_EQ(forward.gates.size(), 5u);
    EXPECT_EQ(forward.find(kZpdAgreementGate)->status, GateStatus::Ok);
    EXPECT_LT(forward.find(kZpdAgreementGate)->value, 1e-6);
}

TEST(CInterfaceGates, TooFewGateSlotsAreFilledAndRefusedWithoutWritingPastThem) {
    const ostrel_spectra_settings settings = defaults();
    std::vector<double> values(4096);
    ostrel_spectra_info info{};
    ostrel_spectra_gate gates[3];
    std::memset(gates, 0x5a, sizeof gates);
    size_t gateCount = 0;
    char error[128] = "";
    EXPECT_EQ(ostrel_spectra_single_beam_gated(
                  &settings, interferogram().data(), interferogram().size(), values.data(),
                  values.size(), &info, gates, 2, &gateCount, nullptr, error, sizeof error),
              OSTREL_SPECTRA_ERR_CAPACITY);
    EXPECT_EQ(gateCount, 4u);
    EXPECT_EQ(std::string(gates[0].name), "burst");
    EXPECT_EQ(std::string(gates[1].name), "zpd_edge");
    EXPECT_EQ(static_cast<unsigned char>(gates[2].name[0]), 0x5a);
    EXPECT_NE(std::string(error).find("4 are needed"), std::string::npos) << error;
    // The spectrum is still there.
    EXPECT_EQ(info.count, 2049u);
    EXPECT_EQ(ostrel_spectra_single_beam_gated(&settings, interferogram().data(),
                                               interferogram().size(), values.data(), values.size(),
                                               &info, gates, 2, nullptr, nullptr, nullptr, 0),
              OSTREL_SPECTRA_ERR_ARGUMENT);
}

TEST(CInterfaceGates, ZpdAgreementAndTheHintAreTheCppOnes) {
    ostrel_spectra_gate agreement{};
    // A reverse half of 8192 points runs the forward path backwards: 8189.7 forward is 1.3.
    ASSERT_EQ(ostrel_spectra_zpd_agreement(8189.7, 1.3, 8192, &agreement), OSTREL_SPECTRA_OK);
    EXPECT_EQ(agreement.status, OSTREL_SPECTRA_GATE_OK);
    EXPECT_NEAR(agreement.value, 0.0, 1e-9);
    ASSERT_EQ(ostrel_spectra_zpd_agreement(256.3, 3838.7 - 3.0, 4096, &agreement),
              OSTREL_SPECTRA_OK);
    EXPECT_EQ(agreement.status, OSTREL_SPECTRA_GATE_WARNING);
    EXPECT_NEAR(agreement.value, 3.0, 1e-9);
    EXPECT_EQ(std::string(agreement.name), "zpd_agreement");
    EXPECT_EQ(ostrel_spectra_zpd_agreement(0.0, 0.0, 10, nullptr), OSTREL_SPECTRA_ERR_ARGUMENT);

    // A forward half whose burst ends the record: the hint's skip moves ZPD to 256.
    ostrel_spectra_gate gates[2] = {};
    std::strcpy(gates[0].name, "burst");
    gates[0].status = OSTREL_SPECTRA_GATE_OK;
    std::strcpy(gates[1].name, "zpd_edge");
    gates[1].status = OSTREL_SPECTRA_GATE_FAIL;
    char text[300];
    ASSERT_EQ(ostrel_spectra_hint(gates, 2, 8189.7, 8192, 0, 0, text, sizeof text),
              OSTREL_SPECTRA_OK);
    EXPECT_NE(std::string(text).find("--skip 7934"), std::string::npos) << text;
    ASSERT_EQ(ostrel_spectra_hint(gates, 2, 1.3, 8192, 1, 0, text, sizeof text), OSTREL_SPECTRA_OK);
    EXPECT_NE(std::string(text).find("--skip 7934"), std::string::npos) << text;
    char small[8];
    ASSERT_EQ(ostrel_spectra_hint(gates, 2, 1.3, 8192, 1, 0, small, sizeof small),
              OSTREL_SPECTRA_OK);
    EXPECT_EQ(std::string(small), "zpd_edg");
    gates[1].status = OSTREL_SPECTRA_GATE_OK;
    ASSERT_EQ(ostrel_spectra_hint(gates, 2, 256.3, 8192, 0, 0, text, sizeof text),
              OSTREL_SPECTRA_OK);
    EXPECT_EQ(std::string(text), "");
    gates[1].status = 7;
    EXPECT_EQ(ostrel_spectra_hint(gates, 2, 256.3, 8192, 0, 0, text, sizeof text),
              OSTREL_SPECTRA_ERR_ARGUMENT);
    EXPECT_EQ(ostrel_spectra_hint(gates, 2, 256.3, 8192, 0, 0, text, 0),
              OSTREL_SPECTRA_ERR_ARGUMENT);
}

TEST(CInterfaceGates, ADetectorBandOfZerosMeansTheDefaultAndAReversedOneIsRefused) {
    ostrel_spectra_settings settings = defaults();
    EXPECT_EQ(settings.detector_low, 400.0);
    EXPECT_EQ(settings.detector_high, 6000.0);
    settings.detector_low = 0.0;
    settings.detector_high = 0.0;
    std::vector<double> values(4096);
    ostrel_spectra_info info{};
    ostrel_spectra_gate gates[OSTREL_SPECTRA_MAX_GATES];
    size_t gateCount = 0;
    ASSERT_EQ(
        ostrel_spectra_single_beam_gated(&settings, interferogram().data(), interferogram().size(),
                                         values.data(), values.size(), &info, gates,
                                         OSTREL_SPECTRA_MAX_GATES, &gateCount, nullptr, nullptr, 0),
        OSTREL_SPECTRA_OK);
    EXPECT_NE(std::string(gates[3].reason).find("400 .. 6000"), std::string::npos)
        << gates[3].reason;
    settings.detector_low = 5000.0;
    settings.detector_high = 3000.0;
    char error[128] = "";
    EXPECT_EQ(ostrel_spectra_single_beam_gated(&settings, interferogram().data(),
                                               interferogram().size(), values.data(), values.size(),
                                               &info, gates, OSTREL_SPECTRA_MAX_GATES, &gateCount,
                                               nullptr, error, sizeof error),
              OSTREL_SPECTRA_ERR_ARGUMENT);
    EXPECT_NE(std::string(error).find("detector band"), std::string::npos) << error;
}

}  // namespace
}  // namespace ostrel::spectra
