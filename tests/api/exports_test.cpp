// The library as a host sees it: loaded at run time, every export resolved by name.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "driver_library.h"

namespace {

using ostrel::host::DriverLibrary;

class Exports : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(library.load(DriverLibrary::defaultPath(), &error)) << error;
    }
    const ostrel::host::DriverApi& api() { return library.api(); }
    DriverLibrary library;
};

std::set<std::string> dynamicSymbols(const std::string& path) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only --format=posix '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return names;
    }
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        char name[256] = {};
        char type = 0;
        if (std::sscanf(line, "%255s %c", name, &type) == 2 && type != 'U') {
            names.insert(name);
        }
    }
    pclose(pipe);
    return names;
}

TEST(ExportTable, SharedLibraryExportsExactlyTheThirtyNineFunctions) {
    std::set<std::string> expected;
#define OSTREL_EXPECT_NAME(name, type, ordinal) expected.insert(#name);
    OSTREL_DRIVER_EXPORTS(OSTREL_EXPECT_NAME)
#undef OSTREL_EXPECT_NAME
    ASSERT_EQ(expected.size(), 39u);
    EXPECT_EQ(dynamicSymbols(DriverLibrary::defaultPath()), expected);
}

TEST_F(Exports, InitialValuesAreTheDriverDefaults) {
    int32_t value = 0;
    EXPECT_EQ(api().spectrometer_getPoints(&value), 0);
    EXPECT_EQ(value, 32768);  // 16384 points in both directions
    EXPECT_EQ(api().spectrometer_getScans(&value), 0);
    EXPECT_EQ(value, 16);
    EXPECT_EQ(api().spectrometer_getFiles(&value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(api().spectrometer_getGain(&value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(api().spectrometer_getSkipPoints(&value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(api().spectrometer_getStatus(&value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(api().spectrometer_getCapabilities(&value), 0);
    EXPECT_EQ(value, 6);
    double resolution = 0.0;
    EXPECT_EQ(api().spectrometer_getResolution(&resolution), 0);
    EXPECT_EQ(resolution, 1.0);
    EXPECT_EQ(ostrel::host::lastErrorText(api()), "No Error");
}

TEST_F(Exports, StoredScanDirectionHalvesTheReportedPointsEvenWithoutAnInstrument) {
    EXPECT_NE(api().spectrometer_setScanDirection(1), 0);  // nobody answers
    int32_t points = 0;
    api().spectrometer_getPoints(&points);
    EXPECT_EQ(points, 16384);
    api().spectrometer_setScanDirection(3);
}

TEST_F(Exports, LocalSettersRoundTripWithoutSendingAnything) {
    EXPECT_EQ(api().spectrometer_setResolution(2.5), 0);
    double resolution = 0.0;
    api().spectrometer_getResolution(&resolution);
    EXPECT_EQ(resolution, 2.5);

    EXPECT_EQ(api().spectrometer_setFiles(-3), 0);
    int32_t files = 0;
    api().spectrometer_getFiles(&files);
    EXPECT_EQ(files, -3);
    api().spectrometer_setFiles(1);
    EXPECT_EQ(api().spectrometer_execute(12345), 0);
}

TEST_F(Exports, CallsThatNeedAnOpenInstrumentFailWithTheirCodes) {
    double data[4] = {7, 7, 7, 7};
    double stamp = 7;
    EXPECT_EQ(api().spectrometer_getData(data, 4, &stamp), 1);  // nothing published
    EXPECT_EQ(data[0], 7);
    EXPECT_EQ(api().spectrometer_getTimestamp(&stamp), 0);
    EXPECT_EQ(stamp, 7);
    EXPECT_EQ(api().spectrometer_startCoadd(0), 8);
    EXPECT_EQ(api().spectrometer_stop(), 10);
    EXPECT_EQ(api().spectrometer_writeAux(0, 1), 5);
    EXPECT_EQ(api().spectrometer_close(), 0);
    EXPECT_EQ(api().spectrometer_close(), 0);
    int32_t status = 0;
    api().spectrometer_getStatus(&status);
    EXPECT_EQ(status, 1);
}

TEST_F(Exports, NullPointersAreRefusedWithTheirOwnCode) {
    EXPECT_EQ(api().spectrometer_getPoints(nullptr), 16);
    EXPECT_EQ(api().spectrometer_getResolution(nullptr), 16);
    EXPECT_EQ(api().spectrometer_getData(nullptr, 10, nullptr), 16);
    EXPECT_EQ(api().spectrometer_getTimestamp(nullptr), 16);
    EXPECT_EQ(api().spectrometer_setIPAddress(nullptr), 16);
    EXPECT_EQ(api().spectrometer_readFiber(nullptr, nullptr), 16);
    EXPECT_EQ(api().spectrometer_writeFiber(nullptr), 16);
    EXPECT_EQ(api().spectrometer_safeValves(1, nullptr), 16);
    EXPECT_EQ(ostrel::host::lastErrorText(api(), 16),
              "Invalid argument: a required pointer is null");
    char tiny[1] = {'x'};
    EXPECT_EQ(api().spectrometer_getLastError(0, tiny, 1), 0);
    EXPECT_EQ(tiny[0], '\0');
    EXPECT_EQ(api().spectrometer_getLastError(0, nullptr, 100), 0);
}

}  // namespace
