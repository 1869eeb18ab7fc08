// The co-add cycle of the scan thread, run on its own object against the simulator: one scan
// sequence, one block and one published file per file of the run, and the host's events.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "acquisition/scan_thread.h"
#include "linked_instrument.h"
#include "support/host_event.h"

namespace ostrel::testing {
namespace {

using sim::Fault;
using sim::Phase;

class CoaddCycle : public LinkedInstrument {
  protected:
    void SetUp() override {
        LinkedInstrument::SetUp();
        driverState.coaddCompleteEvent.store(coadd.handle());
        driverState.filesCompleteEvent.store(filesDone.handle());
        driverState.errorHandle.store(failed.handle());
    }

    void TearDown() override {
        driverState._stopping.store(1);
        if (thread.isRunning()) {
            thread.Stop();
        }
        thread.releaseFinishedThread();
        LinkedInstrument::TearDown();
    }

    // Starts a run of `files` files (0: until stopped) of the stored scans.
    void startRun(int32_t files) {
        thread.scans.store(driverState.scans.load());
        thread.files.store(files);
        thread.prepareRun();
        ASSERT_TRUE(thread.Start());
    }

    bool waitForEnd(int timeoutMs) {
        Stopwatch watch;
        while (thread.isRunning() && watch.elapsedMs() < timeoutMs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return !thread.isRunning();
    }

    HostEvent coadd;
    HostEvent filesDone;
    HostEvent failed;
    ScanThread thread;
};

TEST_F(CoaddCycle, EveryFileIsScannedFetchedPublishedAndSignalled) {
    constexpr int32_t kPoints = 16384;
    constexpr int32_t kScans = 2;
    applySettings(kPoints, kScans, 3);
    startRun(3);
    ASSERT_TRUE(waitForEnd(10000));

    EXPECT_EQ(coadd.take(), 3u);
    EXPECT_EQ(filesDone.take(), 1u);
    EXPECT_EQ(failed.take(), 0u);
    EXPECT_EQ(driverState.filesComplete.load(), 3);
    EXPECT_EQ(driverState.status.load(), Connected);
    EXPECT_EQ(simulator->scansRun(), 3);
    EXPECT_EQ(simulator->blocksSent(), 3);
    EXPECT_EQ(driverState.lastError.load(), 0);

    // The published file is the last block, each half divided by its scan count. At the burst
    // the high-gain channel is far above its threshold, so the value there is the block's own
    // low-gain sum over the scan count.
    std::vector<double> data(2 * kPoints, 0.0);
    double timestamp = 0.0;
    ASSERT_EQ(thread.getData(data.data(), 2 * kPoints, &timestamp), 0);
    EXPECT_GT(timestamp, 0.0);
    const std::vector<uint8_t> block = simulator->lastBlock();
    const sim::Settings settings{kPoints, kScans, 3, 1, 0};
    for (int32_t half = 0; half < 2; ++half) {
        SCOPED_TRACE(half == 0 ? "forward" : "reverse");
        const int32_t scansInHalf = blockWord(block, 4 * half);
        ASSERT_EQ(scansInHalf, kScans);
        const int64_t burst = sim::burstIndex(instrumentConfig(), settings, half == 1);
        ASSERT_GE(burst, 0);
        ASSERT_LT(burst, kPoints);
        const int32_t k = static_cast<int32_t>(burst);
        EXPECT_DOUBLE_EQ(data[half * kPoints + k],
                         static_cast<double>(lowSample(block, kPoints, half, k)) / scansInHalf);
        for (int32_t i = 0; i < kPoints; ++i) {
            ASSERT_TRUE(std::isfinite(data[half * kPoints + i])) << i;
        }
    }
}

TEST_F(CoaddCycle, AFailedSequenceEndsTheRunWithTheErrorEventAndPublishesNothing) {
    applySettings(512, 2, 3);
    simulator->setFault(Phase::ScanSequence, Fault::ErrorReply, "", 1);
    startRun(3);
    ASSERT_TRUE(waitForEnd(5000));

    EXPECT_EQ(failed.take(), 1u);
    EXPECT_EQ(filesDone.take(), 0u);
    EXPECT_EQ(coadd.take(), 0u);
    EXPECT_EQ(driverState.lastError.load(), ErrInstrumentScan);
    EXPECT_EQ(driverState.filesComplete.load(), 0);
    EXPECT_EQ(driverState.status.load(), Connected);
    EXPECT_EQ(simulator->blocksSent(), 0);
    std::vector<double> data(1024, -1.0);
    double timestamp = -1.0;
    EXPECT_EQ(thread.getData(data.data(), 1024, &timestamp), 1);
    EXPECT_EQ(timestamp, -1.0);
}

TEST_F(CoaddCycle, ABlockCutShortEndsTheRunWithTheErrorEventAndPublishesNothing) {
    applySettings(512, 2, 3);
    simulator->setFault(Phase::DataTransfer, Fault::CloseMidBlock);
    startRun(3);
    ASSERT_TRUE(waitForEnd(5000));

    EXPECT_EQ(failed.take(), 1u);
    EXPECT_EQ(filesDone.take(), 0u);
    EXPECT_EQ(coadd.take(), 0u);
    EXPECT_EQ(driverState.lastError.load(), ErrShortBlock);
    EXPECT_EQ(driverState.filesComplete.load(), 0);
    EXPECT_EQ(simulator->scansRun(), 1);
    std::vector<double> data(1024, 0.0);
    double timestamp = 0.0;
    EXPECT_EQ(thread.getData(data.data(), 1024, &timestamp), 1);
}

TEST_F(CoaddCycle, AStopRequestEndsAnEndlessRunWithoutAnError) {
    applySettings(512, 2, 3);
    startRun(0);
    ASSERT_TRUE(coadd.wait(5000));
    driverState._stopping.store(1);
    ASSERT_TRUE(waitForEnd(5000));

    // Met between files the stop flag ends the run as complete; met inside a file's transfer it
    // ends it halted, without an event. Never as a failure.
    EXPECT_LE(filesDone.take(), 1u);
    EXPECT_EQ(failed.take(), 0u);
    EXPECT_GE(driverState.filesComplete.load(), 1);
    EXPECT_EQ(driverState.status.load(), Connected);
    EXPECT_EQ(driverState.lastError.load(), 0);
}

}  // namespace
}  // namespace ostrel::testing
