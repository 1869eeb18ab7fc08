// Co-add runs end to end: the in-process driver against the simulator over loopback TCP, with
// real threads and host events.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "acquisition/scan_thread.h"
#include "ostreltcp.h"
#include "processing/data_block.h"
#include "state/driver_state.h"
#include "support/host_event.h"
#include "support/sim_fixture.h"

namespace {

using ostrel::driverState;
using ostrel::sim::Fault;
using ostrel::sim::Phase;
using ostrel::testing::HostEvent;
using ostrel::testing::Stopwatch;

constexpr int kRunLimitMs = 20000;

// The curve the driver must publish for a block: the block converted by the library itself.
std::vector<double> processed(std::vector<uint8_t> block, int points, int scanDir) {
    std::vector<double> curve(2 * static_cast<size_t>(points));
    int32_t count = 0;
    ostrel::unglomData(block.data(), &count, points, scanDir, curve.data());
    curve.resize(static_cast<size_t>(count));
    return curve;
}

class Coadd : public ::testing::Test {
  protected:
    void SetUp() override { start(ostrel::testing::fastConfig()); }
    void start(const ostrel::sim::Config& config) {
        simConfig = config;
        simulator = ostrel::testing::startSimulator(config);
        ASSERT_NE(simulator, nullptr);
        spectrometer_setIPAddress("127.0.0.1");
        ASSERT_EQ(spectrometer_open(0), 0);
        spectrometer_setScanCompleteEventHandle(scanEvent.handle());
        spectrometer_setCoaddCompleteEventHandle(coaddEvent.handle());
        spectrometer_setFilesCompleteEventHandle(filesEvent.handle());
        spectrometer_setErrorEventHandle(errorEvent.handle());
    }
    void TearDown() override { spectrometer_close(); }

    void configure(int points, int scans, int direction, int files) {
        ASSERT_EQ(spectrometer_setPoints(points), 0);
        ASSERT_EQ(spectrometer_setScans(scans), 0);
        ASSERT_EQ(spectrometer_setScanDirection(direction), 0);
        spectrometer_setFiles(files);
    }

    // Waits until the run has ended (files-complete or error signalled, status back to 4).
    bool awaitEnd(int timeoutMs = kRunLimitMs) {
        Stopwatch watch;
        while (watch.elapsedMs() < timeoutMs) {
            int32_t status = 0;
            spectrometer_getStatus(&status);
            const ostrel::ScanThread* thread = driverState.scanThread.load();
            if (status == 4 && thread != nullptr && !thread->isRunning()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    ostrel::sim::Config simConfig;
    std::unique_ptr<ostrel::sim::Simulator> simulator;
    HostEvent scanEvent, coaddEvent, filesEvent, errorEvent;
};

// The driver signals the scan event once for each reply it reads, and lines that arrive together
// are one reply. 80 ms a scan at 1024 points and 80 ms before "ready", with no other test running
// (a suite named *Serial): one progress line a reply, and "ready" in a reply of its own. At 40 and
// 30 ms beside other tests, a loaded machine once held the driver's thread long enough for lines
// to arrive together.
class CoaddPacedSerial : public Coadd {
  protected:
    void SetUp() override {
        ostrel::sim::Config config = ostrel::testing::fastConfig();
        config.scanMsAt16k = 1280.0;
        config.readyDelayMs = 80.0;
        start(config);
    }
};

TEST_F(CoaddPacedSerial, ThreeFilesSignalEveryEventAndPublishEachFile) {
    configure(1024, 4, 3, 3);
    simulator->clearLogs();
    // The expected curves are computed before the run: the conversion's work arrays belong to
    // the scan thread while it runs.
    std::vector<std::vector<double>> expected;
    for (uint64_t block = 0; block < 3; ++block) {
        expected.push_back(
            processed(ostrel::sim::makeBlock(simConfig, simulator->settings(), block), 1024, 3));
    }
    ASSERT_EQ(spectrometer_startCoadd(0), 0);

    double lastStamp = 0.0;
    for (int file = 0; file < 3; ++file) {
        ASSERT_TRUE(coaddEvent.wait(kRunLimitMs)) << "file " << file;
        coaddEvent.take();
        std::vector<double> curve(2048, -1.0);
        double stamp = 0.0;
        ASSERT_EQ(spectrometer_getData(curve.data(), 2048, &stamp), 0);
        EXPECT_EQ(curve, expected[static_cast<size_t>(file)]) << "file " << file;
        EXPECT_GT(stamp, lastStamp);
        lastStamp = stamp;
    }
    ASSERT_TRUE(filesEvent.wait(kRunLimitMs));
    ASSERT_TRUE(awaitEnd());
    EXPECT_EQ(scanEvent.take(), 12u);  // one progress reply per scan
    EXPECT_EQ(filesEvent.take(), 1u);
    EXPECT_EQ(errorEvent.take(), 0u);
    EXPECT_EQ(coaddEvent.take(), 0u);
    int32_t files = 0;
    spectrometer_getFileProgress(&files);
    EXPECT_EQ(files, 3);
    int32_t scan = 0;
    spectrometer_getScanProgress(&scan);
    EXPECT_EQ(scan, 4);
    EXPECT_EQ(simulator->dataRequestLog(),
              (std::vector<std::string>{"send\n", "send\n", "send\n"}));
}

TEST_F(Coadd, StatusMovesThroughTheRunAndSettlesAtConnected) {
    configure(256, 2, 1, 2);
    int32_t status = 0;
    spectrometer_getStatus(&status);
    EXPECT_EQ(status, 4);
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    spectrometer_getStatus(&status);
    // 64 is stored before the thread starts, the thread stores 8 and finally 4.
    EXPECT_TRUE(status == 64 || status == 8 || status == 4) << status;
    ASSERT_TRUE(awaitEnd());
    spectrometer_getStatus(&status);
    EXPECT_EQ(status, 4);
}

TEST_F(Coadd, FilesZeroRunsUntilTheHostClosesAndTheDriverStaysUsable) {
    configure(256, 1, 1, 0);
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    ASSERT_TRUE(simulator->waitFor([&] { return simulator->blocksSent() >= 5; }, kRunLimitMs));
    Stopwatch watch;
    EXPECT_EQ(spectrometer_close(), 0);
    EXPECT_LT(watch.elapsedMs(), 5500.0);
    EXPECT_EQ(errorEvent.take(), 0u);

    ASSERT_EQ(spectrometer_open(0), 0);
    spectrometer_setFiles(1);
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    EXPECT_TRUE(filesEvent.wait(kRunLimitMs));
}

TEST_F(Coadd, StartWhileARunIsInProgressIsRefused) {
    simulator->setScanMsAt16k(2000.0);
    configure(1024, 10, 1, 1);
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    EXPECT_EQ(spectrometer_startCoadd(0), 8);
    EXPECT_EQ(driverState.lastError.load(), 8);
}

TEST_F(Coadd, StartRightAfterTheFilesCompleteEventIsAccepted) {
    configure(256, 1, 1, 1);
    for (int run = 0; run < 5; ++run) {
        ASSERT_EQ(spectrometer_startCoadd(0), 0) << "run " << run;
        ASSERT_TRUE(filesEvent.wait(kRunLimitMs));
        filesEvent.take();
    }
}

TEST_F(Coadd, PointsAboveTheBufferCapacityFailTheRunBeforeAnythingIsReceived) {
    configure(1024, 1, 3, 1);
    driverState.points.store(40000);  // as a refused setPoints(40000) leaves it
    simulator->clearLogs();
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    ASSERT_TRUE(errorEvent.wait(kRunLimitMs));
    ASSERT_TRUE(awaitEnd());
    EXPECT_EQ(driverState.lastError.load(), 17);
    EXPECT_TRUE(simulator->dataRequestLog().empty());
}

TEST_F(Coadd, HostReadingInATightLoopNeverSeesATornCurve) {
    configure(2048, 1, 3, 20);
    std::vector<std::vector<double>> expected;
    const ostrel::sim::Settings settings = simulator->settings();
    for (uint64_t block = 0; block < 20; ++block) {
        expected.push_back(processed(ostrel::sim::makeBlock(simConfig, settings, block), 2048, 3));
    }
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::atomic<int> mismatches{0};
    std::thread reader([&] {
        std::vector<double> curve(4096);
        while (!done.load()) {
            double stamp = 0.0;
            if (spectrometer_getData(curve.data(), 4096, &stamp) == 0) {
                ++reads;
                bool known = false;
                for (const auto& candidate : expected) {
                    known = known || candidate == curve;
                }
                mismatches += known ? 0 : 1;
            }
        }
    });
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    EXPECT_TRUE(filesEvent.wait(kRunLimitMs));
    done.store(true);
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
}

// A fault of the instrument during a run: the run ends with its code, the error event, status 4.
struct RunFault {
    const char* name;
    Phase phase;
    Fault fault;
    int32_t code;
};

void PrintTo(const RunFault& row, std::ostream* out) {
    *out << row.name;
}

std::string rowName(const ::testing::TestParamInfo<RunFault>& row) {
    return row.param.name;
}

class CoaddFault : public Coadd, public ::testing::WithParamInterface<RunFault> {};

TEST_P(CoaddFault, EndsTheRunWithItsCodeAndTheErrorEvent) {
    const RunFault& row = GetParam();
    configure(2048, 2, 3, 3);
    // A known scan time turns the single-scan limit on, so that silence ends in seconds.
    driverState.calscanTime.store(100.0);
    simulator->setFault(row.phase, row.fault);
    Stopwatch watch;
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    ASSERT_TRUE(errorEvent.wait(kRunLimitMs));
    ASSERT_TRUE(awaitEnd());
    EXPECT_EQ(driverState.lastError.load(), row.code);
    EXPECT_EQ(filesEvent.take(), 0u);
    EXPECT_LT(watch.elapsedMs(), 15000.0);

    // The driver is usable again after close and open.
    simulator->clearFaults();
    Stopwatch closing;
    spectrometer_close();
    EXPECT_LT(closing.elapsedMs(), 5500.0);
    ASSERT_EQ(spectrometer_open(0), 0);
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    EXPECT_TRUE(filesEvent.wait(kRunLimitMs));
}

INSTANTIATE_TEST_SUITE_P(
    Instrument, CoaddFault,
    ::testing::Values(RunFault{"ScanError", Phase::ScanSequence, Fault::ErrorReply, 15},
                      RunFault{"ScanLowerCaseError", Phase::ScanSequence, Fault::LowerCaseError,
                               15},
                      RunFault{"ScanReset", Phase::ScanSequence, Fault::Reset, 14},
                      RunFault{"ScanClosed", Phase::ScanSequence, Fault::CloseMidBlock, 14},
                      RunFault{"ScanSilence", Phase::ScanSequence, Fault::Silence, 12},
                      RunFault{"BlockClosed", Phase::DataTransfer, Fault::CloseMidBlock, 13},
                      RunFault{"BlockReset", Phase::DataTransfer, Fault::Reset, 13}),
    rowName);

using CoaddFaultSlow = CoaddFault;
INSTANTIATE_TEST_SUITE_P(
    Instrument, CoaddFaultSlow,
    ::testing::Values(RunFault{"BlockStalled", Phase::DataTransfer, Fault::StallMidBlock, 13},
                      RunFault{"BlockShort", Phase::DataTransfer, Fault::ShortBlock, 13}),
    rowName);

TEST_P(CoaddFaultSlow, EndsTheRunWithItsCodeAndTheErrorEvent) {
    const RunFault& row = GetParam();
    configure(2048, 1, 3, 1);
    simulator->setFault(row.phase, row.fault);
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    ASSERT_TRUE(errorEvent.wait(kRunLimitMs));
    ASSERT_TRUE(awaitEnd());
    EXPECT_EQ(driverState.lastError.load(), row.code);
}

class CoaddSlow : public Coadd {};

TEST_F(CoaddSlow, CloseDuringAStalledBlockReturnsWithinTheGrace) {
    configure(4096, 1, 3, 1);
    simulator->setFault(Phase::DataTransfer, Fault::StallMidBlock);
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    ASSERT_TRUE(simulator->waitFor([&] { return simulator->blocksSent() >= 1; }, kRunLimitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Stopwatch watch;
    EXPECT_EQ(spectrometer_close(), 0);
    EXPECT_LT(watch.elapsedMs(), 5500.0);
    EXPECT_EQ(errorEvent.take(), 0u);  // a stopped transfer is no instrument failure
}

}  // namespace
