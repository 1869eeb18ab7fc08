// Whole sessions against the built-in simulator over loopback, with the built driver library
// loaded as a host loads it: the runs a lab takes one after another in one process, stopping,
// refusals, and what an observer is told.
#include "ostrel_session/session.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <set>
#include <thread>

#include "session_harness.h"
#include "support/threads.h"
#include "tool_harness.h"

namespace ostrel::session::testing {
namespace {

using acquire::testing::fileExists;
using acquire::testing::ScratchDirectory;
using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The largest |absorbance| of the file's halves near `centre`, and away from any band.
struct BandCheck {
    double inBand = 0.0;
    double outside = 0.0;
};

BandCheck absorbanceAround(const FileEvent& file, double centre) {
    BandCheck check;
    for (size_t half = 0; half < file.absorbance.size(); ++half) {
        const ostrel::spectra::Spectrum& axis = file.spectra[half];
        const std::vector<double>& values = file.absorbance[half];
        for (size_t k = 0; k < values.size(); ++k) {
            const double wavenumber = axis.wavenumber(k);
            if (!std::isfinite(values[k])) {
                continue;
            }
            if (std::fabs(wavenumber - centre) < 20.0) {
                check.inBand = std::max(check.inBand, std::fabs(values[k]));
            } else if (wavenumber > 2800.0 && wavenumber < 4000.0) {
                check.outside = std::max(check.outside, std::fabs(values[k]));
            }
        }
    }
    return check;
}

class SessionRuns : public ::testing::Test {
  protected:
    void open(double scanMsAt4096 = 20.0, std::vector<std::string> faults = {}) {
        SessionConfig config = quickConfig(scratch_.path() + "/data", scanMsAt4096);
        config.simulator.faults = std::move(faults);
        session_ = std::make_unique<Session>(config);
        session_->addObserver(observer_);
        ASSERT_TRUE(session_->applySettings(smallSettings()).ok());
        const Result connected = session_->connect("");
        ASSERT_TRUE(connected.ok()) << connected.message;
    }

    EndEvent runToEnd(const RunRequest& request) {
        const size_t ends = observer_->endCount();
        const Result started = session_->startRun(request);
        EXPECT_TRUE(started.ok()) << started.message;
        EXPECT_TRUE(session_->waitForRun(60000));
        EXPECT_TRUE(session_->flushEvents());
        EXPECT_EQ(observer_->endCount(), ends + 1);
        return session_->lastRunEnd();
    }

    ScratchDirectory scratch_;
    std::shared_ptr<RecordingObserver> observer_ = std::make_shared<RecordingObserver>();
    std::unique_ptr<Session> session_;
};

TEST_F(SessionRuns, AlignStopsWithinOneScanOfStopAndSavesNothing) {
    // 4096 points take two seconds a scan here: a stop that waited for the scan's end would
    // show. (The driver's scan sequence looks for a stop request once a second.)
    open(2000.0);
    RunRequest align;
    align.kind = RunKind::Align;
    ASSERT_TRUE(session_->startRun(align).ok());
    ASSERT_TRUE(observer_->waitFor(
        [](const RecordingObserver& seen) { return !seen.files.empty(); }, 20000));
    const Clock::time_point stopping = Clock::now();
    session_->stop();
    ASSERT_TRUE(session_->waitForRun(5000));
    EXPECT_LT(millisecondsSince(stopping), 2000.0);
    ASSERT_TRUE(session_->flushEvents());
    EXPECT_EQ(session_->lastRunEnd().status, "stopped");
    EXPECT_EQ(session_->lastRunEnd().directory, "");
    // The latest state went to the observers, and nothing to the disk.
    EXPECT_FALSE(observer_->files.back()->spectra.empty());
    EXPECT_TRUE(session_->history().empty());
    EXPECT_FALSE(fileExists(scratch_.path() + "/data"));

    // The session reconnects by itself for the next run.
    RunRequest acquire;
    acquire.files = 2;
    EXPECT_EQ(runToEnd(acquire).status, "complete");
}

TEST_F(SessionRuns, BackgroundThenSampleGivesTheAbsorberAtItsPlace) {
    open();
    Settings settings = smallSettings();
    settings.acquisition.points = 16384;
    ASSERT_TRUE(session_->applySettings(settings).ok());
    RunRequest background;
    background.kind = RunKind::Background;
    background.files = 2;
    const EndEvent backgroundEnd = runToEnd(background);
    ASSERT_EQ(backgroundEnd.status, "complete") << backgroundEnd.error;
    ASSERT_EQ(session_->state().background, std::vector<std::string>{backgroundEnd.directory});

    ASSERT_TRUE(session_->setSimulatorSample({"2150:2:0.6"}).ok());
    RunRequest sample;
    sample.kind = RunKind::Sample;
    sample.name = "film";
    sample.files = 2;
    const size_t before = observer_->fileCount();
    const EndEvent sampleEnd = runToEnd(sample);
    ASSERT_EQ(sampleEnd.status, "complete") << sampleEnd.error;
    ASSERT_EQ(observer_->files.size(), before + 2);
    for (size_t index = before; index < observer_->files.size(); ++index) {
        const BandCheck check = absorbanceAround(*observer_->files[index], 2150.0);
        EXPECT_GT(check.inBand, 0.3);
        EXPECT_LT(check.outside, 0.05);
    }
    EXPECT_TRUE(fileExists(sampleEnd.directory + "/absorbance-0002-forward.jdx"));

    const std::vector<RunRecord> history = session_->history();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].kind, RunKind::Sample);  // newest first
    EXPECT_EQ(history[0].name, "film");
    EXPECT_EQ(history[0].state, "complete");
    EXPECT_EQ(history[0].files.size(), 2u);
    EXPECT_EQ(history[1].kind, RunKind::Background);
}

TEST_F(SessionRuns, StopDuringACalibrationEndsItAndTheSessionStaysUsable) {
    // A calibration is one forward scan of 16384 points: 8 s at this pace.
    open(2000.0);
    Result calibrated;
    const Clock::time_point started = Clock::now();
    std::thread calibration([&] { calibrated = session_->calibrate(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    session_->stop();
    calibration.join();
    EXPECT_LT(millisecondsSince(started), 5000.0);
    EXPECT_EQ(calibrated.failure, Failure::Setting) << calibrated.message;

    RunRequest request;
    request.files = 1;
    Settings quick = smallSettings();
    quick.acquisition.points = 256;
    ASSERT_TRUE(session_->applySettings(quick).ok());
    EXPECT_EQ(runToEnd(request).status, "complete");
}

TEST_F(SessionRuns, AnInstrumentErrorMidRunLeavesTheSessionUsable) {
    // The instrument answers the second progress line of the first sequence with an error, once.
    open(20.0, {"scan:error:_2:1"});
    RunRequest request;
    request.files = 3;
    const EndEvent failed = runToEnd(request);
    EXPECT_EQ(failed.status, "failed");
    EXPECT_EQ(failed.failure, Failure::Acquisition);
    ASSERT_FALSE(observer_->errors.empty());
    EXPECT_EQ(observer_->errors.back().code, 15);
    EXPECT_FALSE(observer_->errors.back().hint.empty());
    EXPECT_EQ(session_->state().lastError.code, 15);

    const EndEvent again = runToEnd(request);
    EXPECT_EQ(again.status, "complete") << again.error;
    EXPECT_EQ(again.filesSaved, 3u);
}

TEST_F(SessionRuns, ASecondRunIsRefusedWhileOneIsActiveAndSettingsWait) {
    open(50.0);
    RunRequest endless;
    endless.files = 0;
    ASSERT_TRUE(session_->startRun(endless).ok());
    const Result second = session_->startRun(endless);
    EXPECT_EQ(second.failure, Failure::Busy);
    EXPECT_NE(second.message.find("another run is active"), std::string::npos) << second.message;
    EXPECT_EQ(session_->applySettings(smallSettings()).failure, Failure::Busy);
    EXPECT_EQ(session_->calibrate().failure, Failure::Busy);
    EXPECT_TRUE(session_->state().running);
    session_->stop();
    ASSERT_TRUE(session_->waitForRun(5000));
    EXPECT_EQ(session_->lastRunEnd().status, "stopped");
    EXPECT_FALSE(session_->state().running);
}

TEST_F(SessionRuns, RebootWaitsForTheInstrumentAndConnectsAgainButNotDuringARun) {
    open(50.0);
    RunRequest endless;
    endless.files = 0;
    ASSERT_TRUE(session_->startRun(endless).ok());
    EXPECT_EQ(session_->reboot().failure, Failure::Busy);
    session_->stop();
    ASSERT_TRUE(session_->waitForRun(5000));

    // The datagram goes out through the driver's open connections; the instrument drops them
    // when it restarts, and the session connects again for the next run.
    const Result rebooted = session_->reboot();
    ASSERT_TRUE(rebooted.ok()) << rebooted.message;
    EXPECT_TRUE(session_->state().connection.connected);
    RunRequest request;
    request.files = 1;
    EXPECT_EQ(runToEnd(request).status, "complete");

    session_->close();
    EXPECT_EQ(session_->reboot().failure, Failure::Busy);
}

TEST_F(SessionRuns, BadSettingsAreRefusedFieldByFieldAndNothingChanges) {
    open();
    Settings bad = smallSettings();
    bad.acquisition.points = 0;
    bad.acquisition.direction = 4;
    bad.spectra.zeroFill = 3;
    const Result refused = session_->applySettings(bad);
    EXPECT_EQ(refused.failure, Failure::Usage);
    EXPECT_EQ(refused.fields.size(), 3u);
    EXPECT_EQ(refused.fields.count("points"), 1u);
    EXPECT_EQ(refused.fields.count("direction"), 1u);
    EXPECT_EQ(refused.fields.count("zero_fill"), 1u);
    EXPECT_EQ(session_->settings().acquisition.points, 4096);

    RunRequest series;
    series.kind = RunKind::Series;
    EXPECT_EQ(session_->startRun(series).failure, Failure::Usage);  // no interval
}

TEST_F(SessionRuns, ObserversAreCalledInOrderFromOneThreadOfTheSessions) {
    class ThreadRecorder : public SessionObserver {
      public:
        void onRun(const RunEvent&) override { note("run"); }
        void onFile(const std::shared_ptr<const FileEvent>&) override { note("file"); }
        void onEnd(const EndEvent&) override { note("end"); }
        void note(const char* what) {
            std::lock_guard<std::mutex> lock(mutex);
            threads.insert(std::this_thread::get_id());
            order.push_back(what);
        }
        std::mutex mutex;
        std::set<std::thread::id> threads;
        std::vector<std::string> order;
    };
    open(50.0);
    auto recorder = std::make_shared<ThreadRecorder>();
    session_->addObserver(recorder);
    RunRequest request;
    request.files = 3;
    runToEnd(request);
    std::lock_guard<std::mutex> lock(recorder->mutex);
    ASSERT_EQ(recorder->threads.size(), 1u);
    EXPECT_NE(*recorder->threads.begin(), std::this_thread::get_id());
    EXPECT_EQ(recorder->order,
              (std::vector<std::string>{"run", "file", "file", "file", "run", "end"}));
}

// Where the fetch may use real-time priority and the process has two processors, a second
// fetching thread waits for the same co-add events, so that a processor held off for a moment
// does not cost a file: the two run at real-time priority, each kept on its own processor, take
// every file once between them, in order, and the second ends with the acquisition.
TEST_F(SessionRuns, TwoRealTimeFetchesOnTheirOwnProcessorsTakeEveryFileOnceAndInOrder) {
    cpu_set_t processors;
    CPU_ZERO(&processors);
    if (!ostrel::testing::mayUseRealTime() ||
        sched_getaffinity(0, sizeof processors, &processors) != 0 || CPU_COUNT(&processors) < 2) {
        GTEST_SKIP() << "needs the right to real-time priority and two processors";
    }
    open(10.0);  // more than half a second of acquisition to look at the threads in
    RunRequest request;
    request.files = 30;
    ASSERT_TRUE(session_->startRun(request).ok());
    // A thread starts with the name of the thread that started it, and the standby then names
    // itself and asks for its priority and processor: what is checked is the settled state.
    const auto onOneProcessor = [](pid_t thread) {
        const std::string list = ostrel::testing::processorsOf(thread);
        return !list.empty() && list.find_first_of(",-") == std::string::npos;
    };
    std::vector<pid_t> run;
    std::vector<pid_t> standby;
    const Clock::time_point started = Clock::now();
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        run = ostrel::testing::threadsNamed("ostrel-fetch");
        standby = ostrel::testing::threadsNamed("ostrel-fetch-2");
    } while ((run.size() != 1 || standby.size() != 1 || !onOneProcessor(run[0]) ||
              !onOneProcessor(standby[0]) ||
              (sched_getscheduler(standby[0]) & ~SCHED_RESET_ON_FORK) != SCHED_FIFO) &&
             millisecondsSince(started) < 20000.0);
    ASSERT_EQ(run.size(), 1u);
    ASSERT_EQ(standby.size(), 1u);
    EXPECT_TRUE(onOneProcessor(run[0])) << ostrel::testing::processorsOf(run[0]);
    EXPECT_TRUE(onOneProcessor(standby[0])) << ostrel::testing::processorsOf(standby[0]);
    EXPECT_NE(ostrel::testing::processorsOf(run[0]), ostrel::testing::processorsOf(standby[0]));
    EXPECT_EQ(sched_getscheduler(run[0]) & ~SCHED_RESET_ON_FORK, SCHED_FIFO);
    EXPECT_EQ(sched_getscheduler(standby[0]) & ~SCHED_RESET_ON_FORK, SCHED_FIFO);

    ASSERT_TRUE(session_->waitForRun(60000));
    ASSERT_TRUE(session_->flushEvents());
    const EndEvent end = session_->lastRunEnd();
    EXPECT_EQ(end.status, "complete") << end.error;
    EXPECT_EQ(end.filesMissed, 0u);
    std::vector<uint64_t> numbers;
    for (const auto& file : observer_->files) {
        numbers.push_back(file->number);
    }
    std::vector<uint64_t> expected(30);
    for (size_t k = 0; k < expected.size(); ++k) {
        expected[k] = k + 1;
    }
    EXPECT_EQ(numbers, expected);
    EXPECT_TRUE(ostrel::testing::threadsNamed("ostrel-fetch-2").empty())
        << "the standby outlived the acquisition";
}

// Three formats on one writer against the simulator's fastest scans: the writing falls behind at
// once, and with a queue of one MiB most files wait on disk. Every file fetched is written, in
// order and each its own, after the acquisition if need be, and nothing is left on disk.
TEST_F(SessionRuns, FilesThatWaitedOnDiskAreAllWrittenAfterTheAcquisition) {
    open(0.0);
    Settings settings = smallSettings();
    settings.acquisition.scans = 1;
    settings.acquisition.skip = 6144;  // the burst in the middle of the record
    settings.outputs.formats.json = true;
    settings.outputs.queueMemoryMiB = 1;
    settings.outputs.writers = 1;
    ASSERT_TRUE(session_->applySettings(settings).ok());
    RunRequest request;
    request.files = 150;
    const EndEvent end = runToEnd(request);
    ASSERT_EQ(end.status, "complete") << end.error;
    nlohmann::json summary;
    std::string error;
    ASSERT_TRUE(acquire::testing::readJsonFile(end.directory + "/summary.json", &summary, &error))
        << error;
    // How the fetching thread was scheduled decides whether a fast run misses files, so the run
    // records it.
    const std::string priority = summary.value("fetch_priority", "");
    EXPECT_TRUE(priority == "real-time" || priority == "short slice" || priority == "ordinary")
        << "fetch_priority: " << priority;
    if (summary["files_spilled"].get<uint64_t>() == 0) {
        GTEST_SKIP() << "the writer kept up with the instrument: no file waited on disk";
    }
    EXPECT_EQ(end.filesSaved + end.filesMissed, 150u);
    EXPECT_EQ(summary["files_saved"].get<uint64_t>(), end.filesSaved);
    EXPECT_GT(summary["timing"]["written_after_acquisition_s"].get<double>(), 0.0);
    EXPECT_FALSE(fileExists(end.directory + "/.unwritten-interferograms"));
    ASSERT_EQ(observer_->files.size(), end.filesSaved);
    uint64_t previous = 0;
    for (size_t index = 0; index < observer_->files.size(); ++index) {
        const FileEvent& file = *observer_->files[index];
        EXPECT_GT(file.number, previous);
        previous = file.number;
        EXPECT_TRUE(fileExists(end.directory + "/" + file.summary.interferogramName));
        // The simulator's noise makes every file its own: a record read back from the wrong
        // place would repeat another file's data.
        if (index > 0) {
            EXPECT_NE(file.data, observer_->files[index - 1]->data) << "file " << file.number;
        }
        EXPECT_NE(file.summary.worstQuality(), ostrel::spectra::GateStatus::Fail)
            << "file " << file.number;
    }
    const bool warned = std::any_of(
        observer_->warnings.begin(), observer_->warnings.end(), [](const std::string& warning) {
            return warning.find("files wait in memory and then on disk") != std::string::npos;
        });
    EXPECT_TRUE(warned) << "no warning said that the writing falls behind";
}

// A process killed in the middle of a run leaves its directory behind; the next session on the
// same data directory lists it as interrupted with every file it completed.
TEST(SessionHistoryKill, ARunLeftByAKilledProcessIsListedInterruptedWithItsFiles) {
    ScratchDirectory scratch;
    const std::string data = scratch.path() + "/data";
    const std::string run = data + "/20261209-120000-acquire";
    acquire::testing::ToolProcess tool(
        {"--files", "0", "--points", "1024", "--scans", "2", "--sim-scan-ms", "200", "--format",
         "csv,hdf5", "--out", run},
        {}, scratch.path());
    ASSERT_TRUE(tool.started());
    const Clock::time_point started = Clock::now();
    size_t lines = 0;
    while (lines < 4 && millisecondsSince(started) < 20000.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ifstream records(run + "/files.jsonl");
        std::string line;
        lines = 0;
        while (std::getline(records, line)) {
            ++lines;
        }
    }
    ASSERT_GE(lines, 4u);
    tool.signal(SIGKILL);
    tool.wait(5000);

    Session session(quickConfig(data));
    const std::vector<RunRecord> history = session.history();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].state, "interrupted");
    ASSERT_GE(history[0].files.size(), lines);
    for (const FileRecord& file : history[0].files) {
        EXPECT_TRUE(fileExists(run + "/" + file.interferogram)) << file.interferogram;
        EXPECT_TRUE(fileExists(run + "/" + file.spectrum)) << file.spectrum;
    }
    // The session closed the run on disk: its summary now says so and holds the files.
    EXPECT_FALSE(fileExists(run + "/files.jsonl"));
    RunRecord reread;
    ASSERT_TRUE(readRunRecord(run, &reread));
    EXPECT_EQ(reread.state, "interrupted");
    EXPECT_EQ(reread.files.size(), history[0].files.size());
}

long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Memory is flat over a run of any length: the per-file records go to the disk as they happen.
// The caches a run uses are bounded but fill during its first few thousand files (the archive's
// metadata cache up to 4 MiB, HDF5's free lists, the allocator's per-thread arenas), so the
// reference is taken once they are full, after 5,000 files.
// Sanitizers keep their own records of every allocation, so the figure means nothing there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif

TEST(SessionMemorySoak, ResidentMemoryDoesNotGrowOverTwentyThousandFiles) {
    if (kUnderSanitizer) {
        GTEST_SKIP() << "resident memory is not measured under a sanitizer";
    }
    ScratchDirectory scratch;
    SessionConfig config = quickConfig(scratch.path() + "/data", 0.0);
    config.simulator.readyMs = 0.0;
    Session session(config);
    Settings settings = smallSettings();
    settings.acquisition.points = 256;
    settings.acquisition.skip = 8000;
    settings.acquisition.scans = 1;
    // A queue of one MiB and none on disk: files waiting to be written (which a loaded machine
    // piles up, by design, each with a record in memory) must not stand in for the bookkeeping
    // this test measures.
    settings.outputs.queueMemoryMiB = 1;
    settings.outputs.queueDiskMiB = 0;
    // JSON tables: the session's own bookkeeping is what this measures. (With run.h5, HDF5's
    // chunk index keeps about 0.14 kB a file in memory of its own.)
    settings.outputs.formats = {};
    settings.outputs.formats.csv = false;
    settings.outputs.formats.jcamp = false;
    settings.outputs.formats.json = true;
    ASSERT_TRUE(session.applySettings(settings).ok());
    ASSERT_TRUE(session.connect("").ok());
    class FileCounter : public SessionObserver {
      public:
        void onFile(const std::shared_ptr<const FileEvent>&) override { ++files; }
        std::atomic<size_t> files{0};
    };
    auto counter = std::make_shared<FileCounter>();
    session.addObserver(counter);
    RunRequest request;
    request.files = 0;
    ASSERT_TRUE(session.startRun(request).ok());
    long afterWarmUp = -1;
    size_t reported = 0;
    const Clock::time_point started = Clock::now();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const size_t lines = counter->files.load();
        if (afterWarmUp < 0 && lines >= 5000) {
            afterWarmUp = residentKilobytes();
        }
        if (lines / 2000 != reported / 2000) {
            std::printf("%zu files: %ld kB\n", lines, residentKilobytes());
            reported = lines;
        }
        if (lines >= 20000 || millisecondsSince(started) > 600000.0) {
            break;
        }
    }
    const long atEnd = residentKilobytes();
    session.stop();
    ASSERT_TRUE(session.waitForRun(120000));
    ASSERT_GT(afterWarmUp, 0);
    EXPECT_GE(session.lastRunEnd().filesSaved, 20000u);
    EXPECT_LT(atEnd - afterWarmUp, 2048)
        << "after 5000 files " << afterWarmUp << " kB, at the end " << atEnd << " kB";
    std::printf("resident memory: %ld kB after 5000 files, %ld kB after %llu\n", afterWarmUp, atEnd,
                static_cast<unsigned long long>(session.lastRunEnd().filesSaved));
}

}  // namespace
}  // namespace ostrel::session::testing
