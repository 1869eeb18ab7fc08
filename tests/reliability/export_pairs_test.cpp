// Two host threads calling a conflicting pair of exports at the same moment, a few hundred times:
// a calibration scan against a run start, close and stop; a setting against a run start; the
// unglomData export against a run. The loser of each pair waits or gets its export's refusal
// code, and the instrument never sees two parties' commands mixed, two readers of the data
// connection or a setting that disagrees with the driver's. Meant to run under ThreadSanitizer
// as well (the tsan preset).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <latch>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "api/lifecycle.h"
#include "processing/data_block.h"
#include "reliability/run_harness.h"
#include "support/sim_fixture.h"

namespace ostrel::testing {
namespace {

constexpr int kPoints = 1024;
constexpr int kCurveLength = 2 * kPoints;

// Runs first and second on two threads released together, and waits for both.
template <typename First, typename Second>
void atOnce(First first, Second second) {
    std::latch start(2);
    std::thread one([&] {
        start.arrive_and_wait();
        first();
    });
    std::thread two([&] {
        start.arrive_and_wait();
        second();
    });
    one.join();
    two.join();
}

class ExportPairs : public ::testing::Test {
  protected:
    void SetUp() override {
        simulator = startSimulator();
        ASSERT_NE(simulator, nullptr);
        spectrometer_setIPAddress("127.0.0.1");
        ASSERT_EQ(spectrometer_open(0), 0) << lastErrorText();
        ASSERT_EQ(setRunSettings(), 0) << lastErrorText();
        spectrometer_setFiles(1);
    }
    void TearDown() override {
        spectrometer_close();
        expectOnlyWholeCommandLines();
    }

    static int32_t setRunSettings() {
        return spectrometer_setPoints(kPoints) | spectrometer_setScans(1) |
               spectrometer_setScanDirection(3) | spectrometer_setGain(1);
    }

    // Every line the instrument received is one whole command: text from two parties mixed in
    // one line, or a command cut by another, would not match.
    void expectOnlyWholeCommandLines() const {
        static const std::regex command(
            "(points|numscans|scandir|gain|skip) -?[0-9]+\r\n|scan\r\n|deliverAll 0\r\n|"
            "valve [0-9]+ [01]\r\n");
        int lines = 0;
        for (const std::string& line : simulator->commandLog()) {
            EXPECT_TRUE(std::regex_match(line, command)) << "mixed command line: " << line;
            ++lines;
        }
        EXPECT_GT(lines, 0);
    }

    // The instrument's settings after a run started are the driver's.
    ::testing::AssertionResult instrumentAgrees() const {
        const sim::Settings held = simulator->settings();
        int32_t points = 0, scans = 0, gain = 0;
        spectrometer_getPoints(&points);
        spectrometer_getScans(&scans);
        spectrometer_getGain(&gain);
        if (held.points * 2 != points || held.scans != scans || held.gain != gain ||
            held.scanDir != 3) {
            return ::testing::AssertionFailure()
                   << "instrument points " << held.points << " scans " << held.scans << " gain "
                   << held.gain << " scandir " << held.scanDir << "; driver points " << points
                   << " scans " << scans << " gain " << gain;
        }
        return ::testing::AssertionSuccess();
    }

    // A run that was started must end with its file and without an error.
    ::testing::AssertionResult runCompleted(RunEvents& events) const {
        if (!events.files.wait(kRunLimitMs) || !awaitRunEnd()) {
            return ::testing::AssertionFailure() << "run did not complete: " << lastErrorText();
        }
        events.files.take();
        return ::testing::AssertionSuccess();
    }

    std::unique_ptr<sim::Simulator> simulator;
};

// Whichever comes first has both connections to itself: a run start during a calibration is
// refused with 8, a calibration during a run with 7. Two readers of the data connection, or a
// calibration's settings reaching the instrument inside a run, would fail the run or the
// calibration.
TEST_F(ExportPairs, CalibrationAndRunStartNeverShareTheConnections) {
    constexpr int kRounds = 200;
    RunEvents events;
    int calibrations = 0;
    int runs = 0;
    for (int round = 0; round < kRounds; ++round) {
        int32_t calibrated = -1;
        int32_t started = -1;
        atOnce([&] { calibrated = spectrometer_calibrationScan(); },
               [&] { started = spectrometer_startCoadd(0); });
        ASSERT_TRUE(calibrated == 0 || calibrated == 7) << "round " << round << ": " << calibrated;
        ASSERT_TRUE(started == 0 || started == 8) << "round " << round << ": " << started;
        ASSERT_FALSE(calibrated != 0 && started != 0) << "round " << round << ": both refused";
        if (started == 0) {
            ASSERT_TRUE(runCompleted(events)) << "round " << round;
            ++runs;
        }
        ASSERT_EQ(events.error.take(), 0u) << "round " << round << ": " << lastErrorText();
        calibrations += calibrated == 0 ? 1 : 0;
    }
    std::printf("calibrations %d, runs %d of %d rounds\n", calibrations, runs, kRounds);
    EXPECT_GT(calibrations, 0);
    EXPECT_GT(runs, 0);
}

// close waits for a calibration on another thread to leave the connections (bounded), then
// closes them; the calibration ends with 0 or 7. The driver opens and runs again afterwards,
// with no reply of the old conversation left to confuse the new one.
TEST_F(ExportPairs, CloseDuringACalibrationWaitsForItThenCloses) {
    constexpr int kRounds = 60;
    for (int round = 0; round < kRounds; ++round) {
        int32_t calibrated = -1;
        double closeMs = 0.0;
        atOnce([&] { calibrated = spectrometer_calibrationScan(); },
               [&] {
                   std::this_thread::sleep_for(std::chrono::microseconds(250 * (round % 20)));
                   const Stopwatch watch;
                   EXPECT_EQ(spectrometer_close(), 0);
                   closeMs = watch.elapsedMs();
               });
        ASSERT_TRUE(calibrated == 0 || calibrated == 7) << "round " << round << ": " << calibrated;
        // The calibration's leaving, then close's own checks of the two connections.
        EXPECT_LT(closeMs, kCalibrationLeaveMs + 2500.0) << "round " << round;
        ASSERT_EQ(spectrometer_open(0), 0) << "round " << round << ": " << lastErrorText();
        ASSERT_EQ(setRunSettings(), 0) << "round " << round << ": " << lastErrorText();
    }
    RunEvents events;
    ASSERT_EQ(spectrometer_startCoadd(0), 0) << lastErrorText();
    EXPECT_TRUE(runCompleted(events));
    EXPECT_TRUE(instrumentAgrees());
}

// A setting and a run start at once, after a calibration has left every setting to be sent
// again: the run starts with what the instrument holds, and afterwards the instrument holds what
// the driver reports. Without the two kept apart, the start could re-send the old gain over the
// new one.
TEST_F(ExportPairs, SettingAndRunStartLeaveInstrumentAndDriverAgreeing) {
    constexpr int kRounds = 150;
    RunEvents events;
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(spectrometer_calibrationScan(), 0)
            << "round " << round << ": " << lastErrorText();
        int32_t set = -1;
        int32_t started = -1;
        atOnce([&] { set = spectrometer_setGain(2 + round % 2); },
               [&] { started = spectrometer_startCoadd(0); });
        ASSERT_EQ(set, 0) << "round " << round;
        ASSERT_EQ(started, 0) << "round " << round << ": " << lastErrorText();
        ASSERT_TRUE(runCompleted(events)) << "round " << round;
        ASSERT_EQ(events.error.take(), 0u) << "round " << round << ": " << lastErrorText();
        ASSERT_TRUE(instrumentAgrees()) << "round " << round;
    }
}

// The unglomData export converting a block of its own, over and over, while a run converts and
// publishes its files: every conversion of either is whole.
TEST_F(ExportPairs, UnglomExportDuringARunConvertsEveryBlockWhole) {
    constexpr int kFiles = 40;
    const sim::Settings settings = simulator->settings();
    const std::vector<uint8_t> hostBlock = sim::makeBlock(fastConfig(), settings, 1000);
    std::vector<double> expectedHost(kCurveLength);
    {
        std::vector<uint8_t> copy = hostBlock;
        int32_t count = 0;
        ostrel::unglomData(copy.data(), &count, kPoints, 3, expectedHost.data());
    }
    std::vector<std::vector<double>> expectedRun;
    for (int block = 0; block < kFiles; ++block) {
        std::vector<uint8_t> bytes =
            sim::makeBlock(fastConfig(), settings, static_cast<uint64_t>(block));
        std::vector<double> curve(kCurveLength);
        int32_t count = 0;
        ostrel::unglomData(bytes.data(), &count, kPoints, 3, curve.data());
        expectedRun.push_back(curve);
    }
    simulator->setScanMsAt16k(160.0);
    spectrometer_setFiles(kFiles);
    RunEvents events;

    std::atomic<bool> done{false};
    std::atomic<int> conversions{0};
    std::atomic<int> wrongConversions{0};
    std::thread host([&] {
        std::vector<double> out(kCurveLength);
        while (!done.load()) {
            std::vector<uint8_t> copy = hostBlock;
            int32_t count = -1;
            ::unglomData(copy.data(), &count, kPoints, 3, out.data());
            wrongConversions += (count == kCurveLength && out == expectedHost) ? 0 : 1;
            ++conversions;
        }
    });
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    std::vector<double> curve(kCurveLength);
    int wrongFiles = 0;
    const Stopwatch watch;
    // Co-add signals may merge in the event's count: read the ready file whenever one came.
    while (!events.files.wait(0) && watch.elapsedMs() < kRunLimitMs) {
        if (!events.coadd.wait(50)) {
            continue;
        }
        events.coadd.take();
        double stamp = 0.0;
        if (spectrometer_getData(curve.data(), kCurveLength, &stamp) == 0) {
            wrongFiles +=
                std::find(expectedRun.begin(), expectedRun.end(), curve) == expectedRun.end() ? 1
                                                                                              : 0;
        }
    }
    const bool completed = events.files.wait(kRunLimitMs);
    done.store(true);
    host.join();
    EXPECT_TRUE(completed) << lastErrorText();
    EXPECT_TRUE(awaitRunEnd());
    EXPECT_EQ(events.error.take(), 0u);
    EXPECT_EQ(wrongFiles, 0);
    EXPECT_GT(conversions.load(), 10);
    EXPECT_EQ(wrongConversions.load(), 0);
}

// stop aborts a run by close, reboot and a new open while a calibration is asked for: the
// calibration is refused (the run, the closed connections) or runs alone on the new ones.
TEST_F(ExportPairs, StopAndCalibrationNeverShareTheConnectionsSlow) {
    constexpr int kRounds = 2;
    for (int round = 0; round < kRounds; ++round) {
        simulator->setScanMsAt16k(2000.0);
        spectrometer_setFiles(0);
        RunEvents events;
        ASSERT_EQ(spectrometer_startCoadd(0), 0) << lastErrorText();
        int32_t calibrated = -1;
        int32_t stopped = -1;
        atOnce([&] { stopped = spectrometer_stop(); },
               [&] {
                   std::this_thread::sleep_for(std::chrono::milliseconds(round * 200));
                   calibrated = spectrometer_calibrationScan();
               });
        simulator->setScanMsAt16k(2.0);
        EXPECT_EQ(stopped, 0) << lastErrorText();
        EXPECT_TRUE(calibrated == 0 || calibrated == 7) << calibrated;
        ASSERT_EQ(setRunSettings(), 0) << lastErrorText();
        spectrometer_setFiles(1);
        events.takeAll();
        ASSERT_EQ(spectrometer_startCoadd(0), 0) << lastErrorText();
        EXPECT_TRUE(runCompleted(events));
        EXPECT_TRUE(instrumentAgrees());
    }
}

}  // namespace
}  // namespace ostrel::testing
