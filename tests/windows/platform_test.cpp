// White-box checks of the Win32 platform layer where the DLL's exports cannot reach it: forced
// thread termination, the time-critical priority, the thread's last error across tracing, the
// two clocks, and the error condition of a refused connection.
// winsock2.h first, then windows.h, then what needs its types.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "acquisition/thread_base.h"
#include "check.h"
#include "diag/trace.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/event.h"
#include "platform/last_error.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace {

namespace platform = ostrel::platform;

// Sends the trace to a file of its own and gives back what was written to it.
class TraceFile {
  public:
    TraceFile() {
        char directory[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, directory);
        path_ = std::string(directory) + "ostrel-platform-trace-" +
                std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(path_.c_str());
        _putenv_s("OSTRELTCP_TRACE", path_.c_str());
        platform::debugOutputReconfigure();
    }
    ~TraceFile() {
        _putenv_s("OSTRELTCP_TRACE", "");
        platform::debugOutputReconfigure();
        DeleteFileA(path_.c_str());
    }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    std::string text() const {
        std::ifstream file(path_, std::ios::binary);
        std::ostringstream contents;
        contents << file.rdbuf();
        return contents.str();
    }

  private:
    std::string path_;
};

// A procedure that announces itself and then ignores the kill request.
class DeafThread : public ostrel::CThreadBase {
  protected:
    unsigned ThreadProc() override {
        startedEvent.set();
        for (;;) {
            Sleep(50);
        }
    }
};

void waitAnyReportsTheFirstOfTwoSignalledEventsAndTimesOutWithMinusOne() {
    platform::Event first;
    platform::Event second;
    const DWORD start = GetTickCount();
    CHECK_EQ(platform::waitAny(first, second, 100), -1);
    CHECK(GetTickCount() - start >= 90);
    second.set();
    CHECK_EQ(platform::waitAny(first, second, 0), 1);
    first.set();
    CHECK_EQ(platform::waitAny(first, second, 0), 0);
    // Manual reset: a wait does not consume the signal.
    CHECK(first.wait(0));
    first.reset();
    CHECK(!first.wait(0));
}

void aRaisedThreadRunsAtTimeCriticalPriority() {
    struct Probe {
        platform::Event raised;
        int priority = 0;
    } probe;
    platform::Thread* thread = platform::threadCreate(
        [](void* raw) -> unsigned {
            Probe* p = static_cast<Probe*>(raw);
            p->raised.wait(5000);
            p->priority = GetThreadPriority(GetCurrentThread());
            return 0;
        },
        &probe);
    REQUIRE(thread != nullptr);
    CHECK(platform::threadRaisePriority(thread));
    probe.raised.set();
    CHECK(platform::threadJoin(thread, 5000));
    platform::threadRelease(thread);
    CHECK_EQ(probe.priority, THREAD_PRIORITY_TIME_CRITICAL);
}

void stopTerminatesAProcedureThatIgnoresTheKillRequestAfterTheGrace() {
    const int threadsBefore = platform::threadCountInProcess();
    const TraceFile trace;
    DeafThread* thread = new DeafThread;
    REQUIRE(thread->Start());
    CHECK_EQ(platform::threadCountInProcess(), threadsBefore + 1);
    const DWORD start = GetTickCount();
    thread->Stop();
    const DWORD tookMs = GetTickCount() - start;
    std::printf("    Stop took %lu ms\n", static_cast<unsigned long>(tookMs));
    CHECK(tookMs >= ostrel::kStopGraceMs - 50 && tookMs < ostrel::kStopGraceMs + 2000);
    // Ended by force: the procedure never cleared the flag, but the object may be freed.
    CHECK(thread->isRunning());
    CHECK(!thread->abandoned());
    CHECK_EQ(platform::threadCountInProcess(), threadsBefore);
    delete thread;
    const std::string text = trace.text();
    CHECK(text.find("CThreadBase::Stop()\n") != std::string::npos);
    CHECK(text.find("CThreadBase::Stop() timed out, terminating thread\n") != std::string::npos);
    CHECK(text.find("CThreadBase::Stop() exiting\n") != std::string::npos);
}

void tracingKeepsTheThreadsLastErrorForTheRecordThatFollows() {
    const TraceFile trace;
    for (const DWORD number : {DWORD{10061}, DWORD{ERROR_FILE_NOT_FOUND}, DWORD{0}}) {
        SetLastError(number);
        ostrel::trace("OstrelTCP setLastError %d", 1);
        CHECK_EQ(platform::lastErrorNumber(), static_cast<int32_t>(number));
    }
    const std::string text = trace.text();
    size_t records = 0;
    for (size_t at = text.find("OstrelTCP setLastError 1\n"); at != std::string::npos;
         at = text.find("OstrelTCP setLastError 1\n", at + 1)) {
        ++records;
    }
    CHECK_EQ(records, size_t{3});
}

void systemMessagesAreCutToTheBufferAndEmptyForUnknownNumbers() {
    char text[256];
    CHECK(platform::systemMessage(10061, text, sizeof text) > 0);
    const std::string whole = text;
    char shortText[6];
    CHECK_EQ(platform::systemMessage(10061, shortText, sizeof shortText), size_t{5});
    CHECK_EQ(std::string(shortText), whole.substr(0, 5));
    CHECK_EQ(platform::systemMessage(0x7FFFFFF0, text, sizeof text), size_t{0});
    CHECK_EQ(std::string(text), "");
}

void theLocalClockDiffersFromTheUtcClockByAWholeZoneOffset() {
    // Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
    constexpr double kEpochOffsetMs = 11644473600000.0;
    const double localMs = static_cast<double>(platform::localFileTime() / 10000u) - kEpochOffsetMs;
    int64_t seconds = 0;
    uint16_t milliseconds = 0;
    platform::utcTime(&seconds, &milliseconds);
    const double utcMs = static_cast<double>(seconds) * 1000.0 + milliseconds;
    CHECK(milliseconds < 1000);
    CHECK(utcMs > 1.6e12);
    // Zone offsets are whole quarter hours, at most 14 hours either way.
    const double offsetMs = localMs - utcMs;
    const double quarterHours = offsetMs / 900000.0;
    std::printf("    zone offset %.0f ms\n", offsetMs);
    CHECK(std::abs(quarterHours - static_cast<double>(std::lround(quarterHours))) * 900000.0 <
          1000);
    CHECK(std::abs(offsetMs) <= 14 * 3600000.0 + 1000);
}

void theMonotonicClockFollowsASleep() {
    const uint64_t before = platform::monotonicMs();
    platform::sleepMs(100);
    const uint64_t elapsed = platform::monotonicMs() - before;
    CHECK(elapsed >= 90 && elapsed < 1000);
}

void socketCallsOutsideTheServiceFailWithNotInitialised() {
    platform::SocketHandle socket = 0;
    CHECK_EQ(platform::socketCreate(platform::SocketType::Stream, &socket),
             platform::kWsaNotInitialised);
    CHECK_EQ(socket, platform::kNoSocket);
}

void aRefusedConnectShowsAsAnErrorConditionWithItsNumber() {
    REQUIRE(platform::socketServiceStart() == 0);
    // A port just released: nothing listens there.
    platform::SocketHandle probe = platform::kNoSocket;
    REQUIRE(platform::socketCreate(platform::SocketType::Stream, &probe) == 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(static_cast<SOCKET>(probe), reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(static_cast<SOCKET>(probe), reinterpret_cast<sockaddr*>(&address), &length);
    platform::socketCloseHandle(probe);

    platform::SocketHandle socket = platform::kNoSocket;
    REQUIRE(platform::socketCreate(platform::SocketType::Stream, &socket) == 0);
    const int connected = platform::socketConnect(socket, INADDR_LOOPBACK, ntohs(address.sin_port));
    std::printf("    connect answered %d\n", connected);
    if (connected == platform::kWsaWouldBlock) {
        CHECK_EQ(platform::socketReady(socket, platform::Readiness::Error, 3000), 1);
        CHECK_EQ(platform::socketReady(socket, platform::Readiness::Writable, 0), 0);
        CHECK_EQ(platform::socketConnectError(socket), platform::kWsaConnectionRefused);
    } else {
        CHECK_EQ(connected, platform::kWsaConnectionRefused);
        CHECK_EQ(platform::lastErrorNumber(), platform::kWsaConnectionRefused);
    }
    CHECK_EQ(platform::socketCloseHandle(socket), 0);
    platform::socketServiceStop();
}

const ostrel::wintest::Case kCases[] = {
    {"Event.WaitAnyReportsTheFirstOfTwoSignalledEventsAndTimesOutWithMinusOne",
     waitAnyReportsTheFirstOfTwoSignalledEventsAndTimesOutWithMinusOne},
    {"Thread.ARaisedThreadRunsAtTimeCriticalPriority", aRaisedThreadRunsAtTimeCriticalPriority},
    {"Thread.StopTerminatesAProcedureThatIgnoresTheKillRequestAfterTheGrace",
     stopTerminatesAProcedureThatIgnoresTheKillRequestAfterTheGrace},
    {"LastError.TracingKeepsTheThreadsLastErrorForTheRecordThatFollows",
     tracingKeepsTheThreadsLastErrorForTheRecordThatFollows},
    {"LastError.SystemMessagesAreCutToTheBufferAndEmptyForUnknownNumbers",
     systemMessagesAreCutToTheBufferAndEmptyForUnknownNumbers},
    {"Clock.TheLocalClockDiffersFromTheUtcClockByAWholeZoneOffset",
     theLocalClockDiffersFromTheUtcClockByAWholeZoneOffset},
    {"Clock.TheMonotonicClockFollowsASleep", theMonotonicClockFollowsASleep},
    {"Socket.CallsOutsideTheServiceFailWithNotInitialised",
     socketCallsOutsideTheServiceFailWithNotInitialised},
    {"Socket.ARefusedConnectShowsAsAnErrorConditionWithItsNumber",
     aRefusedConnectShowsAsAnErrorConditionWithItsNumber},
};

}  // namespace

int main() {
    return ostrel::wintest::runCases(kCases, sizeof kCases / sizeof kCases[0]);
}
