// The host calling the driver from several threads at once while a run goes on, and close
// racing the end of a run. Meant to run under ThreadSanitizer as well (the tsan preset): the
// checks here catch wrong values, ThreadSanitizer catches the unguarded accesses behind them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "link/wil.h"
#include "processing/data_block.h"
#include "reliability/run_harness.h"
#include "support/resources.h"
#include "support/sim_fixture.h"

namespace ostrel::testing {
namespace {

constexpr int kPoints = 1024;
constexpr int kCurveLength = 2 * kPoints;

class Concurrency : public ::testing::Test {
  protected:
    void SetUp() override {
        simulator = startSimulator();
        ASSERT_NE(simulator, nullptr);
        spectrometer_setIPAddress("127.0.0.1");
        ASSERT_EQ(spectrometer_open(0), 0) << lastErrorText();
        ASSERT_EQ(spectrometer_setPoints(kPoints), 0);
        ASSERT_EQ(spectrometer_setScans(1), 0);
        ASSERT_EQ(spectrometer_setScanDirection(3), 0);
    }
    void TearDown() override { spectrometer_close(); }

    // The curves of the simulator's first blocks, as the driver must publish them.
    std::vector<std::vector<double>> expectedCurves(int files) const {
        std::vector<std::vector<double>> curves;
        const sim::Settings settings = simulator->settings();
        for (int block = 0; block < files; ++block) {
            std::vector<uint8_t> bytes =
                sim::makeBlock(fastConfig(), settings, static_cast<uint64_t>(block));
            std::vector<double> curve(kCurveLength);
            int32_t count = 0;
            ostrel::unglomData(bytes.data(), &count, kPoints, 3, curve.data());
            curves.push_back(curve);
        }
        return curves;
    }

    std::unique_ptr<sim::Simulator> simulator;
};

// Getters, getData, getTimestamp and writeAux from four threads through a 60-file run: every
// value read is one the driver may report, every curve is one of the instrument's files whole,
// and the run completes as if nobody had called.
TEST_F(Concurrency, HostThreadsCallingDuringARunSeeConsistentValuesAndTheRunCompletes) {
    constexpr int kFiles = 60;
    simulator->setScanMsAt16k(160.0);  // 10 ms a scan: the run lasts about a second
    const std::vector<std::vector<double>> expected = expectedCurves(kFiles);
    RunEvents events;
    spectrometer_setFiles(kFiles);

    std::atomic<bool> done{false};
    std::atomic<int> badValues{0};
    std::atomic<int> tornCurves{0};
    std::atomic<int> curvesRead{0};
    std::atomic<int> auxFailures{0};
    std::atomic<int> auxSent{0};
    std::vector<std::thread> hosts;
    hosts.emplace_back([&] {
        while (!done.load()) {
            int32_t value = 0;
            spectrometer_getStatus(&value);
            badValues += (value == 4 || value == 8 || value == 64) ? 0 : 1;
            spectrometer_getFileProgress(&value);
            badValues += (value >= 0 && value <= kFiles) ? 0 : 1;
            spectrometer_getScanProgress(&value);
            badValues += (value >= 0 && value <= 1) ? 0 : 1;
            spectrometer_getPoints(&value);
            badValues += value == kCurveLength ? 0 : 1;
            spectrometer_getScans(&value);
            spectrometer_getFiles(&value);
            spectrometer_getGain(&value);
            spectrometer_getSkipPoints(&value);
            double resolution = 0.0;
            spectrometer_getResolution(&resolution);
        }
    });
    hosts.emplace_back([&] {
        std::vector<double> curve(kCurveLength);
        while (!done.load()) {
            double stamp = 0.0;
            const int32_t result = spectrometer_getData(curve.data(), kCurveLength, &stamp);
            if (result == 0) {
                ++curvesRead;
                tornCurves += std::find(expected.begin(), expected.end(), curve) == expected.end();
            } else {
                badValues += result == 1 ? 0 : 1;
            }
        }
    });
    hosts.emplace_back([&] {
        double previous = 0.0;
        while (!done.load()) {
            double stamp = 0.0;
            EXPECT_EQ(spectrometer_getTimestamp(&stamp), 0);
            badValues += stamp >= previous ? 0 : 1;
            previous = stamp;
        }
    });
    hosts.emplace_back([&] {
        for (uint32_t i = 0; !done.load(); ++i) {
            auxFailures += spectrometer_writeAux(i & 1u, 1u << (i % 16)) == 0 ? 0 : 1;
            ++auxSent;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    const bool completed = events.files.wait(kRunLimitMs);
    EXPECT_TRUE(awaitRunEnd());
    done.store(true);
    for (std::thread& host : hosts) {
        host.join();
    }
    ASSERT_TRUE(completed) << lastErrorText();
    EXPECT_EQ(events.error.take(), 0u);
    int32_t files = 0;
    spectrometer_getFileProgress(&files);
    EXPECT_EQ(files, kFiles);
    EXPECT_EQ(badValues.load(), 0);
    EXPECT_GT(curvesRead.load(), 0);
    EXPECT_EQ(tornCurves.load(), 0);
    EXPECT_GT(auxSent.load(), 10);
    EXPECT_EQ(auxFailures.load(), 0);
}

// close at many small delays after the start of a one-file run, so that it meets the run in
// every step: before the thread runs, in the sequence, in the transfer, while it publishes and
// after its end. A second host thread reads the driver all the while. close always returns 0
// in time, releases both connections, leaves no run behind and signals no error.
TEST_F(Concurrency, CloseRacingTheEndOfAOneFileRunAlwaysReleasesEverything) {
    RunEvents events;
    spectrometer_setFiles(1);
    std::atomic<bool> done{false};
    std::atomic<int> badResults{0};
    std::thread reader([&] {
        std::vector<double> curve(kCurveLength);
        while (!done.load()) {
            double stamp = 0.0;
            const int32_t result = spectrometer_getData(curve.data(), kCurveLength, &stamp);
            badResults += (result == 0 || result == 1) ? 0 : 1;
            spectrometer_getTimestamp(&stamp);
            int32_t value = 0;
            spectrometer_getStatus(&value);
            spectrometer_getFileProgress(&value);
        }
    });
    spectrometer_close();
    // The in-process simulator's ends of the connections are counted too.
    const auto simulatorLetGo = [&] {
        return simulator->waitFor([&] { return simulator->connectedClients() == 0; }, 2000);
    };
    ASSERT_TRUE(simulatorLetGo());
    const int descriptors = openDescriptors();
    int completedRuns = 0;
    for (int round = 0; round < 80; ++round) {
        ASSERT_EQ(spectrometer_open(round), 0) << "round " << round << ": " << lastErrorText();
        ASSERT_EQ(spectrometer_startCoadd(0), 0) << "round " << round;
        std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 40)));
        const Stopwatch watch;
        EXPECT_EQ(spectrometer_close(), 0);
        EXPECT_LT(watch.elapsedMs(), 5500.0) << "round " << round;
        EXPECT_FALSE(runInProgress()) << "round " << round;
        EXPECT_EQ(socketSlotsInUse(), 0) << "round " << round;
        EXPECT_EQ(events.error.take(), 0u) << "round " << round;
        completedRuns += events.files.take() != 0 ? 1 : 0;
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(badResults.load(), 0);
    ASSERT_TRUE(simulatorLetGo());
    EXPECT_EQ(openDescriptors(), descriptors);
    std::printf("runs that completed before close stopped them: %d of 80\n", completedRuns);
    EXPECT_TRUE(openAndRunOneFile());
}

}  // namespace
}  // namespace ostrel::testing
