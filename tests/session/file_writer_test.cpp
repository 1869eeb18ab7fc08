// The file pipeline's queue: files that wait on disk when memory is short are written like the
// others, in order and to the last bit, and a full queue drops files rather than growing; each
// file's record is written by the workers in file order; and the threads' priorities beside the
// fetch.
#include "pipeline/file_writer.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "outputs/output_files.h"
#include "pipeline/handoff_ring.h"
#include "pipeline/spill_file.h"
#include "platform/threads.h"
#include "support/threads.h"
#include "tool_harness.h"

namespace ostrel::session {
namespace {

using ostrel::acquire::testing::CsvFile;
using ostrel::acquire::testing::fileExists;
using ostrel::acquire::testing::readCsv;
using ostrel::acquire::testing::ScratchDirectory;
using ostrel::testing::mayUseRealTime;
using ostrel::testing::threadsNamed;

constexpr size_t kPoints = 1024;  // per half
constexpr size_t kFileBytes = 2 * kPoints * sizeof(double);

// Values no two files share, with fractions that only a shortest round-trip text keeps.
AcquiredFile makeFile(uint64_t number) {
    AcquiredFile file;
    file.number = number;
    file.timestampMs = 1.7e12 + static_cast<double>(number);
    file.data.resize(2 * kPoints);
    for (size_t i = 0; i < file.data.size(); ++i) {
        file.data[i] = std::sin(0.001 * static_cast<double>(i * 7 + number)) * 1e4 / 3.0;
    }
    return file;
}

FileSettings queueSettings(const std::string& directory) {
    FileSettings settings;
    settings.directory = directory;
    settings.tables = {OutputFormat::Csv};
    settings.halves = {"forward", "reverse"};
    settings.scans = 1;
    settings.workers = 1;
    settings.maxPendingBytes = 4 * kFileBytes;
    settings.spillReserveBytes = 0;
    return settings;
}

// Takes the written files (a written file holds memory until it is taken) until the memory holds
// room for one more file, for at most 10 s.
void waitForRoom(FileWriter& writer, size_t limit, std::vector<uint64_t>* order) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        for (const WrittenFile& written : writer.takeWritten()) {
            order->push_back(written.summary.number);
        }
        if (writer.pendingBytes() + kFileBytes <= limit ||
            std::chrono::steady_clock::now() > deadline) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void expectSavedAsSubmitted(const std::string& directory, uint64_t number) {
    CsvFile csv;
    std::string error;
    const std::string path =
        directory + "/" + numberedFileName("interferogram", number, OutputFormat::Csv);
    ASSERT_TRUE(readCsv(path, &csv, &error)) << error;
    const AcquiredFile expected = makeFile(number);
    ASSERT_EQ(csv.rows.size(), kPoints) << path;
    for (size_t row = 0; row < kPoints; ++row) {
        ASSERT_EQ(csv.rows[row][1], expected.data[row]) << path << " row " << row;
        ASSERT_EQ(csv.rows[row][2], expected.data[kPoints + row]) << path << " row " << row;
    }
}

TEST(FileQueue, FilesThatWaitedOnDiskAreWrittenInOrderToTheLastBit) {
    ScratchDirectory scratch;
    FileWriter writer(queueSettings(scratch.path()));
    std::string error;
    ASSERT_TRUE(writer.start(&error)) << error;
    constexpr uint64_t kFiles = 60;
    std::vector<uint64_t> order;
    for (uint64_t number = 1; number <= kFiles; ++number) {
        // As fast as the memory lets files in: the one worker falls behind at once. A file read
        // back from the disk takes memory again, so the room seen may be gone a moment later.
        int attempts = 0;
        do {
            ASSERT_LT(++attempts, 100) << "file " << number << " never fitted";
            waitForRoom(writer, 4 * kFileBytes, &order);
        } while (!writer.submit(makeFile(number)));
    }
    writer.finish();
    for (const WrittenFile& written : writer.takeWritten()) {
        order.push_back(written.summary.number);
    }
    EXPECT_EQ(writer.failure(), "");
    EXPECT_GT(writer.filesSpilled(), 0u) << "the memory never filled: the test proves nothing";
    ASSERT_EQ(order.size(), kFiles);
    for (uint64_t index = 0; index < kFiles; ++index) {
        EXPECT_EQ(order[index], index + 1);
        expectSavedAsSubmitted(scratch.path(), index + 1);
    }
    EXPECT_EQ(writer.spilledBytes(), 0u);
    EXPECT_EQ(writer.pendingBytes(), 0u);
    EXPECT_FALSE(fileExists(scratch.path() + "/" + SpillFile::kName));
}

TEST(FileQueue, FullMemoryAndDiskSharesDropNewFilesAndWriteEveryFileTheyTook) {
    ScratchDirectory scratch;
    FileSettings settings = queueSettings(scratch.path());
    // Two files on disk at most; without a disk share at all the memory alone decides.
    for (const uint64_t diskShare : {2 * SpillFile::recordBytes(2 * kPoints), uint64_t{0}}) {
        settings.maxSpillBytes = diskShare;
        settings.directory = scratch.path() + (diskShare == 0 ? "/no-disk" : "/disk");
        std::string error;
        bool created = false;
        ASSERT_TRUE(makeDirectories(settings.directory, &created, &error)) << error;
        FileWriter writer(settings);
        ASSERT_TRUE(writer.start(&error)) << error;
        std::vector<uint64_t> taken;
        for (uint64_t number = 1; number <= 40; ++number) {
            if (writer.submit(makeFile(number))) {
                taken.push_back(number);
            }
        }
        EXPECT_LT(taken.size(), 40u) << "nothing was dropped: the queue is not bounded";
        EXPECT_LE(writer.spilledBytes(), diskShare);
        writer.finish();
        const std::vector<WrittenFile> written = writer.takeWritten();
        ASSERT_EQ(written.size(), taken.size());
        for (size_t index = 0; index < taken.size(); ++index) {
            EXPECT_EQ(written[index].summary.number, taken[index]);
            expectSavedAsSubmitted(settings.directory, taken[index]);
        }
        EXPECT_LE(writer.filesSpilled(), 2u);
    }
}

// What the run records of each file is written by the workers, in file order whichever worker
// wrote the file, never on the thread that hands the files over (the one that must be back at
// the driver in time for the next file); a record that cannot be written fails the writing.
TEST(FileRecorder, FilesAreRecordedInOrderOffTheFetchingThreadAndAFailedRecordStopsTheWriting) {
    ScratchDirectory scratch;
    FileSettings settings = queueSettings(scratch.path());
    settings.workers = 3;
    settings.maxPendingBytes = 64 * kFileBytes;
    FileWriter writer(settings);
    const std::thread::id fetching = std::this_thread::get_id();
    std::vector<uint64_t> recorded;
    bool onFetchingThread = false;
    bool timed = true;
    writer.recordEachFile([&](const FileSummary& file, std::string* error) {
        onFetchingThread = onFetchingThread || std::this_thread::get_id() == fetching;
        timed = timed && file.writeSeconds > 0.0;
        if (file.number == 25) {
            *error = "cannot write files.jsonl: No space left on device";
            return false;
        }
        recorded.push_back(file.number);
        return true;
    });
    std::string error;
    ASSERT_TRUE(writer.start(&error)) << error;
    for (uint64_t number = 1; number <= 30; ++number) {
        ASSERT_TRUE(writer.submit(makeFile(number))) << number;
    }
    writer.finish();
    std::vector<uint64_t> handedOver;
    for (const WrittenFile& written : writer.takeWritten()) {
        handedOver.push_back(written.summary.number);
    }
    std::vector<uint64_t> expected;
    for (uint64_t number = 1; number <= 24; ++number) {
        expected.push_back(number);
    }
    EXPECT_EQ(recorded, expected);
    EXPECT_EQ(handedOver, expected) << "a file is handed over only once it is recorded";
    EXPECT_FALSE(onFetchingThread);
    EXPECT_TRUE(timed) << "a record is written after the file's write time is known";
    EXPECT_NE(writer.failure().find("No space left on device"), std::string::npos)
        << writer.failure();
}

// The fetch loses a file when a worker holds the processor past the next file's publication;
// a worker that waits loses nothing. The workers must be background threads (a nice value and
// a policy apply to one thread on Linux, so setting them on the wrong one goes unnoticed), and
// the fetch's request for prompt wake-ups must give it a real-time priority where that is allowed,
// leave its nice value as it was, and not pass the priority on to threads it starts.
TEST(ThreadPriorities, WorkersAreBackgroundThreadsAndThePromptFetchKeepsItsPriority) {
    ScratchDirectory scratch;
    FileSettings settings = queueSettings(scratch.path());
    settings.workers = 2;
    const int ownNice = getpriority(PRIO_PROCESS, 0);
    FileWriter writer(settings);
    std::string error;
    ASSERT_TRUE(writer.start(&error)) << error;
    std::vector<pid_t> workers;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (workers.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        workers = threadsNamed("ostrel-writer");
    }
    ASSERT_EQ(workers.size(), 2u);
    for (const pid_t worker : workers) {
        EXPECT_EQ(sched_getscheduler(worker), SCHED_BATCH) << "worker " << worker;
        EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(worker)), std::min(ownNice + 10, 19))
            << "worker " << worker;
    }
    writer.finish();

    // A fetch thread of a tool started with `nice -n 3`, then asking for prompt wake-ups.
    std::thread fetch([] {
        setpriority(PRIO_PROCESS, 0, std::min(getpriority(PRIO_PROCESS, 0) + 3, 19));
        const int before = getpriority(PRIO_PROCESS, 0);
        const platform::WakeupPriority granted = platform::askForPromptWakeups();
        EXPECT_EQ(getpriority(PRIO_PROCESS, 0), before);
        if (mayUseRealTime()) {
            EXPECT_EQ(granted, platform::WakeupPriority::RealTime);
            // The policy comes back with the flag that keeps it from threads started later.
            EXPECT_EQ(sched_getscheduler(0) & ~SCHED_RESET_ON_FORK, SCHED_FIFO);
            // Asking again keeps it, and a thread it starts is an ordinary one.
            EXPECT_EQ(platform::askForPromptWakeups(), platform::WakeupPriority::RealTime);
            int childPolicy = -1;
            std::thread child([&childPolicy] { childPolicy = sched_getscheduler(0); });
            child.join();
            EXPECT_EQ(childPolicy, SCHED_OTHER) << "a thread inherited the real-time priority";
        } else {
            EXPECT_NE(granted, platform::WakeupPriority::RealTime);
            EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);
        }
    });
    fetch.join();
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), ownNice) << "the process's own thread was changed";
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER) << "the process's own thread was changed";
}

// Where real-time priority is not allowed (an ordinary user without an rtprio limit), asking for
// prompt wake-ups falls back to an ordinary thread's policy and says so. Checked in a child process
// that gives up the right: its limit set to 0 and, when run as root, its user changed to nobody.
TEST(ThreadPriorities, WithoutTheRightToRealTimeTheFetchStaysAnOrdinaryThread) {
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const rlimit none{0, 0};
        if (setrlimit(RLIMIT_RTPRIO, &none) != 0) {
            _exit(10);
        }
        if (geteuid() == 0 &&
            (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) {
            _exit(11);
        }
        const platform::WakeupPriority granted = platform::askForPromptWakeups();
        if (granted == platform::WakeupPriority::RealTime) {
            _exit(12);
        }
        _exit(sched_getscheduler(0) == SCHED_OTHER ? 0 : 13);
    }
    int status = 0;
    pid_t ended = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the child did not end";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "10: cannot lower the limit, 11: cannot leave root, 12: real-time granted anyway, "
           "13: the policy changed";
}

// The fetch hands files to the writers through the ring while they take them on another thread:
// every file arrives once, in order, with its own data; a full ring refuses a file and leaves it
// with the caller (who reports it), rather than overwriting one not yet taken.
TEST(HandoffRing, FilesCrossBetweenThreadsInOrderAndAFullRingRefusesWithoutLoss) {
    HandoffRing<std::vector<double>> ring(3);
    std::vector<double> value{1.0};
    for (int index = 0; index < 3; ++index) {
        ASSERT_TRUE(ring.push(value));
        value = {static_cast<double>(index + 2)};
    }
    EXPECT_FALSE(ring.push(value));
    EXPECT_EQ(value, std::vector<double>{4.0}) << "a refused value was taken";
    std::vector<double> taken;
    for (double expected : {1.0, 2.0, 3.0}) {
        ASSERT_TRUE(ring.pop(&taken));
        EXPECT_EQ(taken, std::vector<double>{expected});
    }
    EXPECT_FALSE(ring.pop(&taken));
    EXPECT_TRUE(ring.empty());

    constexpr int kValues = 20000;
    std::thread consumer([&ring] {
        std::vector<double> next;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (int expected = 0; expected < kValues && std::chrono::steady_clock::now() < giveUp;) {
            if (!ring.pop(&next)) {
                std::this_thread::yield();
                continue;
            }
            ASSERT_EQ(next.size(), 64u);
            ASSERT_EQ(next.front(), expected);
            ASSERT_EQ(next.back(), expected);
            ++expected;
        }
    });
    // A consumer that stopped on a failure takes nothing more: the producer gives up by then.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int index = 0; index < kValues && std::chrono::steady_clock::now() < deadline; ++index) {
        std::vector<double> data(64, static_cast<double>(index));
        while (!ring.push(data) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
    }
    consumer.join();
    EXPECT_TRUE(ring.empty());
}

TEST(SpillFile, RecordsReadBackAndAMismatchIsAnErrorNotData) {
    ScratchDirectory scratch;
    SpillFile spill;
    std::string error;
    ASSERT_TRUE(spill.open(scratch.path(), &error)) << error;
    const AcquiredFile first = makeFile(7);
    const AcquiredFile second = makeFile(8);
    const uint64_t secondOffset = SpillFile::recordBytes(first.data.size());
    ASSERT_TRUE(spill.write(0, 7, first.timestampMs, first.data.data(), first.data.size(), &error));
    ASSERT_TRUE(spill.write(secondOffset, 8, second.timestampMs, second.data.data(),
                            second.data.size(), &error));
    std::vector<double> values(second.data.size());
    ASSERT_TRUE(spill.read(secondOffset, 8, values.data(), values.size(), &error)) << error;
    EXPECT_EQ(values, second.data);
    ASSERT_TRUE(spill.read(0, 7, values.data(), values.size(), &error)) << error;
    EXPECT_EQ(values, first.data);
    // The wrong file's number, or a count that runs past the record, is refused.
    EXPECT_FALSE(spill.read(0, 8, values.data(), values.size(), &error));
    EXPECT_NE(error.find("file 8"), std::string::npos) << error;
    EXPECT_FALSE(spill.read(0, 7, values.data(), values.size() - 1, &error));
    EXPECT_TRUE(fileExists(scratch.path() + "/" + SpillFile::kName));
    spill.close();
    EXPECT_FALSE(fileExists(scratch.path() + "/" + SpillFile::kName));
}

}  // namespace
}  // namespace ostrel::session
