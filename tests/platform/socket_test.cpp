#include "platform/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <memory>

#include "support/loopback.h"

namespace {

namespace platform = ostrel::platform;
using ostrel::testing::kLoopback;
using ostrel::testing::Listener;
using platform::Readiness;

// One socket of the driver's kind in a given state, with whatever keeps that state alive.
struct Scenario {
    platform::SocketHandle socket = platform::kNoSocket;
    std::unique_ptr<Listener> listener;
    int peer = -1;
    platform::SocketHandle filler = platform::kNoSocket;
    ~Scenario() {
        if (filler >= 0) {
            platform::socketCloseHandle(filler);
        }
        if (peer >= 0) {
            close(peer);
        }
        if (socket >= 0) {
            platform::socketCloseHandle(socket);
        }
    }
};

enum class State {
    Unconnected,
    Pending,
    Refused,
    RefusedErrorRead,
    Idle,
    Data,
    PeerClosed,
    PeerReset,
    OutOfBand
};

void makeSocket(Scenario* s) {
    ASSERT_EQ(platform::socketCreate(platform::SocketType::Stream, &s->socket), 0);
}

void connectTo(Scenario* s, uint16_t port) {
    makeSocket(s);
    const int result = platform::socketConnect(s->socket, kLoopback, port);
    ASSERT_TRUE(result == 0 || result == platform::kWsaWouldBlock || result == 10061) << result;
}

void establish(Scenario* s) {
    s->listener = std::make_unique<Listener>();
    connectTo(s, s->listener->port());
    s->peer = s->listener->accept();
    ASSERT_GE(s->peer, 0);
    ASSERT_EQ(platform::socketReady(s->socket, Readiness::Writable, 1000), 1);
}

void prepare(State state, Scenario* s) {
    switch (state) {
        case State::Unconnected:
            makeSocket(s);
            break;
        case State::Pending: {
            // The backlog-0 queue holds one connection; the next one stays pending.
            s->listener = std::make_unique<Listener>(0);
            connectTo(s, s->listener->port());
            std::swap(s->socket, s->filler);
            connectTo(s, s->listener->port());
            break;
        }
        case State::Refused:
        case State::RefusedErrorRead:
            connectTo(s, ostrel::testing::unusedPort());
            ostrel::testing::settle();
            if (state == State::RefusedErrorRead) {
                EXPECT_EQ(platform::socketConnectError(s->socket), platform::kWsaConnectionRefused);
            }
            break;
        case State::Idle:
            establish(s);
            break;
        case State::Data:
            establish(s);
            ASSERT_EQ(write(s->peer, "x", 1), 1);
            break;
        case State::PeerClosed:
            establish(s);
            close(s->peer);
            s->peer = -1;
            break;
        case State::PeerReset:
            establish(s);
            ostrel::testing::closeWithReset(s->peer);
            s->peer = -1;
            break;
        case State::OutOfBand:
            establish(s);
            ASSERT_EQ(send(s->peer, "!", 1, MSG_OOB), 1);
            break;
    }
    ostrel::testing::settle();
}

struct ReadinessCase {
    const char* name;
    State state;
    int readable;
    int writable;
    int error;
};

class SocketReadiness : public ::testing::TestWithParam<ReadinessCase> {
  protected:
    void SetUp() override { platform::socketServiceStart(); }
    void TearDown() override { platform::socketServiceStop(); }
};

// A failed connect is an error condition; a broken established connection is readable (its
// receive then fails) but not an error condition; neither is writable.
TEST_P(SocketReadiness, AnswersAsWindowsSocketsSelectWould) {
    Scenario s;
    prepare(GetParam().state, &s);
    EXPECT_EQ(platform::socketReady(s.socket, Readiness::Readable, 0), GetParam().readable);
    EXPECT_EQ(platform::socketReady(s.socket, Readiness::Writable, 0), GetParam().writable);
    EXPECT_EQ(platform::socketReady(s.socket, Readiness::Error, 0), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    States, SocketReadiness,
    ::testing::Values(ReadinessCase{"Unconnected", State::Unconnected, 1, 0, 0},
                      ReadinessCase{"Pending", State::Pending, 0, 0, 0},
                      ReadinessCase{"Refused", State::Refused, 1, 0, 1},
                      ReadinessCase{"RefusedErrorRead", State::RefusedErrorRead, 1, 0, 1},
                      ReadinessCase{"Idle", State::Idle, 0, 1, 0},
                      ReadinessCase{"Data", State::Data, 1, 1, 0},
                      ReadinessCase{"PeerClosed", State::PeerClosed, 1, 1, 0},
                      ReadinessCase{"PeerReset", State::PeerReset, 1, 0, 0},
                      ReadinessCase{"OutOfBand", State::OutOfBand, 0, 1, 1}),
    [](const auto& row) { return std::string(row.param.name); });

class PlatformSocket : public ::testing::Test {
  protected:
    void SetUp() override { platform::socketServiceStart(); }
    void TearDown() override { platform::socketServiceStop(); }
};

TEST_F(PlatformSocket, ConnectLeavesABlockingCloseOnExecSocket) {
    Scenario s;
    prepare(State::Idle, &s);
    const int flags = fcntl(s.socket, F_GETFL);
    EXPECT_EQ(flags & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(s.socket, F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(PlatformSocket, SendOnAResetConnectionFailsInsteadOfRaisingSigpipe) {
    Scenario s;
    prepare(State::PeerReset, &s);
    int32_t sent = 0;
    int error = 0;
    for (int i = 0; i < 3 && error == 0; ++i) {
        error = platform::socketSend(s.socket, "data", 4, &sent);
    }
    EXPECT_EQ(error, 10054);  // ECONNRESET first, EPIPE afterwards: both read as a reset
}

TEST_F(PlatformSocket, AwaitOnADeadConnectionSleepsInsteadOfSpinning) {
    Scenario s;
    prepare(State::PeerReset, &s);
    rusage before{};
    getrusage(RUSAGE_THREAD, &before);
    const auto start = std::chrono::steady_clock::now();
    platform::socketAwait(s.socket, Readiness::Writable, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
    rusage after{};
    getrusage(RUSAGE_THREAD, &after);
    const double cpuMs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1e3 +
                         (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e3 +
                         (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1e3 +
                         (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e3;
    EXPECT_LT(cpuMs, 20.0);
}

}  // namespace
