#include "diag/trace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "diag/clocks.h"
#include "platform/library_entry.h"
#include "support/trace_capture.h"

namespace {

using ostrel::testing::TraceFile;

struct LengthCase {
    int length;
    int recorded;
    int result;
};

class TraceLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(TraceLength, RecordHoldsAtMost1022CharactersAndOneNewline) {
    TraceFile file;
    const std::string message(static_cast<size_t>(GetParam().length), 'm');
    EXPECT_EQ(ostrel::trace("%s", message.c_str()), GetParam().result);
    EXPECT_EQ(file.contents(), std::string(static_cast<size_t>(GetParam().recorded), 'm') + "\n");
}

INSTANTIATE_TEST_SUITE_P(Lengths, TraceLength,
                         ::testing::Values(LengthCase{0, 0, 0}, LengthCase{40, 40, 40},
                                           LengthCase{1022, 1022, 1022},
                                           LengthCase{1023, 1022, -1023},
                                           LengthCase{1500, 1022, -1500}));

TEST(Trace, FormatEndingInNewlineGivesTwoNewlines) {
    TraceFile file;
    ostrel::trace("OstrelTCP open, read %s\n", "ready");
    EXPECT_EQ(file.contents(), "OstrelTCP open, read ready\n\n");
}

TEST(Trace, RecordsFromSeveralThreadsStayWhole) {
    TraceFile file;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const std::string body(200 + 250 * t, static_cast<char>('a' + t));
            for (int i = 0; i < 250; ++i) {
                ostrel::trace("OstrelTCP %d %s", t, body.c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::vector<std::string> lines = file.lines();
    ASSERT_EQ(lines.size(), 1000u);
    for (const std::string& line : lines) {
        const int t = line[10] - '0';
        ASSERT_EQ(line, "OstrelTCP " + std::to_string(t) + " " +
                            std::string(200 + 250 * t, static_cast<char>('a' + t)));
    }
}

struct EventCase {
    ostrel::LibraryEvent event;
    const char* line;
};

class LibraryEventTrace : public ::testing::TestWithParam<EventCase> {};

TEST_P(LibraryEventTrace, TracesItsFixedLine) {
    TraceFile file;
    ostrel::onLibraryEvent(GetParam().event);
    EXPECT_EQ(file.lines(), std::vector<std::string>{GetParam().line});
}

INSTANTIATE_TEST_SUITE_P(
    Events, LibraryEventTrace,
    ::testing::Values(
        EventCase{ostrel::LibraryEvent::ProcessDetach, "OstrelTCP: DLL PROCESS DETACH"},
        EventCase{ostrel::LibraryEvent::ProcessAttach, "OstrelTCP: DLL PROCESS ATTACH"},
        EventCase{ostrel::LibraryEvent::ThreadAttach, "OstrelTCP: DLL THREAD ATTACH"},
        EventCase{ostrel::LibraryEvent::ThreadDetach, "OstrelTCP: DLL THREAD DETACH"}));

TEST(Clocks, ClockMsReadingsFiftyMillisecondsApartDifferByAboutFifty) {
    // The sleep may last much longer on a loaded machine: the readings are held against the
    // standard library's monotonic clock over the same interval, not against the 50 ms asked for.
    const auto outerStart = std::chrono::steady_clock::now();
    const double first = ostrel::clockMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double difference = ostrel::clockMs() - first;
    const double outer =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - outerStart)
            .count();
    EXPECT_GE(difference, 49.0);
    EXPECT_LE(difference, outer + 1.0) << "the clock runs fast, or not in milliseconds";
}

TEST(Clocks, StampMsIsUtcMillisecondsSince1970) {
    const double expected = static_cast<double>(std::time(nullptr)) * 1000.0;
    EXPECT_NEAR(ostrel::stampMs(), expected, 1500.0);
}

}  // namespace
