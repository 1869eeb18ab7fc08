// Long runs of the in-process driver against the simulator program: 500 files in one run, 50
// open/close cycles and 10 stop cycles. Descriptors, threads, resident memory and live heap
// blocks are measured before and after and must not grow; and no heap allocation is made off
// the test's own thread between the second and the last file of a run. The global allocation
// functions of this program are replaced with counting ones for that; the simulator runs in a
// process of its own so that its allocations are not counted.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "reliability/run_harness.h"
#include "reliability/sim_process.h"
#include "support/resources.h"

namespace {

std::atomic<long> liveBlocks{0};
std::atomic<long> offThreadAllocations{0};
std::atomic<bool> testThreadKnown{false};
pthread_t testThread;

void* countedAllocation(std::size_t size) {
    liveBlocks.fetch_add(1, std::memory_order_relaxed);
    if (testThreadKnown.load(std::memory_order_acquire) &&
        pthread_equal(pthread_self(), testThread) == 0) {
        offThreadAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

void countedRelease(void* memory) {
    if (memory != nullptr) {
        liveBlocks.fetch_sub(1, std::memory_order_relaxed);
        std::free(memory);
    }
}

}  // namespace

// The other forms of new and delete default to these, except the non-throwing ones, which the
// driver uses for its scan thread object.
void* operator new(std::size_t size) {
    return countedAllocation(size);
}
void* operator new[](std::size_t size) {
    return countedAllocation(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return countedAllocation(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* memory) noexcept {
    countedRelease(memory);
}
void operator delete[](void* memory) noexcept {
    countedRelease(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    countedRelease(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    countedRelease(memory);
}

namespace ostrel::testing {
namespace {

long residentKiB() {
    long pages = 0;
    long resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm != nullptr) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Resources {
    int descriptors;
    int threads;
    long residentKiB;
    long liveBlocks;

    static Resources now() {
        return {openDescriptors(), processThreads(), ostrel::testing::residentKiB(),
                ::liveBlocks.load()};
    }
};

// Memory a run may touch for the first time without growing: a few pages of stack and of
// the allocator's bookkeeping.
constexpr long kResidentSlackKiB = 512;

// The sanitizers hold freed memory back in a quarantine, so resident memory grows under them
// whatever the driver does; the live heap blocks still show a leak.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

void expectNoGrowth(const Resources& before, const Resources& after, const char* what) {
    std::printf(
        "%s: descriptors %d -> %d, threads %d -> %d, resident %ld -> %ld KiB, "
        "live heap blocks %ld -> %ld\n",
        what, before.descriptors, after.descriptors, before.threads, after.threads,
        before.residentKiB, after.residentKiB, before.liveBlocks, after.liveBlocks);
    EXPECT_EQ(after.descriptors, before.descriptors) << what;
    EXPECT_EQ(after.threads, before.threads) << what;
    if (kResidentMemoryMeaningful) {
        EXPECT_LE(after.residentKiB, before.residentKiB + kResidentSlackKiB) << what;
    }
    EXPECT_LE(after.liveBlocks, before.liveBlocks) << what;
}

// Waits for either event; true when one came.
bool awaitEither(const HostEvent& first, const HostEvent& second, int timeoutMs) {
    pollfd entries[2] = {{static_cast<int>(first.handle()), POLLIN, 0},
                         {static_cast<int>(second.handle()), POLLIN, 0}};
    return poll(entries, 2, timeoutMs) > 0;
}

// Runs the files, reading each published file as a host does, and counts the allocations made
// off the test's thread from the second file to the last. The co-add events of files that follow
// each other closely coalesce, so the host reads the progress count rather than counting events;
// the last file is known by the files-complete event.
void runAndRead(int files, int points) {
    RunEvents events;
    ASSERT_EQ(spectrometer_startCoadd(0), 0);
    std::vector<double> curve(2 * static_cast<size_t>(points));
    double stamp = 0.0;
    long allocationsAtSecondFile = -1;
    int filesRead = 0;
    while (!events.files.wait(0) && awaitEither(events.coadd, events.files, kRunLimitMs)) {
        events.coadd.take();
        int32_t progress = 0;
        spectrometer_getFileProgress(&progress);
        if (allocationsAtSecondFile < 0 && progress >= 2) {
            allocationsAtSecondFile = offThreadAllocations.load();
        }
        filesRead += spectrometer_getData(curve.data(), 2 * points, &stamp) == 0 ? 1 : 0;
    }
    const long allocationsAtLastFile = offThreadAllocations.load();
    ASSERT_TRUE(events.files.wait(0)) << lastErrorText();
    ASSERT_TRUE(awaitRunEnd());
    EXPECT_EQ(events.error.take(), 0u);
    int32_t progress = 0;
    spectrometer_getFileProgress(&progress);
    EXPECT_EQ(progress, files);
    EXPECT_GT(filesRead, 0);
    ASSERT_GE(allocationsAtSecondFile, 0);
    std::printf("allocations off the test thread from file 2 to file %d: %ld (%d files read)\n",
                files, allocationsAtLastFile - allocationsAtSecondFile, filesRead);
    EXPECT_EQ(allocationsAtLastFile - allocationsAtSecondFile, 0);
}

class SoakSlow : public ::testing::Test {
  protected:
    void SetUp() override {
        testThread = pthread_self();
        testThreadKnown.store(true, std::memory_order_release);
        spectrometer_setIPAddress("127.0.0.1");
    }
    void TearDown() override {
        spectrometer_close();
        testThreadKnown.store(false);
    }

    static void configure(int points, int scans) {
        ASSERT_EQ(spectrometer_setPoints(points), 0) << lastErrorText();
        ASSERT_EQ(spectrometer_setScans(scans), 0);
        ASSERT_EQ(spectrometer_setScanDirection(3), 0);
    }

    // Settles what the first open, run and close of a process set up once (the trace sink, the
    // time zone, the thread's stack cache), so that the measurement starts from a steady state.
    static void warmUp() {
        ASSERT_TRUE(openAndRunOneFile());
        spectrometer_close();
    }
};

TEST_F(SoakSlow, FiveHundredFilesInOneRunAllocateNothingPerFileAndGrowNothing) {
    constexpr int kFiles = 500;
    constexpr int kPoints = 256;
    SimProcess simulator({"--scan-ms", "2", "--ready-delay-ms", "1"});
    ASSERT_TRUE(simulator.ready());
    warmUp();
    const Resources before = Resources::now();

    ASSERT_EQ(spectrometer_open(0), 0) << lastErrorText();
    configure(kPoints, 1);
    spectrometer_setFiles(kFiles);
    runAndRead(kFiles, kPoints);
    spectrometer_close();
    expectNoGrowth(before, Resources::now(), "500 files");
}

TEST_F(SoakSlow, FiftyOpenCloseCyclesGrowNothing) {
    SimProcess simulator({"--scan-ms", "2", "--ready-delay-ms", "1"});
    ASSERT_TRUE(simulator.ready());
    warmUp();
    const Resources before = Resources::now();
    for (int cycle = 0; cycle < 50; ++cycle) {
        if (cycle % 10 == 0) {
            ASSERT_TRUE(openAndRunOneFile()) << "cycle " << cycle;
        } else {
            ASSERT_EQ(spectrometer_open(cycle), 0) << "cycle " << cycle << ": " << lastErrorText();
        }
        ASSERT_EQ(spectrometer_close(), 0);
    }
    expectNoGrowth(before, Resources::now(), "50 open/close cycles");
}

// The counter must see what other threads allocate, or a clean soak would prove nothing.
TEST(AllocationCounter, CountsAllocationsMadeOffTheTestThread) {
    testThread = pthread_self();
    testThreadKnown.store(true, std::memory_order_release);
    const long before = offThreadAllocations.load();
    std::thread([] { delete new int(7); }).join();
    EXPECT_GE(offThreadAllocations.load() - before, 1);
    const long onThread = offThreadAllocations.load();
    delete new int(8);
    EXPECT_EQ(offThreadAllocations.load(), onThread);
    testThreadKnown.store(false);
}

class SoakStopSlow : public SoakSlow {};

TEST_F(SoakStopSlow, TenStopCyclesGrowNothing) {
    // 100 ms a scan at 1024 points: a stop always finds the run in its scan sequence.
    SimProcess simulator({"--scan-ms", "1600", "--ready-delay-ms", "1", "--reboot-ms", "300"});
    ASSERT_TRUE(simulator.ready());
    warmUp();
    ASSERT_EQ(spectrometer_open(0), 0) << lastErrorText();
    const Resources before = Resources::now();
    for (int cycle = 0; cycle < 10; ++cycle) {
        // The instrument lost its settings in the reboot; the host sets them again.
        configure(1024, 50);
        spectrometer_setFiles(0);
        ASSERT_EQ(spectrometer_startCoadd(0), 0) << "cycle " << cycle;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const Stopwatch watch;
        ASSERT_EQ(spectrometer_stop(), 0) << "cycle " << cycle << ": " << lastErrorText();
        EXPECT_LT(watch.elapsedMs(), 5000.0 + 3000.0);
        EXPECT_EQ(driverStatus(), 4);
    }
    expectNoGrowth(before, Resources::now(), "10 stop cycles");
}

}  // namespace
}  // namespace ostrel::testing
