// Whole host runs through the library loaded at run time, exactly as a host application calls
// it, against the simulator on loopback: the lifecycle, the settings and I/O commands, the
// calibration scan, and what open reports for each way an instrument can fail to answer.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "driver_library.h"
#include "support/host_event.h"
#include "support/loopback.h"
#include "support/resources.h"
#include "support/sim_fixture.h"

namespace {

using ostrel::host::DriverApi;
using ostrel::host::DriverLibrary;
using ostrel::sim::Fault;
using ostrel::sim::Phase;
using ostrel::testing::HostEvent;
using ostrel::testing::Stopwatch;

constexpr int kRunLimitMs = 20000;

class HostRun : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(library.load(DriverLibrary::defaultPath(), &error)) << error;
        simulator = ostrel::testing::startSimulator();
        ASSERT_NE(simulator, nullptr);
        ASSERT_EQ(api().spectrometer_setIPAddress("127.0.0.1"), 0);
    }
    void TearDown() override {
        if (library.loaded()) {
            api().spectrometer_close();
        }
    }
    const DriverApi& api() const { return library.api(); }
    int32_t status() const {
        int32_t value = 0;
        api().spectrometer_getStatus(&value);
        return value;
    }
    std::string lastError(int32_t code = 0) const {
        return ostrel::host::lastErrorText(api(), code);
    }

    // Runs one co-add of `files` files, reading each published file; returns the files published.
    int runFiles(int files) {
        api().spectrometer_setFiles(files);
        if (api().spectrometer_startCoadd(0) != 0) {
            return -1;
        }
        int32_t points = 0;
        api().spectrometer_getPoints(&points);
        std::vector<double> curve(static_cast<size_t>(points));
        // Files published faster than the host wakes add up in one event count; the host then
        // reads the latest of them.
        int published = 0;
        while (published < files) {
            if (!coadd.wait(kRunLimitMs) || failed.wait(0)) {
                return published;
            }
            published += static_cast<int>(coadd.take());
            double stamp = 0.0;
            if (api().spectrometer_getData(curve.data(), points, &stamp) != 0) {
                return -2;
            }
        }
        done.wait(kRunLimitMs);
        done.take();
        // The thread signals files-complete just before it stores its final status.
        Stopwatch watch;
        while (status() != 4 && watch.elapsedMs() < 2000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return published;
    }

    // The host's events outlive every run: TearDown closes the driver before they go.
    HostEvent scan, coadd, done, failed;
    DriverLibrary library;
    std::unique_ptr<ostrel::sim::Simulator> simulator;
};

TEST_F(HostRun, WholeRunTwiceWithEverySettingCalibrationAndThreeFiles) {
    for (int round = 0; round < 2; ++round) {
        simulator->clearLogs();
        ASSERT_EQ(api().spectrometer_open(round), 0) << lastError();
        EXPECT_EQ(status(), 4);
        ASSERT_EQ(api().spectrometer_setPoints(2048), 0);
        ASSERT_EQ(api().spectrometer_setScans(3), 0);
        ASSERT_EQ(api().spectrometer_setScanDirection(3), 0);
        ASSERT_EQ(api().spectrometer_setGain(2), 0);
        ASSERT_EQ(api().spectrometer_setSkipPoints(10), 0);
        api().spectrometer_setScanCompleteEventHandle(scan.handle());
        api().spectrometer_setCoaddCompleteEventHandle(coadd.handle());
        api().spectrometer_setFilesCompleteEventHandle(done.handle());
        api().spectrometer_setErrorEventHandle(failed.handle());
        ASSERT_EQ(api().spectrometer_calibrationScan(), 0) << lastError();
        EXPECT_EQ(runFiles(3), 3);
        EXPECT_EQ(failed.take(), 0u);
        EXPECT_EQ(status(), 4);
        const std::vector<std::string> expected = {
            "deliverAll 0\r\n", "points 2048\r\n", "numscans 3\r\n", "scandir 3\r\n", "gain 2\r\n",
            "skip 10\r\n",
            // the calibration's own settings and its scan
            "points 16384\r\n", "numscans 1\r\n", "skip 0\r\n", "scandir 1\r\n", "gain 0\r\n",
            "scan\r\n"};
        std::vector<std::string> log = simulator->commandLog();
        ASSERT_GE(log.size(), expected.size() + 1);
        EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 12), expected);
        EXPECT_EQ(log[12].rfind("skip ", 0), 0u);  // the calibrated skip points
        ASSERT_EQ(api().spectrometer_close(), 0);
    }
}

TEST_F(HostRun, CalibrationSetsSkipPointsFromThePeakAndRestoresTheHostSettings) {
    ASSERT_EQ(api().spectrometer_open(0), 0);
    api().spectrometer_setPoints(8192);
    api().spectrometer_setScans(16);
    api().spectrometer_setScanDirection(3);
    api().spectrometer_setGain(1);
    ASSERT_EQ(api().spectrometer_calibrationScan(), 0);

    int32_t value = 0;
    api().spectrometer_getPoints(&value);
    EXPECT_EQ(value, 16384);  // 2 x 8192 again
    api().spectrometer_getScans(&value);
    EXPECT_EQ(value, 16);
    api().spectrometer_getGain(&value);
    EXPECT_EQ(value, 1);
    int32_t skip = 0;
    api().spectrometer_getSkipPoints(&skip);
    // The burst of the reference scan (16384 points, skip 0) lies at the configured centre.
    const ostrel::sim::Config config = ostrel::testing::fastConfig();
    EXPECT_NEAR(skip, config.burstCentre - 256, 8);
    EXPECT_EQ(simulator->settings().skip, skip);
}

TEST_F(HostRun, CoaddAfterCalibrationSendsTheHostSettingsTheInstrumentLost) {
    ASSERT_EQ(api().spectrometer_open(0), 0);
    api().spectrometer_setPoints(1024);
    api().spectrometer_setScans(2);
    api().spectrometer_setScanDirection(3);
    api().spectrometer_setGain(1);
    ASSERT_EQ(api().spectrometer_calibrationScan(), 0);
    simulator->clearLogs();

    api().spectrometer_setCoaddCompleteEventHandle(coadd.handle());
    api().spectrometer_setFilesCompleteEventHandle(done.handle());
    api().spectrometer_setErrorEventHandle(failed.handle());
    EXPECT_EQ(runFiles(2), 2);
    EXPECT_EQ(failed.take(), 0u);
    const std::vector<std::string> log = simulator->commandLog();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 4),
              (std::vector<std::string>{"points 1024\r\n", "numscans 2\r\n", "scandir 3\r\n",
                                        "gain 1\r\n"}));
    EXPECT_EQ(simulator->settings().points, 1024);

    // A second run has nothing to send again.
    simulator->clearLogs();
    EXPECT_EQ(runFiles(1), 1);
    EXPECT_EQ(simulator->commandLog().front(), "scan\r\n");
}

TEST_F(HostRun, CalibrationAfterCloseClearsTheStopFlagAndMeasuresARealScan) {
    ASSERT_EQ(api().spectrometer_open(0), 0);
    api().spectrometer_close();  // leaves the stop flag set
    ASSERT_EQ(api().spectrometer_open(0), 0);
    simulator->setScanMsAt16k(200.0);
    ASSERT_EQ(api().spectrometer_calibrationScan(), 0);
    EXPECT_EQ(simulator->scansRun(), 1);
}

// Output numbers of the auxiliary outputs, by mask, and the value sent for a state.
struct AuxRow {
    uint32_t state;
    uint32_t mask;
    const char* command;
};

void PrintTo(const AuxRow& row, std::ostream* out) {
    *out << "state " << row.state << " mask 0x" << std::hex << row.mask;
}

class HostRunAux : public HostRun, public ::testing::WithParamInterface<AuxRow> {};

TEST_P(HostRunAux, MaskSelectsTheOutputNumber) {
    ASSERT_EQ(api().spectrometer_open(0), 0);
    simulator->clearLogs();
    EXPECT_EQ(api().spectrometer_writeAux(GetParam().state, GetParam().mask), 0);
    EXPECT_EQ(simulator->commandLog(), (std::vector<std::string>{GetParam().command}));
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, HostRunAux,
    ::testing::Values(AuxRow{0, 1, "valve 49 1\r\n"}, AuxRow{1, 1, "valve 49 0\r\n"},
                      AuxRow{0x10000, 1, "valve 49 1\r\n"}, AuxRow{1, 0x20, "valve 54 0\r\n"},
                      AuxRow{1, 0x40, "valve 58 0\r\n"}, AuxRow{1, 0x80, "valve 57 0\r\n"},
                      AuxRow{1, 0xC0, "valve 55 0\r\n"}, AuxRow{1, 0, "valve 49 0\r\n"},
                      AuxRow{1, 0x100, "valve 57 0\r\n"}, AuxRow{1, 0x8000, "valve 64 0\r\n"},
                      AuxRow{0, 0x18000, "valve 64 1\r\n"}));

TEST_F(HostRun, FibreReadingsArePackedTwelveBitsPerInputTwoInputsAWord) {
    ASSERT_EQ(api().spectrometer_open(0), 0);
    simulator->setFibreReading(1, 1234);
    simulator->setFibreReading(2, 5);
    simulator->setFibreReading(16, 4097);
    uint16_t requests[16] = {};
    requests[0] = requests[1] = requests[15] = 1;
    uint32_t results[16];
    std::fill(std::begin(results), std::end(results), 0xFFFFFFFFu);
    simulator->clearLogs();
    ASSERT_EQ(api().spectrometer_readFiber(requests, results), 0);
    EXPECT_EQ(results[0], 0x000504D2u);
    EXPECT_EQ(results[7], 0x00010000u);  // 4097 keeps its low 12 bits: 1, in the high half
    for (int word = 1; word < 16; ++word) {
        if (word != 7) {
            EXPECT_EQ(results[word], 0u) << word;
        }
    }
    EXPECT_EQ(simulator->commandLog(),
              (std::vector<std::string>{"input 1\r\n", "input 2\r\n", "input 16\r\n"}));

    uint16_t none[16] = {};
    simulator->clearLogs();
    EXPECT_EQ(api().spectrometer_readFiber(none, results), 0);
    EXPECT_TRUE(simulator->commandLog().empty());
    EXPECT_EQ(results[0], 0u);
}

TEST_F(HostRun, ValveCommandsAndVersionAreSentVerbatim) {
    ASSERT_EQ(api().spectrometer_open(0), 0);
    simulator->clearLogs();
    const int32_t three[3] = {1, -2, 3};
    EXPECT_EQ(api().spectrometer_safeValves(7, three), 0);
    EXPECT_EQ(api().spectrometer_writeFiber(three), 0);
    EXPECT_EQ(api().spectrometer_version(), 42);
    EXPECT_EQ(api().spectrometer_initialize(), 0);
    EXPECT_EQ(simulator->commandLog(),
              (std::vector<std::string>{"savesafe 7 1 -2 3\r\n", "valves 1 -2 3\r\n", "version\r\n",
                                        "init\r\n"}));
}

TEST_F(HostRun, WriteAuxDuringARunSendsWithoutWaitingAndTheRunGoesOn) {
    ASSERT_EQ(api().spectrometer_open(0), 0);
    api().spectrometer_setPoints(1024);
    api().spectrometer_setScans(20);
    api().spectrometer_setScanDirection(1);
    simulator->setScanMsAt16k(320.0);  // 20 ms a scan
    api().spectrometer_setFilesCompleteEventHandle(done.handle());
    api().spectrometer_setErrorEventHandle(failed.handle());
    api().spectrometer_setFiles(1);
    ASSERT_EQ(api().spectrometer_startCoadd(0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Stopwatch watch;
    EXPECT_EQ(api().spectrometer_writeAux(0, 2), 0);
    EXPECT_LT(watch.elapsedMs(), 50.0);
    EXPECT_TRUE(done.wait(kRunLimitMs));
    EXPECT_EQ(failed.take(), 0u);
    const std::vector<std::string> log = simulator->commandLog();
    EXPECT_NE(std::find(log.begin(), log.end(), "valve 50 1\r\n"), log.end());
}

TEST_F(HostRun, OpenAgainstAPortNobodyListensOnReportsTheRefusal) {
    setenv("OSTRELTCP_COMMAND_PORT", std::to_string(ostrel::testing::unusedPort()).c_str(), 1);
    EXPECT_EQ(api().spectrometer_open(0), 0xA74D);
    EXPECT_EQ(status(), 1);
    const std::string text = lastError();
    EXPECT_EQ(text.rfind("winerror 10061 ", 0), 0u) << text;
    EXPECT_EQ(text.find(" winerror  "), std::string::npos) << text;
    api().spectrometer_close();
    setenv("OSTRELTCP_COMMAND_PORT", std::to_string(simulator->commandPort()).c_str(), 1);
    EXPECT_EQ(api().spectrometer_open(0), 0);
}

TEST_F(HostRun, OpenWithAClosedDataPortFailsOnTheDataConnection) {
    setenv("OSTRELTCP_DATA_PORT", std::to_string(ostrel::testing::unusedPort()).c_str(), 1);
    EXPECT_EQ(api().spectrometer_open(0), 0xA74D);
    api().spectrometer_close();
    setenv("OSTRELTCP_DATA_PORT", std::to_string(simulator->dataPort()).c_str(), 1);
    EXPECT_EQ(api().spectrometer_open(0), 0);
}

TEST_F(HostRun, OpenAgainstAnAddressThatNeverAnswersGivesCode5AfterTheCheck) {
    ostrel::testing::Listener neverAccepts(0);
    // Fill the accept queue so that further connection attempts stay pending.
    int fillers[2];
    for (int& filler : fillers) {
        filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const sockaddr_in address = ostrel::testing::loopbackAddress(neverAccepts.port());
        connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    setenv("OSTRELTCP_COMMAND_PORT", std::to_string(neverAccepts.port()).c_str(), 1);
    Stopwatch watch;
    EXPECT_EQ(api().spectrometer_open(0), 5);
    EXPECT_GE(watch.elapsedMs(), 1900.0);
    EXPECT_LT(watch.elapsedMs(), 3000.0);
    EXPECT_EQ(lastError(5).rfind("Could not connect to a socket", 0), 0u);
    for (int filler : fillers) {
        close(filler);
    }
    api().spectrometer_close();
    setenv("OSTRELTCP_COMMAND_PORT", std::to_string(simulator->commandPort()).c_str(), 1);
    EXPECT_EQ(api().spectrometer_open(0), 0);
}

TEST_F(HostRun, MalformedAddressIsRefusedWithItsOwnText) {
    for (const char* address : {"", "localhost", "10.0.0", "1.2.3.4.5", "300.1.2.3"}) {
        api().spectrometer_setIPAddress(address);
        EXPECT_EQ(api().spectrometer_open(0), 0x8006) << address;
        EXPECT_EQ(lastError().rfind("WIL_BAD_DOTTED Bad dotted decimal address.", 0), 0u);
        api().spectrometer_close();
    }
    api().spectrometer_setIPAddress(std::string(200, '1').c_str());
    EXPECT_EQ(api().spectrometer_open(0), 0x8006);
    api().spectrometer_close();
}

TEST_F(HostRun, StopWhileNoRunIsInProgressRecordsCode10AndChangesNothing) {
    ASSERT_EQ(api().spectrometer_open(0), 0);
    api().spectrometer_setFiles(5);
    EXPECT_EQ(api().spectrometer_stop(), 10);
    int32_t files = 0;
    api().spectrometer_getFiles(&files);
    EXPECT_EQ(files, 5);
    EXPECT_TRUE(simulator->datagramLog().empty());
}

TEST_F(HostRun, OpenCloseCyclesLeakNoDescriptorOrThread) {
    ASSERT_EQ(api().spectrometer_open(0), 0);
    api().spectrometer_close();
    // The simulator runs in this process: count once its side of the connections has closed.
    ASSERT_TRUE(simulator->waitFor([&] { return simulator->connectedClients() == 0; }, 2000));
    const int descriptors = ostrel::testing::openDescriptors();
    const int threads = ostrel::testing::processThreads();
    for (int cycle = 0; cycle < 50; ++cycle) {
        ASSERT_EQ(api().spectrometer_open(cycle), 0) << cycle;
        if (cycle % 10 == 0) {
            api().spectrometer_setPoints(256);
            api().spectrometer_setScanDirection(1);
            api().spectrometer_setCoaddCompleteEventHandle(coadd.handle());
            api().spectrometer_setFilesCompleteEventHandle(done.handle());
            api().spectrometer_setErrorEventHandle(failed.handle());
            EXPECT_EQ(runFiles(1), 1);
            api().spectrometer_setCoaddCompleteEventHandle(0);
            api().spectrometer_setFilesCompleteEventHandle(0);
            api().spectrometer_setErrorEventHandle(0);
        }
        api().spectrometer_close();
    }
    ASSERT_TRUE(simulator->waitFor([&] { return simulator->connectedClients() == 0; }, 2000));
    EXPECT_EQ(ostrel::testing::openDescriptors(), descriptors);
    EXPECT_EQ(ostrel::testing::processThreads(), threads);
}

class HostRunSlow : public HostRun {};

TEST_F(HostRunSlow, StopDuringARunRebootsReconnectsAndTheNextRunWorks) {
    ASSERT_EQ(api().spectrometer_open(0), 0);
    api().spectrometer_setPoints(1024);
    api().spectrometer_setScanDirection(3);
    api().spectrometer_setScans(50);
    simulator->setScanMsAt16k(1600.0);  // 100 ms a scan: the run lasts
    api().spectrometer_setFiles(0);
    ASSERT_EQ(api().spectrometer_startCoadd(0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Stopwatch watch;
    EXPECT_EQ(api().spectrometer_stop(), 0) << lastError();
    EXPECT_GE(watch.elapsedMs(), 5000.0);
    EXPECT_LT(watch.elapsedMs(), 12000.0);
    EXPECT_EQ(simulator->datagramLog(), (std::vector<std::string>{"REBOOT"}));
    int32_t files = 0;
    api().spectrometer_getFiles(&files);
    EXPECT_EQ(files, 1);
    EXPECT_EQ(status(), 4);

    simulator->setScanMsAt16k(2.0);
    api().spectrometer_setPoints(1024);
    api().spectrometer_setScans(2);
    api().spectrometer_setScanDirection(3);
    api().spectrometer_setCoaddCompleteEventHandle(coadd.handle());
    api().spectrometer_setFilesCompleteEventHandle(done.handle());
    api().spectrometer_setErrorEventHandle(failed.handle());
    EXPECT_EQ(runFiles(1), 1);
}

TEST_F(HostRunSlow, StopCyclesLeakNoDescriptorOrThread) {
    ASSERT_EQ(api().spectrometer_open(0), 0);
    api().spectrometer_setPoints(1024);
    api().spectrometer_setScans(50);
    simulator->setScanMsAt16k(1600.0);
    const int descriptors = ostrel::testing::openDescriptors();
    const int threads = ostrel::testing::processThreads();
    for (int cycle = 0; cycle < 10; ++cycle) {
        api().spectrometer_setFiles(0);
        ASSERT_EQ(api().spectrometer_startCoadd(0), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(api().spectrometer_stop(), 0) << cycle << ": " << lastError();
    }
    EXPECT_EQ(ostrel::testing::openDescriptors(), descriptors);
    EXPECT_EQ(ostrel::testing::processThreads(), threads);
    EXPECT_EQ(simulator->datagramLog().size(), 10u);
}

TEST_F(HostRunSlow, OpenAgainstAnInstrumentThatNeverGreetsGivesCode1AfterTheLimit) {
    simulator->setFault(Phase::CommandGreeting, Fault::NoGreeting);
    Stopwatch watch;
    EXPECT_EQ(api().spectrometer_open(0), 1);
    EXPECT_GE(watch.elapsedMs(), 9900.0);
    EXPECT_LT(watch.elapsedMs(), 11000.0);
    EXPECT_EQ(lastError().rfind("Could not connect to command socket", 0), 0u);
    EXPECT_EQ(status(), 1);
    api().spectrometer_close();
    simulator->clearFaults();
    EXPECT_EQ(api().spectrometer_open(0), 0);
}

TEST_F(HostRunSlow, OpenAgainstAGreetingWithoutReadyGivesCode1AfterTheLimit) {
    simulator->setFault(Phase::CommandGreeting, Fault::GreetingWithoutReady);
    EXPECT_EQ(api().spectrometer_open(0), 1);
    api().spectrometer_close();
    simulator->setFault(Phase::CommandGreeting, Fault::None);
    simulator->setFault(Phase::DataGreeting, Fault::GreetingWithoutReady);
    EXPECT_EQ(api().spectrometer_open(0), 2);
    api().spectrometer_close();
    simulator->clearFaults();
    EXPECT_EQ(api().spectrometer_open(0), 0);
}

}  // namespace
