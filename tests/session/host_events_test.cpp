// The host events as several fetching threads share one: each signal is taken exactly once,
// whichever thread wakes first, and a thread that finds the count gone does not wait for the next.
#include "run/host_events.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace ostrel::session {
namespace {

void signal(const HostEvents& events, HostEvent event) {
    const uint64_t one = 1;
    ASSERT_EQ(write(static_cast<int>(events.handle(event)), &one, sizeof one),
              static_cast<ssize_t>(sizeof one));
}

TEST(SharedHostEvents, AnEventLeftForTakeIsReportedByTheWaitAndTakenOnce) {
    HostEvents events;
    std::string error;
    ASSERT_TRUE(events.create(&error)) << error;
    events.leaveForTake(HostEvent::CoaddComplete);
    signal(events, HostEvent::CoaddComplete);
    signal(events, HostEvent::CoaddComplete);
    signal(events, HostEvent::FilesComplete);

    const EventCounts counts = events.wait(1000);
    EXPECT_EQ(counts.of(HostEvent::CoaddComplete), 1u) << "reported, not counted";
    EXPECT_EQ(counts.of(HostEvent::FilesComplete), 1u);
    // The wait reset the other event and left this one for take(), which has its whole count.
    EXPECT_TRUE(events.waitFor(HostEvent::CoaddComplete, -1, 0));
    EXPECT_EQ(events.take(HostEvent::CoaddComplete), 2u);
    // Taken: nothing to wait for, and a second take returns at once with nothing.
    EXPECT_FALSE(events.waitFor(HostEvent::CoaddComplete, -1, 20));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(events.take(HostEvent::CoaddComplete), 0u);
    EXPECT_EQ(events.wait(0).of(HostEvent::FilesComplete), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
}

// Two threads wait for one event and take turns at it, as the run's thread and the standby fetch
// do: all of them wake at each signal, one takes it, and the others go back to waiting.
TEST(SharedHostEvents, TwoWaitingThreadsTakeEverySignalExactlyOnceBetweenThem) {
    HostEvents events;
    std::string error;
    ASSERT_TRUE(events.create(&error)) << error;
    events.leaveForTake(HostEvent::CoaddComplete);
    WakeEvent stop;
    std::atomic<bool> stopping{false};
    std::atomic<uint64_t> taken{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 2; ++k) {
        threads.emplace_back([&] {
            while (!stopping.load()) {
                if (events.waitFor(HostEvent::CoaddComplete, stop.descriptor(), 100)) {
                    taken.fetch_add(events.take(HostEvent::CoaddComplete));
                }
            }
        });
    }
    constexpr uint64_t kSignals = 2000;
    for (uint64_t k = 0; k < kSignals; ++k) {
        signal(events, HostEvent::CoaddComplete);
        if (k % 16 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (taken.load() < kSignals && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stopping.store(true);
    stop.signal();
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(taken.load(), kSignals);
    EXPECT_EQ(events.take(HostEvent::CoaddComplete), 0u);
}

}  // namespace
}  // namespace ostrel::session
