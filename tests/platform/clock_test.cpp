#include "platform/clock.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

namespace {

namespace platform = ostrel::platform;

constexpr int64_t kUnitsPerSecond = 10000000;
constexpr int64_t kSeconds1601To1970 = 11644473600;

TEST(Clock, MonotonicClockAndSleepAgreeOnElapsedMilliseconds) {
    const uint64_t before = platform::monotonicMs();
    platform::sleepMs(50);
    const uint64_t elapsed = platform::monotonicMs() - before;
    EXPECT_GE(elapsed, 50u);
    EXPECT_LT(elapsed, 150u);
}

struct ZoneCase {
    const char* zone;
    int64_t offsetSeconds;  // local minus UTC
};

class LocalFileTime : public ::testing::TestWithParam<ZoneCase> {
  protected:
    void TearDown() override {
        unsetenv("TZ");
        tzset();
    }
};

TEST_P(LocalFileTime, IsUtcSince1601PlusTheZoneOffset) {
    setenv("TZ", GetParam().zone, 1);
    tzset();
    int64_t utcSeconds = 0;
    uint16_t milliseconds = 0;
    platform::utcTime(&utcSeconds, &milliseconds);
    const int64_t local = static_cast<int64_t>(platform::localFileTime());
    const int64_t expected =
        (utcSeconds + kSeconds1601To1970 + GetParam().offsetSeconds) * kUnitsPerSecond +
        milliseconds * 10000;
    EXPECT_NEAR(static_cast<double>(local - expected), 0.0, 0.5 * kUnitsPerSecond);
    EXPECT_LT(milliseconds, 1000);
}

INSTANTIATE_TEST_SUITE_P(Zones, LocalFileTime,
                         ::testing::Values(ZoneCase{"UTC0", 0}, ZoneCase{"XST-5", 5 * 3600},
                                           ZoneCase{"YST+3:30", -(3 * 3600 + 1800)}));

}  // namespace
