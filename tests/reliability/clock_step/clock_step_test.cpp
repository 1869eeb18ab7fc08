// The wall clock of the driver's process stepped by an hour, forward and back, in the middle of
// each of the driver's waits. The driver runs in a child process (the probe) with a time faker
// preloaded that reads its offset from a file; this process runs the simulator and rewrites the
// file during the wait, as a time-server correction or a daylight-saving change would set the
// clock. Every wait must end on its own limit, measured on the monotonic clock: not an hour late
// after a step back, not at once after a step forward; a wait that the instrument satisfies must
// succeed; and the time stamps published with the files must follow the stepped wall clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/sim_fixture.h"

extern char** environ;

namespace ostrel::testing {
namespace {

constexpr int kHourSeconds = 3600;

double wallNowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The faker's offset file. It is replaced by a rename, so that the probe, which reads it at
// every clock reading, never sees it half written.
class FakeClockFile {
  public:
    FakeClockFile() {
        char pattern[] = "/tmp/ostrel-clockstep-XXXXXX";
        directory_ = mkdtemp(pattern) != nullptr ? pattern : "";
        path_ = directory_ + "/offset";
        set(0);
    }
    ~FakeClockFile() {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    FakeClockFile(const FakeClockFile&) = delete;
    FakeClockFile& operator=(const FakeClockFile&) = delete;

    void set(int offsetSeconds) const {
        const std::string next = path_ + ".next";
        {
            std::ofstream file(next, std::ios::trunc);
            file << (offsetSeconds < 0 ? "" : "+") << offsetSeconds << "\n";
        }
        std::filesystem::rename(next, path_);
    }
    const std::string& path() const { return path_; }

  private:
    std::string directory_;
    std::string path_;
};

struct ProbeResult {
    bool finished = false;
    int code = 0;
    double elapsedMs = 0.0;
    double stampMs = 0.0;
    std::string output;
};

// The probe with the faker preloaded. Its standard output is read line by line.
class Probe {
  public:
    Probe(const std::vector<std::string>& arguments, const FakeClockFile& clock) {
        // The faker's variables replace any inherited ones; an entry given twice would leave
        // the first one in force.
        std::vector<std::string> environment;
        std::string asanOptions = "verify_asan_link_order=0";
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (text.rfind("ASAN_OPTIONS=", 0) == 0) {
                asanOptions = text.substr(13) + ":" + asanOptions;
            } else if (text.rfind("LD_PRELOAD=", 0) != 0 && text.rfind("FAKETIME", 0) != 0) {
                environment.push_back(text);
            }
        }
        environment.push_back(std::string("LD_PRELOAD=") + OSTREL_FAKETIME_LIBRARY);
        environment.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
        environment.push_back("FAKETIME_NO_CACHE=1");
        environment.push_back("FAKETIME_TIMESTAMP_FILE=" + clock.path());
        // The ASan runtime wants to come first among the loaded libraries; the faker is loaded
        // before it, which ASan accepts when told not to check the order.
        environment.push_back("ASAN_OPTIONS=" + asanOptions);
        std::vector<std::string> argv = arguments;
        argv.insert(argv.begin(), OSTREL_CLOCK_STEP_PROBE);

        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        std::vector<char*> argvPointers = pointers(argv);
        std::vector<char*> envPointers = pointers(environment);
        if (posix_spawn(&pid_, OSTREL_CLOCK_STEP_PROBE, &actions, nullptr, argvPointers.data(),
                        envPointers.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        output_ = ends[0];
    }
    ~Probe() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (output_ >= 0) {
            close(output_);
        }
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // Reads until a line beginning with prefix arrives; false when the time runs out or the
    // probe ends without one.
    bool awaitLine(const std::string& prefix, int timeoutMs, std::string* line) {
        const Stopwatch watch;
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string next = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                transcript_ += next + "\n";
                if (next.rfind(prefix, 0) == 0) {
                    *line = next;
                    return true;
                }
                continue;
            }
            const int left = timeoutMs - static_cast<int>(watch.elapsedMs());
            pollfd entry{output_, POLLIN, 0};
            if (left <= 0 || poll(&entry, 1, left) != 1) {
                return false;
            }
            char chunk[512];
            const ssize_t count = read(output_, chunk, sizeof chunk);
            if (count <= 0) {
                return false;
            }
            buffer_.append(chunk, static_cast<size_t>(count));
        }
    }

    ProbeResult result(int timeoutMs) {
        ProbeResult result;
        std::string line;
        if (awaitLine("RESULT", timeoutMs, &line)) {
            std::istringstream fields(line.substr(6));
            fields >> result.code >> result.elapsedMs >> result.stampMs;
            result.finished = !fields.fail();
        }
        result.output = transcript_;
        return result;
    }

  private:
    static std::vector<char*> pointers(std::vector<std::string>& texts) {
        std::vector<char*> list;
        for (std::string& text : texts) {
            list.push_back(text.data());
        }
        list.push_back(nullptr);
        return list;
    }

    pid_t pid_ = -1;
    int output_ = -1;
    std::string buffer_;
    std::string transcript_;
};

// Whether the faker loads into the probe and moves its wall clock: not every sanitizer runtime
// accepts a preloaded library that intercepts the clock functions.
bool fakerWorks(std::string* why) {
    if (std::string(OSTREL_FAKETIME_LIBRARY).empty()) {
        *why = "libfaketime was not found when the build was configured (scripts/setup.sh)";
        return false;
    }
    FakeClockFile clock;
    clock.set(kHourSeconds);
    Probe probe({"selftest"}, clock);
    const ProbeResult seen = probe.result(10000);
    if (!seen.finished) {
        *why = "the probe did not start with libfaketime preloaded: " + seen.output;
        return false;
    }
    if (std::abs(seen.stampMs - wallNowMs() - kHourSeconds * 1000.0) > 60000.0) {
        *why = "libfaketime was preloaded but did not move the probe's wall clock";
        return false;
    }
    return true;
}

// One row: a wait, how the simulator makes it wait, when the clock is stepped, and the outcome.
struct ClockStepCase {
    const char* name;
    std::vector<std::string> probeArguments;
    std::function<void(sim::Simulator&)> arrange;
    int stepAfterMs;   // from the start of the wait
    int stepSeconds;   // +3600 or -3600
    int expectedCode;  // the export's result, or the run's last error
    double limitMs;    // for a wait that must time out: its limit; 0 for one that succeeds
    double marginMs;   // how far past its limit the wait may end (the pace of its tests)
    bool checksStamp;  // the last file's time stamp must follow the stepped clock
};

void PrintTo(const ClockStepCase& row, std::ostream* out) {
    *out << row.name << (row.stepSeconds > 0 ? " +1 h" : " -1 h");
}

void runCase(const ClockStepCase& row) {
    std::string why;
    if (!fakerWorks(&why)) {
        GTEST_SKIP() << why;
    }
    sim::Config config = fastConfig();
    std::unique_ptr<sim::Simulator> simulator = startSimulator(config);
    ASSERT_NE(simulator, nullptr);
    row.arrange(*simulator);

    FakeClockFile clock;
    Probe probe(row.probeArguments, clock);
    std::string line;
    ASSERT_TRUE(probe.awaitLine("WAIT", 30000, &line)) << probe.result(0).output;
    std::this_thread::sleep_for(std::chrono::milliseconds(row.stepAfterMs));
    clock.set(row.stepSeconds);

    const double limitMs = row.limitMs > 0 ? row.limitMs : 30000.0;
    const ProbeResult result = probe.result(static_cast<int>(limitMs + row.marginMs) + 15000);
    ASSERT_TRUE(result.finished) << "the wait did not end: " << result.output;
    std::printf("clock step %+d s after %d ms: %s took %.0f ms, result %d\n", row.stepSeconds,
                row.stepAfterMs, row.name, result.elapsedMs, result.code);
    EXPECT_EQ(result.code, row.expectedCode) << result.output;
    if (row.limitMs > 0) {
        // A step forward must not cut the wait short, a step back must not stretch it.
        EXPECT_GE(result.elapsedMs, row.limitMs - 50.0);
        EXPECT_LE(result.elapsedMs, row.limitMs + row.marginMs);
    }
    if (row.checksStamp) {
        const double expected = wallNowMs() + row.stepSeconds * 1000.0;
        EXPECT_NEAR(result.stampMs, expected, 10000.0)
            << "the file's time stamp does not follow the stepped wall clock";
    }
}

// The probe's run: points, scans, files, calibrated scan time (ms), scan-complete event.
std::vector<std::string> runArguments(int points, int scans, int files, int calscanMs,
                                      bool scanEvent) {
    return {"run",
            std::to_string(points),
            std::to_string(scans),
            std::to_string(files),
            std::to_string(calscanMs),
            scanEvent ? "1" : "0"};
}

// A 16384-point scan of 800 ms: five of them make a sequence of four seconds, with a progress
// line every 800 ms, well inside a single-scan limit of 2 x 1000 ms.
void slowScans(sim::Simulator& simulator) {
    simulator.setScanMsAt16k(800.0);
}

void silentSequence(sim::Simulator& simulator) {
    simulator.setFault(sim::Phase::ScanSequence, sim::Fault::NoGreeting);
}

std::vector<ClockStepCase> bothSteps(ClockStepCase row) {
    ClockStepCase back = row;
    back.stepSeconds = -kHourSeconds;
    ClockStepCase forward = row;
    forward.stepSeconds = kHourSeconds;
    return {forward, back};
}

// The waits that end in a few seconds.
std::vector<ClockStepCase> quickCases() {
    const std::vector<ClockStepCase> rows = {
        {"OkNeverComes",
         {"ok"},
         [](sim::Simulator& s) {
             s.setFault(sim::Phase::Command, sim::Fault::NoGreeting, "points");
         },
         2500,
         0,
         3,
         5000.0,
         1000.0,
         false},
        {"OkArrivesLate",
         {"ok"},
         [](sim::Simulator& s) {
             s.setTrickle(1, 1500.0);
             s.setFault(sim::Phase::Command, sim::Fault::Trickle, "points");
         },
         700,
         0,
         0,
         0.0,
         0.0,
         false},
        {"ReadyGreetingArrivesLate",
         {"open"},
         [](sim::Simulator& s) {
             s.setTrickle(1, 600.0);
             s.setFault(sim::Phase::CommandGreeting, sim::Fault::Trickle);
         },
         1200,
         0,
         0,
         0.0,
         0.0,
         false},
        {"SingleScanLimitWithoutProgress", runArguments(16384, 1, 1, 1000, true), silentSequence,
         1000, 0, 12, 2000.0, 3500.0, false},
        {"SingleScanLimitWithProgress", runArguments(16384, 5, 1, 1000, true), slowScans, 1500, 0,
         0, 0.0, 0.0, false},
        {"DeadmanWithProgressAndNoScanEvent", runArguments(16384, 5, 1, 0, false), slowScans, 1500,
         0, 0, 0.0, 0.0, false},
        {"BlockArrivesSlowly", runArguments(1024, 1, 1, 0, true),
         [](sim::Simulator& s) {
             s.setTrickle(1500, 700.0);
             s.setFault(sim::Phase::DataTransfer, sim::Fault::Trickle);
         },
         1500, 0, 0, 0.0, 0.0, false},
        {"RunOfThreeFilesStampsFollowTheClock", runArguments(1024, 2, 3, 0, true),
         [](sim::Simulator& s) { s.setScanMsAt16k(8000.0); }, 1000, 0, 0, 0.0, 0.0, true},
    };
    std::vector<ClockStepCase> cases;
    for (const ClockStepCase& row : rows) {
        for (ClockStepCase& stepped : bothSteps(row)) {
            cases.push_back(stepped);
        }
    }
    return cases;
}

// The waits of ten seconds and more.
std::vector<ClockStepCase> slowCases() {
    const std::vector<ClockStepCase> rows = {
        {"ReadyGreetingNeverComes",
         {"open"},
         [](sim::Simulator& s) { s.setFault(sim::Phase::CommandGreeting, sim::Fault::Silence); },
         5000,
         0,
         1,
         10000.0,
         1000.0,
         false},
        {"BlockStallsMidway", runArguments(1024, 1, 1, 0, true),
         [](sim::Simulator& s) { s.setFault(sim::Phase::DataTransfer, sim::Fault::StallMidBlock); },
         5000, 0, 13, 10000.0, 1500.0, false},
        {"DeadmanWithoutProgress", runArguments(16384, 1, 1, 0, true), silentSequence, 20000, 0, 11,
         45000.0, 3500.0, false},
    };
    std::vector<ClockStepCase> cases;
    for (const ClockStepCase& row : rows) {
        for (ClockStepCase& stepped : bothSteps(row)) {
            cases.push_back(stepped);
        }
    }
    return cases;
}

class ClockStep : public ::testing::TestWithParam<ClockStepCase> {};
class ClockStepSlow : public ::testing::TestWithParam<ClockStepCase> {};

TEST_P(ClockStep, WaitEndsOnItsOwnLimitAndAnsweredWaitSucceeds) {
    runCase(GetParam());
}

TEST_P(ClockStepSlow, WaitEndsOnItsOwnLimitAndAnsweredWaitSucceeds) {
    runCase(GetParam());
}

std::string steppedName(const ::testing::TestParamInfo<ClockStepCase>& info) {
    return std::string(info.param.name) + (info.param.stepSeconds > 0 ? "Forward" : "Back");
}

INSTANTIATE_TEST_SUITE_P(Waits, ClockStep, ::testing::ValuesIn(quickCases()), steppedName);
INSTANTIATE_TEST_SUITE_P(Waits, ClockStepSlow, ::testing::ValuesIn(slowCases()), steppedName);

}  // namespace
}  // namespace ostrel::testing
