// Every export called with what a careless host may pass: null pointers, sizes of zero or
// below, settings outside what the instrument and the buffers hold, and address texts that are
// empty, too long, malformed or a host name. Each call must give a clear code and text, write
// nothing outside what the caller handed over (the asan preset catches the rest), and leave
// the driver usable: every test ends with a healthy open and a one-file run.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/wil.h"
#include "processing/data_block.h"
#include "reliability/run_harness.h"
#include "support/sim_fixture.h"

namespace ostrel::testing {
namespace {

constexpr const char* kNullText = "Invalid argument: a required pointer is null";
constexpr const char* kPointsText = "Points setting out of range (1 to 32768 per direction)";
constexpr const char* kScanDirText = "Scan direction setting out of range (1, 2 or 3)";
constexpr const char* kBadDottedText = "WIL_BAD_DOTTED Bad dotted decimal address.";

template <typename Row>
std::string rowName(const ::testing::TestParamInfo<Row>& row) {
    return row.param.name;
}

class BadInput : public ::testing::Test {
  protected:
    void SetUp() override {
        simulator = startSimulator();
        ASSERT_NE(simulator, nullptr);
        spectrometer_setIPAddress("127.0.0.1");
        driverState.lastError.store(0);
    }
    void TearDown() override {
        spectrometer_close();
        simulator->clearFaults();
        spectrometer_setIPAddress("127.0.0.1");
        EXPECT_TRUE(openAndRunOneFile()) << "the driver is not usable after the bad call";
        spectrometer_close();
    }

    std::unique_ptr<sim::Simulator> simulator;
};

// A call with a null pointer where the export needs one.
struct NullRow {
    const char* name;
    std::function<int32_t()> call;
};
void PrintTo(const NullRow& row, std::ostream* out) {
    *out << row.name;
}

class BadPointer : public BadInput, public ::testing::WithParamInterface<NullRow> {};

TEST_P(BadPointer, IsRefusedWithCode16AndItsText) {
    ASSERT_EQ(spectrometer_open(0), 0);
    EXPECT_EQ(GetParam().call(), 16);
    EXPECT_EQ(driverState.lastError.load(), 16);
    EXPECT_EQ(lastErrorText().rfind(kNullText, 0), 0u) << lastErrorText();
}

const uint16_t kAllInputs[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
uint32_t fibreResults[16];
double someDouble;

INSTANTIATE_TEST_SUITE_P(
    EveryPointerArgument, BadPointer,
    ::testing::Values(
        NullRow{"getPoints", [] { return spectrometer_getPoints(nullptr); }},
        NullRow{"getScans", [] { return spectrometer_getScans(nullptr); }},
        NullRow{"getFiles", [] { return spectrometer_getFiles(nullptr); }},
        NullRow{"getGain", [] { return spectrometer_getGain(nullptr); }},
        NullRow{"getSkipPoints", [] { return spectrometer_getSkipPoints(nullptr); }},
        NullRow{"getResolution", [] { return spectrometer_getResolution(nullptr); }},
        NullRow{"getStatus", [] { return spectrometer_getStatus(nullptr); }},
        NullRow{"getScanProgress", [] { return spectrometer_getScanProgress(nullptr); }},
        NullRow{"getFileProgress", [] { return spectrometer_getFileProgress(nullptr); }},
        NullRow{"getCapabilities", [] { return spectrometer_getCapabilities(nullptr); }},
        NullRow{"getTimestamp", [] { return spectrometer_getTimestamp(nullptr); }},
        NullRow{"getDataCurve", [] { return spectrometer_getData(nullptr, 512, &someDouble); }},
        NullRow{"getDataStamp",
                [] {
                    double curve[512];
                    return spectrometer_getData(curve, 512, nullptr);
                }},
        NullRow{"setIPAddress", [] { return spectrometer_setIPAddress(nullptr); }},
        NullRow{"safeValves", [] { return spectrometer_safeValves(1, nullptr); }},
        NullRow{"writeFiber", [] { return spectrometer_writeFiber(nullptr); }},
        NullRow{"readFiberRequests", [] { return spectrometer_readFiber(nullptr, fibreResults); }},
        NullRow{"readFiberResults", [] { return spectrometer_readFiber(kAllInputs, nullptr); }}),
    rowName<NullRow>);

// Exports that write into a caller's buffer, given a size of zero, below zero or too small.
// Each buffer is exactly as large as the row says it is, so that asan sees any write past it;
// a fill pattern shows what was written within it.
constexpr double kUntouched = -12345.0;

struct SizeRow {
    const char* name;
    int32_t capacity;  // doubles (getData) or characters (getLastError) handed over
    std::function<int32_t(double*, char*)> call;
    int32_t result;
    int32_t written;  // how many leading elements the call may write; the rest stay untouched
};
void PrintTo(const SizeRow& row, std::ostream* out) {
    *out << row.name;
}

class BadSize : public BadInput, public ::testing::WithParamInterface<SizeRow> {};

TEST_P(BadSize, WritesNothingBeyondWhatTheSizeAllows) {
    const SizeRow& row = GetParam();
    // A published file of 512 doubles, as the run of the test's end would leave one.
    ASSERT_TRUE(openAndRunOneFile());
    const size_t capacity = static_cast<size_t>(row.capacity > 0 ? row.capacity : 1);
    std::vector<double> curve(capacity, kUntouched);
    std::vector<char> text(capacity, '#');
    EXPECT_EQ(row.call(curve.data(), text.data()), row.result);
    for (size_t i = static_cast<size_t>(row.written); i < capacity; ++i) {
        EXPECT_EQ(curve[i], kUntouched) << "double " << i;
        EXPECT_EQ(text[i], '#') << "character " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    CallerBuffers, BadSize,
    ::testing::Values(
        SizeRow{"getLastErrorSizeZero", 1,
                [](double*, char* text) { return spectrometer_getLastError(0, text, 0); }, 0, 0},
        SizeRow{"getLastErrorSizeNegative", 1,
                [](double*, char* text) { return spectrometer_getLastError(0, text, -7); }, 0, 0},
        SizeRow{"getLastErrorSizeOneGetsTheTerminator", 2,
                [](double*, char* text) {
                    const int32_t result = spectrometer_getLastError(3, text, 1);
                    EXPECT_EQ(text[0], '\0');
                    return result;
                },
                0, 1},
        SizeRow{"getLastErrorSizeFiveIsCut", 8,
                [](double*, char* text) {
                    const int32_t result = spectrometer_getLastError(0x8001, text, 5);
                    EXPECT_STREQ(text, "WIL_");
                    return result;
                },
                0, 5},
        SizeRow{"getLastErrorUnknownCodes", 64,
                [](double*, char* text) {
                    for (int32_t code : {INT32_MIN, INT32_MAX, -1, 0x7FFF, 0xFFFF, 99}) {
                        EXPECT_EQ(spectrometer_getLastError(code, text, 64), 0) << code;
                        EXPECT_LT(std::strlen(text), 64u) << code;
                    }
                    return 0;
                },
                0, 64},
        SizeRow{"getDataPointsZero", 1,
                [](double* curve, char*) {
                    double stamp = 0.0;
                    return spectrometer_getData(curve, 0, &stamp);
                },
                9, 0},
        SizeRow{"getDataPointsNegative", 1,
                [](double* curve, char*) {
                    double stamp = 0.0;
                    return spectrometer_getData(curve, -512, &stamp);
                },
                9, 0},
        SizeRow{"getDataPointsIntMin", 1,
                [](double* curve, char*) {
                    double stamp = 0.0;
                    return spectrometer_getData(curve, INT32_MIN, &stamp);
                },
                9, 0},
        SizeRow{"getDataFewerPointsThanPublishedAreZeroed", 100,
                [](double* curve, char*) {
                    double stamp = 0.0;
                    const int32_t result = spectrometer_getData(curve, 100, &stamp);
                    for (int i = 0; i < 100; ++i) {
                        EXPECT_EQ(curve[i], 0.0) << i;
                    }
                    return result;
                },
                9, 100},
        SizeRow{"unglomDataRefusesBadGeometry", 64,
                [](double* out, char*) {
                    uint8_t block[16 + 16 * 4] = {};
                    // Each refusal reports no values, whatever the variable held before.
                    int32_t count = -1;
                    for (int32_t pts : {0, -1, INT32_MIN, 32769, 40000}) {
                        count = -1;
                        unglomData(block, &count, pts, 3, out);
                        EXPECT_EQ(count, 0) << pts;
                    }
                    for (int32_t scanDir : {0, 4, -1, INT32_MAX}) {
                        count = -1;
                        unglomData(block, &count, 4, scanDir, out);
                        EXPECT_EQ(count, 0) << scanDir;
                    }
                    count = -1;
                    unglomData(nullptr, &count, 4, 3, out);
                    EXPECT_EQ(count, 0);
                    count = -1;
                    unglomData(block, &count, 4, 3, nullptr);
                    EXPECT_EQ(count, 0);
                    unglomData(block, nullptr, 4, 3, out);
                    return 0;
                },
                0, 0}),
    rowName<SizeRow>);

// A points setting the driver's buffers cannot hold. setPoints stores whatever it is given (it
// is sent before the instrument could refuse it); the run refuses it before it requests a block.
class BadPoints : public BadInput, public ::testing::WithParamInterface<int32_t> {};

TEST_P(BadPoints, IsKeptButTheRunEndsWithCode17BeforeAnyDataIsRequested) {
    const int32_t points = GetParam();
    // Without a connection the command fails at once; the value is kept all the same.
    const Stopwatch watch;
    EXPECT_EQ(spectrometer_setPoints(points), 3);
    EXPECT_LT(watch.elapsedMs(), 1000.0);
    spectrometer_setScanDirection(1);
    int32_t stored = 0;
    spectrometer_getPoints(&stored);
    EXPECT_EQ(stored, points);

    ASSERT_EQ(spectrometer_open(0), 0);
    RunEvents events;
    spectrometer_setFiles(1);
    simulator->clearLogs();
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    ASSERT_TRUE(events.error.wait(kRunLimitMs));
    ASSERT_TRUE(awaitRunEnd());
    EXPECT_EQ(driverState.lastError.load(), 17);
    EXPECT_EQ(lastErrorText().rfind(kPointsText, 0), 0u) << lastErrorText();
    EXPECT_EQ(events.files.take(), 0u);
    EXPECT_TRUE(simulator->dataRequestLog().empty());
    double curve[4];
    double stamp = 0.0;
    EXPECT_EQ(spectrometer_getData(curve, 4, &stamp), 1);
}

INSTANTIATE_TEST_SUITE_P(OutOfRange, BadPoints,
                         ::testing::Values(0, -1, -32768, 32769, 40000, INT32_MAX, INT32_MIN));

// The doubled count of both directions must not overflow for any stored setting.
class BadPointsBothDirections : public BadInput, public ::testing::WithParamInterface<int32_t> {};

TEST_P(BadPointsBothDirections, GetPointsReportsTheDoubledCountWithoutOverflow) {
    const int32_t points = GetParam();
    spectrometer_setPoints(points);
    spectrometer_setScanDirection(3);
    int32_t reported = 0;
    EXPECT_EQ(spectrometer_getPoints(&reported), 0);
    const int64_t doubled = 2 * int64_t{points};
    const int64_t expected = doubled > INT32_MAX   ? INT32_MAX
                             : doubled < INT32_MIN ? INT32_MIN
                                                   : doubled;
    EXPECT_EQ(reported, expected);
}

INSTANTIATE_TEST_SUITE_P(Extremes, BadPointsBothDirections,
                         ::testing::Values(40000, INT32_MAX, INT32_MAX / 2 + 1, INT32_MIN, -1));

// A scan direction other than 1, 2 or 3: no block length and no conversion exists for it, so no
// file can come of the run. The run must say so rather than report files that were never
// published, and must not leave half a block on the data connection for the next run to read.
class BadScanDirection : public BadInput, public ::testing::WithParamInterface<int32_t> {};

TEST_P(BadScanDirection, FailsTheRunAndTheNextRunGetsTheInstrumentsBlock) {
    ASSERT_EQ(spectrometer_open(0), 0);
    ASSERT_EQ(spectrometer_setPoints(256), 0);
    ASSERT_EQ(spectrometer_setScans(1), 0);
    ASSERT_EQ(spectrometer_setScanDirection(3), 0);
    driverState.scanDir.store(GetParam());  // as a refused setScanDirection leaves it
    RunEvents events;
    spectrometer_setFiles(1);
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    ASSERT_TRUE(awaitRunEnd());
    EXPECT_EQ(events.error.take(), 1u);
    EXPECT_EQ(events.files.take(), 0u);
    EXPECT_EQ(events.coadd.take(), 0u);
    EXPECT_EQ(driverState.lastError.load(), 18);
    EXPECT_EQ(lastErrorText().rfind(kScanDirText, 0), 0u) << lastErrorText();

    // The host sets a valid direction again: the next file is the instrument's next block.
    ASSERT_EQ(spectrometer_setScanDirection(3), 0);
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    ASSERT_TRUE(events.files.wait(kRunLimitMs));
    ASSERT_TRUE(awaitRunEnd());
    std::vector<uint8_t> block = simulator->lastBlock();
    std::vector<double> expected(512);
    int32_t count = 0;
    ostrel::unglomData(block.data(), &count, 256, 3, expected.data());
    std::vector<double> curve(512);
    double stamp = 0.0;
    ASSERT_EQ(spectrometer_getData(curve.data(), 512, &stamp), 0);
    EXPECT_EQ(curve, expected);
}

INSTANTIATE_TEST_SUITE_P(OutOfRange, BadScanDirection, ::testing::Values(0, 4, -1));

// Address texts that are no dotted IPv4 address: open refuses them before it creates a socket,
// and the reboot datagram is not sent to whatever their bits would make.
struct AddressRow {
    const char* name;
    std::string text;
};
void PrintTo(const AddressRow& row, std::ostream* out) {
    *out << row.name;
}

class BadAddress : public BadInput, public ::testing::WithParamInterface<AddressRow> {};

TEST_P(BadAddress, IsRefusedByOpenAndByTheRebootWithBadDotted) {
    EXPECT_EQ(spectrometer_setIPAddress(GetParam().text.c_str()), 0);
    const int32_t statusBefore = driverStatus();
    const Stopwatch watch;
    EXPECT_EQ(spectrometer_open(0), 0x8006);
    EXPECT_LT(watch.elapsedMs(), 1000.0);
    EXPECT_EQ(lastErrorText().rfind(kBadDottedText, 0), 0u) << lastErrorText();
    EXPECT_EQ(driverStatus(), statusBefore);
    EXPECT_EQ(socketSlotsInUse(), 0);
    EXPECT_EQ(simulator->connectionsAccepted(), 0);
    EXPECT_EQ(spectrometer_reset(0), WIL_BAD_DOTTED);
    EXPECT_TRUE(simulator->datagramLog().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BadAddress,
    ::testing::Values(
        AddressRow{"Empty", ""}, AddressRow{"HostName", "localhost"},
        AddressRow{"DomainName", "instrument.example.com"}, AddressRow{"ThreeParts", "127.0.1"},
        AddressRow{"FiveParts", "127.0.0.1.1"}, AddressRow{"PartAbove255", "127.0.0.256"},
        AddressRow{"FourDigitPart", "0127.0.0.1"}, AddressRow{"EmptyPart", "127..0.1"},
        AddressRow{"TrailingDot", "127.0.0.1."}, AddressRow{"LeadingBlank", " 127.0.0.1"},
        AddressRow{"TrailingBlank", "127.0.0.1 "}, AddressRow{"TrailingLineEnd", "127.0.0.1\r\n"},
        AddressRow{"Hexadecimal", "0x7f.0.0.1"}, AddressRow{"Negative", "-1.0.0.1"},
        AddressRow{"WithPort", "127.0.0.1:23"}, AddressRow{"IPv6", "::1"},
        AddressRow{"TooLong", std::string(200, '1')},
        AddressRow{"ValidAddressPastTheStoredLength", std::string(60, ' ') + "127.0.0.1"}),
    rowName<AddressRow>);

// An address text that fills the stored capacity exactly and has no terminator within it: the
// driver reads no further than it keeps.
TEST_F(BadInput, AddressWithoutTerminatorIsReadNoFurtherThanItsStoredLength) {
    const std::unique_ptr<char[]> unterminated(new char[kIpAddressSize - 1]);
    std::memset(unterminated.get(), '1', kIpAddressSize - 1);
    EXPECT_EQ(spectrometer_setIPAddress(unterminated.get()), 0);
    EXPECT_EQ(std::strlen(driverState.ipAddress), static_cast<size_t>(kIpAddressSize - 1));
    EXPECT_EQ(spectrometer_open(0), 0x8006);
}

}  // namespace
}  // namespace ostrel::testing
