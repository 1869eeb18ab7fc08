#include "platform/last_error.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/host_event.h"

namespace {

namespace platform = ostrel::platform;

struct ErrnoCase {
    int errnoValue;
    int32_t number;
};

class LastErrorNumber : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(LastErrorNumber, IsTheWindowsSocketsNumberWhereOneExists) {
    errno = GetParam().errnoValue;
    EXPECT_EQ(platform::lastErrorNumber(), GetParam().number);
}

INSTANTIATE_TEST_SUITE_P(
    Errno, LastErrorNumber,
    ::testing::Values(ErrnoCase{ECONNREFUSED, 10061}, ErrnoCase{ETIMEDOUT, 10060},
                      ErrnoCase{EHOSTUNREACH, 10065}, ErrnoCase{ENETUNREACH, 10051},
                      ErrnoCase{ECONNRESET, 10054}, ErrnoCase{EPIPE, 10054},
                      ErrnoCase{EADDRINUSE, 10048}, ErrnoCase{EAGAIN, 10035},
                      ErrnoCase{EINPROGRESS, 10036}, ErrnoCase{ENOTSOCK, 10038},
                      ErrnoCase{EBADF, 10009}, ErrnoCase{EINTR, 10004}, ErrnoCase{EMFILE, 10024},
                      ErrnoCase{ESHUTDOWN, 10058}, ErrnoCase{EREMOTE, 10071},
                      ErrnoCase{ENOENT, ENOENT}, ErrnoCase{0, 0}));

struct MessageCase {
    int32_t number;
    std::string text;  // empty: the platform has none
};

class SystemMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(SystemMessage, DescribesTheNumber) {
    char text[256] = "junk";
    const size_t length = platform::systemMessage(GetParam().number, text, sizeof text);
    EXPECT_EQ(std::string(text), GetParam().text);
    EXPECT_EQ(length, GetParam().text.size());
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, SystemMessage,
    ::testing::Values(MessageCase{10061, std::strerror(ECONNREFUSED)},
                      MessageCase{10054, std::strerror(ECONNRESET)},
                      MessageCase{ENOENT, std::strerror(ENOENT)},
                      MessageCase{10093, "The socket service has not been started."},
                      MessageCase{10067, ""}, MessageCase{99999, ""}, MessageCase{-5, ""}));

TEST(SystemMessage, IsCutToTheBuffer) {
    char text[8] = "xxxxxxx";
    EXPECT_EQ(platform::systemMessage(10061, text, 5), 4u);
    EXPECT_EQ(std::string(text), std::string(std::strerror(ECONNREFUSED)).substr(0, 4));
    EXPECT_EQ(platform::systemMessage(10061, text, 1), 0u);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(platform::systemMessage(10061, nullptr, 0), 0u);
}

TEST(HostEvent, SignalAddsOneToTheEventfdAndZeroIsNoEvent) {
    const int descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(descriptor, 0);
    platform::signalHostEvent(0);
    platform::signalHostEvent(static_cast<uintptr_t>(descriptor));
    platform::signalHostEvent(static_cast<uintptr_t>(descriptor));
    uint64_t count = 0;
    ASSERT_EQ(read(descriptor, &count, sizeof count), static_cast<ssize_t>(sizeof count));
    EXPECT_EQ(count, 2u);
    close(descriptor);
}

}  // namespace
