// Every fault the simulator can inject, in every stage of the driver's work where it can strike:
// the greeting of each connection at open, a settings command, the scan sequence, the data
// transfer and close. Each row checks the result and the recorded code, the error text, the
// host events, the status, how long the call took against the limit that applies, and that a
// following open against a healthy instrument succeeds. The rows are printed as one table when
// the program ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/wil.h"
#include "ostreltcp.h"
#include "processing/data_block.h"
#include "reliability/run_harness.h"
#include "state/driver_state.h"
#include "support/sim_fixture.h"

namespace ostrel::testing {
namespace {

using sim::Fault;
using sim::Phase;

enum class Stage { OpenCommand, OpenData, Setting, Scan, ScanScansZero, Transfer, Close };

const char* stageName(Stage stage) {
    switch (stage) {
        case Stage::OpenCommand:
            return "open: command greeting";
        case Stage::OpenData:
            return "open: data greeting";
        case Stage::Setting:
            return "setPoints";
        case Stage::Scan:
            return "scan sequence";
        case Stage::ScanScansZero:
            return "scan sequence, scans 0";
        case Stage::Transfer:
            return "data transfer";
        case Stage::Close:
            return "close";
    }
    return "?";
}

struct MatrixRow {
    const char* name;
    Stage stage;
    Fault fault;       // armed in the stage's phase
    bool reboot;       // instead of a fault: the instrument restarts while connected
    int32_t code;      // the call's result and the last error; 0: the step succeeds
    const char* text;  // how the error text begins
    double limitMs;    // the limit the call must wait out; 0 when it ends at once
    // A second outcome that is just as right, when a race of the instrument and the driver
    // decides which of two failures is seen first; -1 when there is none.
    int32_t otherCode = -1;
    const char* otherText = "";
};

MatrixRow faultRow(const char* name, Stage stage, Fault fault, int32_t code, const char* text,
                   double limitMs = 0.0) {
    return {name, stage, fault, false, code, text, limitMs};
}

MatrixRow rebootRow(const char* name, Stage stage, int32_t code, const char* text,
                    double limitMs = 0.0) {
    return {name, stage, Fault::None, true, code, text, limitMs};
}

// A reset instead of the greeting. When it overtakes the check that the new connection is up,
// open fails in that check and records the reset itself (0x8000 | 10054).
MatrixRow greetingResetRow(const char* name, Stage stage, int32_t code, const char* text) {
    MatrixRow row{name, stage, Fault::Reset, false, code, text, 0.0};
    row.otherCode = 0x8000 | 10054;
    row.otherText = "winerror 10054 ";
    return row;
}

const char* faultName(const MatrixRow& row) {
    return row.reboot ? "Reboot" : sim::toString(row.fault);
}

void PrintTo(const MatrixRow& row, std::ostream* out) {
    *out << row.name;
}
std::string rowName(const ::testing::TestParamInfo<MatrixRow>& info) {
    return info.param.name;
}

// Some time past each limit: scheduling on a loaded two-processor machine, and the 1005 ms pace
// at which the scan sequence tests its limits.
constexpr double kSlackMs = 3000.0;

// The rows seen by this program, printed as one table at its end.
struct Outcome {
    std::string stage, fault, text;
    int32_t code;
    double elapsedMs;
};
std::vector<Outcome>& outcomes() {
    static std::vector<Outcome> rows;
    return rows;
}

class MatrixTable : public ::testing::Environment {
  public:
    void TearDown() override {
        if (outcomes().empty()) {
            return;
        }
        std::printf("\n%-24s %-22s %6s %9s  %s\n", "stage", "fault", "code", "time ms", "text");
        for (const Outcome& row : outcomes()) {
            std::printf("%-24s %-22s %6d %9.0f  %s\n", row.stage.c_str(), row.fault.c_str(),
                        row.code, row.elapsedMs, row.text.c_str());
        }
    }
};
[[maybe_unused]] const auto* const kTable = ::testing::AddGlobalTestEnvironment(new MatrixTable);

// The error text up to its first line end: a platform message appended to it may end in one.
std::string firstLine(const std::string& text) {
    const size_t end = text.find_first_of("\r\n");
    return text.substr(0, end);
}

class FaultMatrix : public ::testing::TestWithParam<MatrixRow> {
  protected:
    void SetUp() override {
        simulator = startSimulator();
        ASSERT_NE(simulator, nullptr);
        spectrometer_setIPAddress("127.0.0.1");
        driverState.lastError.store(0);
    }
    void TearDown() override {
        spectrometer_close();
        events.reset();
    }

    // Opens and sets up a small run; a known scan time turns the single-scan limit on.
    void openForRun() {
        ASSERT_EQ(spectrometer_open(0), 0) << lastErrorText();
        events = std::make_unique<RunEvents>();
        ASSERT_EQ(spectrometer_setPoints(kPoints), 0);
        ASSERT_EQ(spectrometer_setScans(2), 0);
        ASSERT_EQ(spectrometer_setScanDirection(3), 0);
        spectrometer_setFiles(1);
        driverState.calscanTime.store(100.0);
    }

    void arm(Phase phase, const MatrixRow& row, const char* prefix = "") {
        if (!row.reboot) {
            simulator->setFault(phase, row.fault, prefix);
        }
    }

    void reboot() {
        sendRebootDatagram(simulator->rebootPort());
        ASSERT_TRUE(simulator->waitFor([&] { return simulator->rebooting(); }, 2000));
    }

    // Runs the row's step; returns its result and how long it took.
    int32_t runStep(const MatrixRow& row, double* elapsedMs);
    int32_t openStep(const MatrixRow& row, double* elapsedMs);
    int32_t settingStep(const MatrixRow& row, double* elapsedMs);
    int32_t runStage(const MatrixRow& row, double* elapsedMs);
    int32_t closeStep(const MatrixRow& row, double* elapsedMs);

    void checkRow(const MatrixRow& row);

    static constexpr int kPoints = 2048;
    std::unique_ptr<sim::Simulator> simulator;
    std::unique_ptr<RunEvents> events;
};

int32_t FaultMatrix::openStep(const MatrixRow& row, double* elapsedMs) {
    arm(row.stage == Stage::OpenCommand ? Phase::CommandGreeting : Phase::DataGreeting, row);
    const int32_t statusBefore = driverStatus();
    const Stopwatch watch;
    const int32_t result = spectrometer_open(0);
    *elapsedMs = watch.elapsedMs();
    // A failed open leaves the status alone; a successful one reports Connected.
    EXPECT_EQ(driverStatus(), result == 0 ? 4 : statusBefore);
    return result;
}

int32_t FaultMatrix::settingStep(const MatrixRow& row, double* elapsedMs) {
    EXPECT_EQ(spectrometer_open(0), 0) << lastErrorText();
    arm(Phase::Command, row, "points");
    if (row.reboot) {
        reboot();
    }
    const Stopwatch watch;
    const int32_t result = spectrometer_setPoints(1024);
    *elapsedMs = watch.elapsedMs();
    // The value is kept whatever the instrument answered.
    int32_t points = 0;
    spectrometer_getPoints(&points);
    EXPECT_EQ(points, 2 * 1024);
    EXPECT_EQ(driverStatus(), 4);
    return result;
}

// A one-file run with the fault armed in the scan sequence or the transfer. The time is from
// the start of the run to its end.
int32_t FaultMatrix::runStage(const MatrixRow& row, double* elapsedMs) {
    openForRun();
    const bool scan = row.stage != Stage::Transfer;
    if (row.fault == Fault::Trickle && !scan) {
        simulator->setTrickle(512, 5.0);  // a 32 KiB block in some 300 ms
    }
    if (row.reboot) {
        // The reboot must find the driver inside the stage: a slow sequence, or a held block.
        if (scan) {
            simulator->setScanMsAt16k(1600.0);
        } else {
            simulator->setFault(Phase::DataTransfer, Fault::StallMidBlock);
        }
    }
    if (row.stage == Stage::ScanScansZero) {
        // As a refused setScans(0) leaves it: the co-add limit is 0 ms.
        driverState.scans.store(0);
        driverState.calscanTime.store(0.0);
    }
    arm(scan ? Phase::ScanSequence : Phase::DataTransfer, row);
    events->takeAll();
    simulator->clearLogs();

    const Stopwatch watch;
    const Stopwatch startCall;
    EXPECT_EQ(spectrometer_startCoadd(0), 0);
    EXPECT_LT(startCall.elapsedMs(), 1000.0);
    if (row.reboot) {
        EXPECT_TRUE(simulator->waitFor(
            [&] {
                return scan ? simulator->progressLinesSent() >= 1 : simulator->blocksSent() >= 1;
            },
            kRunLimitMs));
        reboot();
    }
    EXPECT_TRUE(awaitRunEnd(static_cast<int>(row.limitMs + kSlackMs + 5000.0)));
    *elapsedMs = watch.elapsedMs();

    EXPECT_EQ(driverStatus(), 4);
    const bool failed = driverState.lastError.load() != 0;
    EXPECT_EQ(events->error.take(), failed ? 1u : 0u);
    EXPECT_EQ(events->files.take(), failed ? 0u : 1u);
    if (!failed) {
        // The file that made it through is the instrument's block, converted.
        std::vector<uint8_t> block = simulator->lastBlock();
        std::vector<double> expected(2 * kPoints);
        int32_t count = 0;
        ostrel::unglomData(block.data(), &count, kPoints, 3, expected.data());
        std::vector<double> curve(2 * kPoints);
        double stamp = 0.0;
        EXPECT_EQ(spectrometer_getData(curve.data(), 2 * kPoints, &stamp), 0);
        EXPECT_EQ(curve, expected);
    }
    return driverState.lastError.load();
}

// close with the connections in the state the row's fault leaves them; close never fails, and
// a stopped run is no instrument failure.
int32_t FaultMatrix::closeStep(const MatrixRow& row, double* elapsedMs) {
    openForRun();
    if (row.reboot) {
        reboot();
    } else if (row.fault == Fault::CloseMidBlock) {
        arm(Phase::Command, row, "init");
        EXPECT_EQ(spectrometer_initialize(), 3);
    } else {
        const bool scan = row.fault == Fault::Silence;
        driverState.calscanTime.store(0.0);  // no limit: only close ends the wait
        simulator->setTrickle(1, 5.0);
        arm(scan ? Phase::ScanSequence : Phase::DataTransfer, row);
        events->takeAll();
        EXPECT_EQ(spectrometer_startCoadd(0), 0);
        EXPECT_TRUE(simulator->waitFor(
            [&] {
                return scan ? simulator->progressLinesSent() >= 1 : simulator->blocksSent() >= 1;
            },
            kRunLimitMs));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    driverState.lastError.store(0);
    EXPECT_EQ(socketSlotsInUse(), 2);
    const Stopwatch watch;
    const int32_t result = spectrometer_close();
    *elapsedMs = watch.elapsedMs();
    EXPECT_EQ(socketSlotsInUse(), 0);
    EXPECT_FALSE(runInProgress());
    EXPECT_EQ(events->error.take(), 0u);
    EXPECT_EQ(driverState.lastError.load(), 0);
    return result;
}

int32_t FaultMatrix::runStep(const MatrixRow& row, double* elapsedMs) {
    switch (row.stage) {
        case Stage::OpenCommand:
        case Stage::OpenData:
            return openStep(row, elapsedMs);
        case Stage::Setting:
            return settingStep(row, elapsedMs);
        case Stage::Scan:
        case Stage::ScanScansZero:
        case Stage::Transfer:
            return runStage(row, elapsedMs);
        case Stage::Close:
            return closeStep(row, elapsedMs);
    }
    return -1;
}

void FaultMatrix::checkRow(const MatrixRow& row) {
    double elapsedMs = 0.0;
    const int32_t result = runStep(row, &elapsedMs);
    const std::string text = row.code == 0 ? "" : firstLine(lastErrorText());
    outcomes().push_back({stageName(row.stage), faultName(row), text, result, elapsedMs});

    const bool other = row.otherCode >= 0 && result == row.otherCode;
    EXPECT_EQ(result, other ? row.otherCode : row.code);
    EXPECT_EQ(driverState.lastError.load(), result);
    EXPECT_EQ(text.rfind(other ? row.otherText : row.text, 0), 0u) << text;
    // A wait that the row's limit ends must really last that long, and not much longer.
    if (row.limitMs > 0) {
        EXPECT_GE(elapsedMs, row.limitMs - 100.0);
    }
    EXPECT_LT(elapsedMs, row.limitMs + kSlackMs);

    // The driver is usable again once the instrument is healthy.
    simulator->clearFaults();
    spectrometer_close();
    events.reset();
    ASSERT_TRUE(simulator->waitFor([&] { return !simulator->rebooting(); }, 5000));
    simulator->setScanMsAt16k(2.0);
    EXPECT_TRUE(openAndRunOneFile());
}

TEST_P(FaultMatrix, EndsWithTheSpecifiedCodeTextAndTimeAndTheDriverRecovers) {
    checkRow(GetParam());
}

using FaultMatrixSlow = FaultMatrix;

TEST_P(FaultMatrixSlow, EndsWithTheSpecifiedCodeTextAndTimeAndTheDriverRecovers) {
    checkRow(GetParam());
}

constexpr const char* kNoCommand = "Could not connect to command socket";
constexpr const char* kNoData = "Could not connect to data socket";
constexpr const char* kNoOk = "Timed out waiting for OK";
constexpr const char* kInstrumentError = "An error occured on the spectrometer";
constexpr const char* kScanError = "unkown OstrelTCP error 15";
constexpr const char* kReadError = "Socket read error";
constexpr const char* kScanTimeout = "Scan timeout";
constexpr const char* kDeadman = "Deadman Timeout";
constexpr const char* kShortBlock = "Not enough data was delivered";

// The wait for "ready" at open, for "OK" after a command, and for a stalled block.
constexpr double kReadyMs = 10000.0;
constexpr double kOkMs = 5000.0;
constexpr double kStallMs = 10000.0;
// A silent scan sequence fails at the first limit test, after one waitForResponse of three
// one-second waits with their 5 ms pauses.
constexpr double kSilentWaitMs = 3 * 1005.0;
// A progress line cut after its first byte uses up one of the three waits: a reply of one byte
// counts as none.
constexpr double kCutLineWaitMs = 2 * 1005.0;
// close checks each connection for up to a second before it closes it; a connection the
// instrument reset never passes the check.
constexpr double kResetCloseMs = 2 * 1000.0;

using F = Fault;
using S = Stage;

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultMatrix,
    ::testing::Values(
        faultRow("CommandGreetingCut", S::OpenCommand, F::CloseMidBlock, 1, kNoCommand),
        greetingResetRow("CommandGreetingReset", S::OpenCommand, 1, kNoCommand),
        faultRow("CommandGreetingTrickle", S::OpenCommand, F::Trickle, 0, ""),
        faultRow("DataGreetingCut", S::OpenData, F::CloseMidBlock, 2, kNoData),
        greetingResetRow("DataGreetingReset", S::OpenData, 2, kNoData),
        faultRow("DataGreetingTrickle", S::OpenData, F::Trickle, 0, ""),
        faultRow("SettingCut", S::Setting, F::CloseMidBlock, 3, kNoOk),
        faultRow("SettingReset", S::Setting, F::Reset, 3, kNoOk),
        faultRow("SettingTrickle", S::Setting, F::Trickle, 0, ""),
        rebootRow("SettingReboot", S::Setting, 3, kNoOk),
        faultRow("ScanError", S::Scan, F::ErrorReply, 15, kScanError),
        faultRow("ScanLowerCaseError", S::Scan, F::LowerCaseError, 15, kScanError),
        faultRow("ScanNoProgress", S::Scan, F::NoGreeting, 12, kScanTimeout, kSilentWaitMs),
        faultRow("ScanSilence", S::Scan, F::Silence, 12, kScanTimeout, kSilentWaitMs),
        faultRow("ScanSilenceScansZero", S::ScanScansZero, F::Silence, 11, kDeadman, kSilentWaitMs),
        faultRow("ScanLinesWithoutReady", S::Scan, F::GreetingWithoutReady, 12, kScanTimeout,
                 kSilentWaitMs),
        faultRow("ScanStall", S::Scan, F::StallMidBlock, 12, kScanTimeout, kCutLineWaitMs),
        faultRow("ScanShort", S::Scan, F::ShortBlock, 12, kScanTimeout, kCutLineWaitMs),
        faultRow("ScanCut", S::Scan, F::CloseMidBlock, 14, kReadError),
        faultRow("ScanReset", S::Scan, F::Reset, 14, kReadError),
        faultRow("ScanTrickle", S::Scan, F::Trickle, 0, ""),
        rebootRow("ScanReboot", S::Scan, 14, kReadError),
        faultRow("TransferCut", S::Transfer, F::CloseMidBlock, 13, kShortBlock),
        faultRow("TransferReset", S::Transfer, F::Reset, 13, kShortBlock),
        faultRow("TransferTrickle", S::Transfer, F::Trickle, 0, ""),
        rebootRow("TransferReboot", S::Transfer, 13, kShortBlock),
        rebootRow("CloseAfterReboot", S::Close, 0, "", kResetCloseMs),
        faultRow("CloseAfterPeerClosed", S::Close, F::CloseMidBlock, 0, ""),
        faultRow("CloseDuringSilentScan", S::Close, F::Silence, 0, ""),
        faultRow("CloseDuringStalledBlock", S::Close, F::StallMidBlock, 0, ""),
        faultRow("CloseDuringTrickledBlock", S::Close, F::Trickle, 0, "")),
    rowName);

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultMatrixSlow,
    ::testing::Values(
        faultRow("CommandNoGreeting", S::OpenCommand, F::NoGreeting, 1, kNoCommand, kReadyMs),
        faultRow("CommandSilence", S::OpenCommand, F::Silence, 1, kNoCommand, kReadyMs),
        faultRow("CommandWithoutReady", S::OpenCommand, F::GreetingWithoutReady, 1, kNoCommand,
                 kReadyMs),
        faultRow("CommandErrorGreeting", S::OpenCommand, F::ErrorReply, 1, kNoCommand, kReadyMs),
        faultRow("CommandLowerCaseGreeting", S::OpenCommand, F::LowerCaseError, 1, kNoCommand,
                 kReadyMs),
        faultRow("CommandGreetingStall", S::OpenCommand, F::StallMidBlock, 1, kNoCommand, kReadyMs),
        faultRow("CommandGreetingShort", S::OpenCommand, F::ShortBlock, 1, kNoCommand, kReadyMs),
        faultRow("DataNoGreeting", S::OpenData, F::NoGreeting, 2, kNoData, kReadyMs),
        faultRow("DataSilence", S::OpenData, F::Silence, 2, kNoData, kReadyMs),
        faultRow("DataWithoutReady", S::OpenData, F::GreetingWithoutReady, 2, kNoData, kReadyMs),
        faultRow("DataErrorGreeting", S::OpenData, F::ErrorReply, 2, kNoData, kReadyMs),
        faultRow("DataLowerCaseGreeting", S::OpenData, F::LowerCaseError, 2, kNoData, kReadyMs),
        faultRow("DataGreetingStall", S::OpenData, F::StallMidBlock, 2, kNoData, kReadyMs),
        faultRow("DataGreetingShort", S::OpenData, F::ShortBlock, 2, kNoData, kReadyMs),
        faultRow("SettingError", S::Setting, F::ErrorReply, 4, kInstrumentError, kOkMs),
        faultRow("SettingLowerCaseError", S::Setting, F::LowerCaseError, 3, kNoOk, kOkMs),
        faultRow("SettingNoReply", S::Setting, F::NoGreeting, 3, kNoOk, kOkMs),
        faultRow("SettingSilence", S::Setting, F::Silence, 3, kNoOk, kOkMs),
        faultRow("SettingWithoutOk", S::Setting, F::GreetingWithoutReady, 3, kNoOk, kOkMs),
        faultRow("SettingStall", S::Setting, F::StallMidBlock, 3, kNoOk, kOkMs),
        faultRow("SettingShort", S::Setting, F::ShortBlock, 3, kNoOk, kOkMs),
        faultRow("TransferErrorText", S::Transfer, F::ErrorReply, 13, kShortBlock, kStallMs),
        faultRow("TransferLowerCaseErrorText", S::Transfer, F::LowerCaseError, 13, kShortBlock,
                 kStallMs),
        faultRow("TransferNoBlock", S::Transfer, F::NoGreeting, 13, kShortBlock, kStallMs),
        faultRow("TransferSilence", S::Transfer, F::Silence, 13, kShortBlock, kStallMs),
        faultRow("TransferGreetingText", S::Transfer, F::GreetingWithoutReady, 13, kShortBlock,
                 kStallMs),
        faultRow("TransferStall", S::Transfer, F::StallMidBlock, 13, kShortBlock, kStallMs),
        faultRow("TransferShort", S::Transfer, F::ShortBlock, 13, kShortBlock, kStallMs)),
    rowName);

}  // namespace
}  // namespace ostrel::testing
