#include "state/errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ostreltcp.h"
#include "state/driver_state.h"
#include "support/trace_capture.h"

namespace {

using ostrel::driverState;
using ostrel::testing::TraceFile;

const std::string kRefused = std::strerror(ECONNREFUSED);

std::string textOf(int32_t code) {
    char text[2048];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(spectrometer_getLastError(code, text, sizeof text), 0);
    return text;
}

class ErrorText : public ::testing::Test {
  protected:
    void SetUp() override {
        driverState.lastError = 0;
        driverState.lastPlatformError = 0;
    }
};

struct CodeCase {
    int32_t code;
    std::string text;
};

class ErrorTextOfCode : public ErrorText, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(ErrorTextOfCode, IsTheCodesMessage) {
    EXPECT_EQ(textOf(GetParam().code), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    DriverCodes, ErrorTextOfCode,
    ::testing::Values(CodeCase{0, "No Error"}, CodeCase{1, "Could not connect to command socket"},
                      CodeCase{2, "Could not connect to data socket"},
                      CodeCase{3, "Timed out waiting for OK"},
                      CodeCase{4, "An error occured on the spectrometer"},
                      CodeCase{5, "Could not connect to a socket"},
                      CodeCase{6, "An exception occured while connecting to a network socket"},
                      CodeCase{7, "Calscan failed"}, CodeCase{8, "Could not start scan thread"},
                      CodeCase{9, "No Data Available"}, CodeCase{10, "scan thread is not running"},
                      CodeCase{11, "Deadman Timeout"}, CodeCase{12, "Scan timeout"},
                      CodeCase{13, "Not enough data was delivered"},
                      CodeCase{14, "Socket read error"}, CodeCase{15, "unkown OstrelTCP error 15"},
                      CodeCase{16, "Invalid argument: a required pointer is null"},
                      CodeCase{17, "Points setting out of range (1 to 32768 per direction)"},
                      CodeCase{18, "Scan direction setting out of range (1, 2 or 3)"},
                      CodeCase{19, "unkown OstrelTCP error 19"},
                      CodeCase{100, "unkown OstrelTCP error 100"}));

INSTANTIATE_TEST_SUITE_P(
    SocketCodes, ErrorTextOfCode,
    ::testing::Values(CodeCase{0x8000, "WIL_CANNOT_COMPLY Cannot comply"},
                      CodeCase{0x8001, "WIL_EOF Socket has been closed."},
                      CodeCase{0x8002, "WIL_ALREADY_IN_USE "}, CodeCase{0x8003, "WIL_NOT_IN_USE "},
                      CodeCase{0x8004, "WIL_IS_BLOCKING WINSOCK is currently blocking."},
                      CodeCase{0x8005, "WIL_BAD_STATUS_FLAG Bad status flag passed to wilStatus."},
                      CodeCase{0x8006, "WIL_BAD_DOTTED Bad dotted decimal address."},
                      CodeCase{0x8007, "WIL_INVALID_SOCKET "},
                      CodeCase{0x8008, "WIL_TIMED_OUT Socket timed out."},
                      CodeCase{0x8009, "WIL_NO_SOCK_ADDR No available sockaddr structures."},
                      CodeCase{0x800A, "WIL_NO_PROTOCOL No such protocol."},
                      CodeCase{0x800B, "WIL_NO_SERVICE No such service."},
                      CodeCase{0x800C, "WIL_NO_HOST No host name."},
                      CodeCase{0x800F, "WIL_NO_IP_ADDR "}, CodeCase{0x8010, "WIL_AWAITING "},
                      CodeCase{0x8000 | 10061, "winerror 10061 " + kRefused},
                      CodeCase{0x8000 | 10093,
                               "winerror 10093 The socket service has not been started."},
                      CodeCase{0x8000 | 10067, "winerror 10067 "},
                      CodeCase{0x800D, "winerror 13 " + std::string(std::strerror(13))},
                      CodeCase{-1, "winerror -32769 "}));

TEST_F(ErrorText, DriverCodeCarriesThePlatformErrorOfTheLastFailure) {
    driverState.lastPlatformError = 10061;
    EXPECT_EQ(textOf(3), "Timed out waiting for OK winerror  10061 " + kRefused);
    EXPECT_EQ(textOf(15), "unkown OstrelTCP error 15 winerror  10061 " + kRefused);
    EXPECT_EQ(textOf(0x8000 | 10061), "winerror 10061 " + kRefused);
    driverState.lastPlatformError = -5;
    EXPECT_EQ(textOf(3), "Timed out waiting for OK");
}

TEST_F(ErrorText, CodeZeroMeansTheLastRecordedCode) {
    errno = 0;
    EXPECT_EQ(ostrel::setSocketError(-10061), 0xA74D);
    EXPECT_EQ(textOf(0), "winerror 10061 " + kRefused);
    EXPECT_EQ(ostrel::setLastError(14), 14);
    EXPECT_EQ(textOf(0), "Socket read error");
}

struct RecordCase {
    int32_t socketLayerCode;
    int32_t recorded;
};

class SetSocketError : public ErrorText, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(SetSocketError, RecordsTheMagnitudeWithTheSocketFlag) {
    EXPECT_EQ(ostrel::setSocketError(GetParam().socketLayerCode), GetParam().recorded);
    EXPECT_EQ(driverState.lastError, GetParam().recorded);
}

INSTANTIATE_TEST_SUITE_P(Codes, SetSocketError,
                         ::testing::Values(RecordCase{-1, 32769}, RecordCase{-9, 32777},
                                           RecordCase{-10061, 42829}, RecordCase{-10093, 42861},
                                           RecordCase{0, 0x8000}));

TEST_F(ErrorText, SetLastErrorTracesAndKeepsTheCallersPlatformError) {
    TraceFile trace;
    errno = ECONNRESET;
    EXPECT_EQ(ostrel::setLastError(13), 13);
    EXPECT_EQ(driverState.lastError, 13);
    EXPECT_EQ(driverState.lastPlatformError, 10054);
    EXPECT_EQ(trace.lines(), std::vector<std::string>{"OstrelTCP setLastError 13"});
}

TEST_F(ErrorText, EveryCallTracesOneLineWithTheTracedNumber) {
    TraceFile trace;
    textOf(0x8001);
    textOf(0x8000 | 10061);
    textOf(7);
    EXPECT_EQ(trace.lines(),
              (std::vector<std::string>{
                  "OstrelTCP spectrometer_getLastError -1 WIL_EOF Socket has been closed.",
                  "OstrelTCP spectrometer_getLastError 10061 winerror 10061 " + kRefused,
                  "OstrelTCP spectrometer_getLastError 7 Calscan failed"}));
}

struct BufferCase {
    int32_t size;
    std::string written;  // what the buffer holds afterwards
};

class ErrorTextBuffer : public ErrorText, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(ErrorTextBuffer, NeverWritesPastSizeMinusOne) {
    char text[32];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(spectrometer_getLastError(7, text, GetParam().size), 0);
    EXPECT_EQ(std::string(text, GetParam().written.size()), GetParam().written);
    EXPECT_EQ(text[GetParam().written.size()], GetParam().size > 0 ? '\0' : '#');
    EXPECT_EQ(text[GetParam().size > 0 ? GetParam().size : 0], '#');
}

INSTANTIATE_TEST_SUITE_P(Sizes, ErrorTextBuffer,
                         ::testing::Values(BufferCase{20, "Calscan failed"},
                                           BufferCase{15, "Calscan failed"},
                                           BufferCase{8, "Calscan"}, BufferCase{1, ""},
                                           BufferCase{0, ""}, BufferCase{-4, ""}));

TEST_F(ErrorText, NullBufferIsLeftAloneButTheCallIsStillTraced) {
    TraceFile trace;
    EXPECT_EQ(spectrometer_getLastError(3, nullptr, 100), 0);
    EXPECT_EQ(trace.lines().size(), 1u);
}

}  // namespace
