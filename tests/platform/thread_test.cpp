#include "platform/thread.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/event.h"
#include "support/resources.h"

namespace {

namespace platform = ostrel::platform;

struct Work {
    platform::Event release;
    std::atomic<bool> finished{false};
    std::atomic<int> nice{100};
    std::atomic<int> policy{-1};
};

unsigned runUntilReleased(void* argument) {
    Work* work = static_cast<Work*>(argument);
    work->release.wait(10000);
    work->nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    work->policy = sched_getscheduler(0);
    work->finished = true;
    return 0;
}

TEST(Thread, JoinTimesOutWhileTheThreadRunsAndSucceedsOnceItEnds) {
    Work work;
    platform::Thread* thread = platform::threadCreate(runUntilReleased, &work);
    ASSERT_NE(thread, nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::threadJoin(thread, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(49));
    work.release.set();
    EXPECT_TRUE(platform::threadJoin(thread, 5000));
    EXPECT_TRUE(work.finished);
    EXPECT_TRUE(platform::threadJoin(thread, 0));
    platform::threadRelease(thread);
}

TEST(Thread, TerminateIsRefusedAndAReleasedThreadRunsToItsEnd) {
    // A first thread makes sanitizers start their own helper threads before the count.
    Work warmUp;
    warmUp.release.set();
    platform::Thread* first = platform::threadCreate(runUntilReleased, &warmUp);
    ASSERT_TRUE(platform::threadJoin(first, 5000));
    platform::threadRelease(first);
    const int before = ostrel::testing::processThreads();
    Work work;
    platform::Thread* thread = platform::threadCreate(runUntilReleased, &work);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(platform::threadTerminate(thread));
    EXPECT_EQ(platform::threadCountInProcess(), before + 1);
    platform::threadRelease(thread);
    work.release.set();
    for (int i = 0; i < 200 && ostrel::testing::processThreads() != before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(work.finished);
    EXPECT_EQ(platform::threadCountInProcess(), before);
}

TEST(Thread, RaisedPriorityLowersNiceAsFarAsAllowedWithoutRealtime) {
    const int normalNice = getpriority(PRIO_PROCESS, 0);
    Work work;
    platform::Thread* thread = platform::threadCreate(runUntilReleased, &work);
    ASSERT_NE(thread, nullptr);
    platform::threadRaisePriority(thread);
    work.release.set();
    ASSERT_TRUE(platform::threadJoin(thread, 5000));
    platform::threadRelease(thread);
    if (geteuid() == 0) {
        EXPECT_EQ(work.nice, -20);
    } else {
        EXPECT_LE(work.nice, normalNice);
    }
    EXPECT_EQ(work.policy, SCHED_OTHER);
}

}  // namespace
