#include "platform/event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using ostrel::platform::Event;
using ostrel::platform::kWaitForever;
using ostrel::platform::waitAny;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(Event, StaysSignalledUntilReset) {
    Event event;
    EXPECT_FALSE(event.wait(0));
    event.set();
    EXPECT_TRUE(event.wait(0));
    EXPECT_TRUE(event.wait(kWaitForever));
    event.reset();
    EXPECT_FALSE(event.wait(0));
}

TEST(Event, TimedWaitEndsAtItsLimit) {
    Event event;
    const auto start = Clock::now();
    EXPECT_FALSE(event.wait(80));
    EXPECT_GE(msSince(start), 79.0);
    EXPECT_LT(msSince(start), 300.0);
}

TEST(Event, SetFromAnotherThreadWakesTheWaiterAtOnce) {
    Event event;
    Clock::time_point setAt;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        setAt = Clock::now();
        event.set();
    });
    EXPECT_TRUE(event.wait(5000));
    const double latencyMs = msSince(setAt);
    setter.join();
    EXPECT_LT(latencyMs, 20.0);
}

TEST(WaitAny, FirstWinsWhenBothAreSignalled) {
    Event first;
    Event second;
    first.set();
    second.set();
    EXPECT_EQ(waitAny(first, second, 0), 0);
    EXPECT_EQ(waitAny(second, first, 0), 0);
}

class WaitAnySignalled : public ::testing::TestWithParam<int> {};

TEST_P(WaitAnySignalled, NamesTheEventSetWhileItWaits) {
    Event events[2];
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        events[GetParam()].set();
    });
    const auto start = Clock::now();
    EXPECT_EQ(waitAny(events[0], events[1], 5000), GetParam());
    EXPECT_LT(msSince(start), 1000.0);
    setter.join();
}

INSTANTIATE_TEST_SUITE_P(EitherEvent, WaitAnySignalled, ::testing::Values(0, 1));

TEST(WaitAny, ReturnsMinusOneWhenTheTimeRunsOut) {
    Event first;
    Event second;
    EXPECT_EQ(waitAny(first, second, 0), -1);
    const auto start = Clock::now();
    EXPECT_EQ(waitAny(first, second, 60), -1);
    EXPECT_GE(msSince(start), 59.0);
}

TEST(WaitAny, ManyWaitersOnSharedEventsAllWake) {
    Event stop;
    Event other;
    std::vector<std::thread> waiters;
    std::vector<int> results(8, -2);
    for (int i = 0; i < 8; ++i) {
        waiters.emplace_back([&, i] { results[i] = waitAny(other, stop, 5000); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    stop.set();
    for (std::thread& waiter : waiters) {
        waiter.join();
    }
    for (int result : results) {
        EXPECT_EQ(result, 1);
    }
}

}  // namespace
