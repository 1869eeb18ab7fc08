// The scan sequence and the block transfer, called directly on the driver's two connections to
// the simulator: what they return, what they record, what they send and what they leave behind.
#include "acquisition/scan_sequence.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "linked_instrument.h"
#include "platform/event.h"
#include "processing/data_block.h"
#include "support/host_event.h"

namespace ostrel::testing {
namespace {

using sim::Fault;
using sim::Phase;

using ScanSequence = LinkedInstrument;
using ScanSequenceSlow = LinkedInstrument;
using ReadData = LinkedInstrument;

// A scan of `points` points that takes about `ms` on the simulator.
double scanMsAt16kFor(double ms, int32_t points) {
    return ms * 16384.0 / points;
}

TEST_F(ScanSequence, ProgressRepliesReachTheHostAndTheLastScanNumberIsKept) {
    applySettings(256, 4, 3);
    simulator->setScanMsAt16k(scanMsAt16kFor(20.0, 256));
    HostEvent scanEvent;
    driverState._scanCompleteEvent.store(scanEvent.handle());
    const double before = stampMs();
    double timestamp = 0.0;

    EXPECT_EQ(scanLoop(&timestamp), 0);

    EXPECT_EQ(simulator->commandLog(), std::vector<std::string>{"scan\r\n"});
    EXPECT_EQ(driverState.scanProgress.load(), 4);
    // One signal per reply that carried progress: at least one, never more than the scans.
    const uint64_t signals = scanEvent.take();
    EXPECT_GE(signals, 1u);
    EXPECT_LE(signals, 4u);
    // Stamped at the first progress reply, in UTC milliseconds.
    EXPECT_GE(timestamp, before);
    EXPECT_LE(timestamp, stampMs());
    EXPECT_EQ(driverState.lastError.load(), 0);
}

TEST_F(ScanSequence, ProgressKeepsASequenceAliveWhenTheHostHasNoScanEvent) {
    applySettings(256, 4, 3);
    // Each scan takes 20 ms and the single-scan limit is 30 ms, so the whole sequence (80 ms)
    // outlasts the limit: only the progress lines keep it from failing.
    simulator->setScanMsAt16k(scanMsAt16kFor(20.0, 256));
    driverState.calscanTime.store(15.0 * 16384.0 / 256.0);
    double timestamp = 0.0;

    EXPECT_EQ(scanLoop(&timestamp), 0);
    EXPECT_GT(timestamp, 0.0);
    EXPECT_EQ(driverState.lastError.load(), 0);
}

class ScanSequenceErrorReply : public LinkedInstrument,
                               public ::testing::WithParamInterface<Fault> {};

TEST_P(ScanSequenceErrorReply, FailsTheSequenceWithCode15) {
    applySettings(256, 2, 3);
    simulator->setFault(Phase::ScanSequence, GetParam(), "", 1);
    double timestamp = 0.0;
    EXPECT_EQ(scanLoop(&timestamp), ErrInstrumentScan);
    EXPECT_EQ(driverState.lastError.load(), ErrInstrumentScan);
    EXPECT_EQ(timestamp, 0.0);
}

INSTANTIATE_TEST_SUITE_P(EitherCase, ScanSequenceErrorReply,
                         ::testing::Values(Fault::ErrorReply, Fault::LowerCaseError));

TEST_F(ScanSequence, AStopRequestEndsTheSequenceWithoutRecordingAnError) {
    applySettings(256, 2, 3);
    simulator->setFault(Phase::ScanSequence, Fault::NoGreeting);
    driverState._stopping.store(1);
    Stopwatch watch;
    double timestamp = 0.0;
    EXPECT_EQ(scanLoop(&timestamp), 0);
    EXPECT_LT(watch.elapsedMs(), 1500.0);
    EXPECT_EQ(timestamp, 0.0);
    EXPECT_EQ(driverState.lastError.load(), 0);
}

TEST_F(ScanSequenceSlow, AnInstrumentThatFallsSilentFailsWithTheSingleScanTimeout) {
    applySettings(256, 2, 3);
    simulator->setFault(Phase::ScanSequence, Fault::NoGreeting);
    driverState.calscanTime.store(5.0);
    Stopwatch watch;
    double timestamp = 0.0;
    EXPECT_EQ(scanLoop(&timestamp), ErrScanTimeout);
    EXPECT_EQ(driverState.lastError.load(), ErrScanTimeout);
    // It is noticed after one round of reply waits, long before the 45 s per scan deadman.
    EXPECT_LT(watch.elapsedMs(), 5000.0);
}

TEST_F(ReadData, TheWholeBlockArrivesAsTheInstrumentSentIt) {
    for (const int32_t scanDir : {1, 2, 3}) {
        SCOPED_TRACE(scanDir);
        applySettings(512, 2, scanDir);
        BlockGeometry geometry;
        platform::LockGuard block(blockLock());
        ASSERT_EQ(readData(&geometry, nullptr), 0);
        EXPECT_EQ(geometry.points, 512);
        EXPECT_EQ(geometry.scanDir, scanDir);
        EXPECT_EQ(simulator->dataRequestLog(), std::vector<std::string>{"send\n"});
        const std::vector<uint8_t> sent = simulator->lastBlock();
        ASSERT_EQ(static_cast<int64_t>(sent.size()), blockLength(512, scanDir));
        EXPECT_EQ(std::memcmp(blockBuffer, sent.data(), sent.size()), 0);
    }
}

TEST_F(ReadData, SettingsThatNoBlockFitsAreRefusedWithoutAskingForOne) {
    struct Case {
        int32_t points;
        int32_t scanDir;
        int32_t code;
    };
    for (const Case& c : {Case{0, 3, ErrPointsRange}, Case{kMaxPoints + 1, 1, ErrPointsRange},
                          Case{-5, 1, ErrPointsRange}, Case{512, 0, ErrScanDirRange},
                          Case{512, 4, ErrScanDirRange}}) {
        SCOPED_TRACE(::testing::Message() << c.points << " points, scanDir " << c.scanDir);
        driverState.points.store(c.points);
        driverState.scanDir.store(c.scanDir);
        BlockGeometry geometry;
        platform::LockGuard block(blockLock());
        EXPECT_EQ(readData(&geometry, nullptr), c.code);
        EXPECT_EQ(driverState.lastError.load(), c.code);
        EXPECT_EQ(geometry.points, 0);
    }
    EXPECT_TRUE(simulator->dataRequestLog().empty());
}

TEST_F(ReadData, APeerThatClosesMidBlockGivesAShortBlockAtOnce) {
    applySettings(512, 2, 3);
    simulator->setFault(Phase::DataTransfer, Fault::CloseMidBlock);
    Stopwatch watch;
    BlockGeometry geometry;
    platform::LockGuard block(blockLock());
    EXPECT_EQ(readData(&geometry, nullptr), ErrShortBlock);
    EXPECT_EQ(driverState.lastError.load(), ErrShortBlock);
    EXPECT_LT(watch.elapsedMs(), 2000.0);
}

TEST_F(ReadData, AKillRequestEndsAStalledTransferWithoutRecordingAnError) {
    applySettings(512, 2, 3);
    simulator->setFault(Phase::DataTransfer, Fault::StallMidBlock);
    platform::Event kill;
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill.set();
    });
    Stopwatch watch;
    BlockGeometry geometry;
    int32_t result = 0;
    {
        platform::LockGuard block(blockLock());
        result = readData(&geometry, &kill);
    }
    killer.join();
    EXPECT_EQ(result, kReadStopped);
    EXPECT_GE(watch.elapsedMs(), 150.0);
    EXPECT_LT(watch.elapsedMs(), 2000.0);
    EXPECT_EQ(driverState.lastError.load(), 0);
    simulator->clearFaults();
}

}  // namespace
}  // namespace ostrel::testing
