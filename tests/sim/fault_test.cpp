// Each fault switch produces on the wire what it promises, in the phase and for the count given.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>

#include "ostrel_sim/simulator.h"
#include "sim/sim_client.h"
#include "support/sim_fixture.h"

namespace ostrel::sim {
namespace {

using testing::fastConfig;
using testing::SimClient;
using testing::Stopwatch;
using End = SimClient::End;

// How long a connection must stay silent to count as open, once what is expected has arrived.
constexpr int kQuietMs = 150;
// How long the expected bytes, or the peer's ending, may take on a loaded machine.
constexpr int kArrivalMs = 5000;

class FaultTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(simulator_.start()); }

    std::unique_ptr<SimClient> connect(bool data, bool readGreeting) {
        auto client =
            std::make_unique<SimClient>(data ? simulator_.dataPort() : simulator_.commandPort());
        if (readGreeting) {
            EXPECT_EQ(client->read(7, 1000), "ready\r\n");
        }
        return client;
    }

    // A data connection that has asked for a 1000-point two-way block of 16016 bytes.
    std::unique_ptr<SimClient> requestBlock() {
        auto command = connect(false, true);
        command->send("points 1000\r\n");
        EXPECT_EQ(command->read(4, 1000), "OK\r\n");
        auto data = connect(true, true);
        data->send("send\n");
        return data;
    }

    // Scans 20 ms apart, so that a line is read before a fault resets the connection after it:
    // a reset discards whatever the peer has not read yet.
    static Config config() {
        Config slower = fastConfig();
        slower.scanMsAt16k = 20.0;
        return slower;
    }

    Simulator simulator_{config()};
};

struct TextFaultRow {
    const char* name;
    Phase phase;
    Fault fault;
    const char* prefix;
    int count;
    const char* send;    // sent once connected (after the greeting unless a greeting is faulted)
    const char* expect;  // every byte that arrives
    End end;
};

void PrintTo(const TextFaultRow& row, std::ostream* os) {
    *os << row.name;
}

class TextFaults : public FaultTest, public ::testing::WithParamInterface<TextFaultRow> {};

TEST_P(TextFaults, ProduceExactlyTheirBytesAndEnding) {
    const TextFaultRow& row = GetParam();
    simulator_.setFault(row.phase, row.fault, row.prefix, row.count);
    bool greetingFaulted = row.phase == Phase::CommandGreeting || row.phase == Phase::DataGreeting;
    auto client = connect(row.phase == Phase::DataGreeting, !greetingFaulted);
    client->send(row.send);
    std::string arrived = client->read(std::string(row.expect).size(), kArrivalMs);
    EXPECT_EQ(client->endState(row.end == End::Open ? kQuietMs : kArrivalMs), row.end);
    EXPECT_EQ(arrived + client->extra(), row.expect);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TextFaults,
    ::testing::Values(
        TextFaultRow{"NoGreetingStillAnswers", Phase::CommandGreeting, Fault::NoGreeting, "", -1,
                     "init\r\n", "OK\r\n", End::Open},
        TextFaultRow{"GreetingWithoutReady", Phase::CommandGreeting, Fault::GreetingWithoutReady,
                     "", -1, "", "hello\r\n", End::Open},
        TextFaultRow{"SilentGreetingNeverAnswers", Phase::CommandGreeting, Fault::Silence, "", -1,
                     "init\r\n", "", End::Open},
        TextFaultRow{"ResetGreeting", Phase::CommandGreeting, Fault::Reset, "", -1, "", "",
                     End::Reset},
        TextFaultRow{"DataGreetingClosedMidway", Phase::DataGreeting, Fault::CloseMidBlock, "", -1,
                     "", "rea", End::Closed},
        TextFaultRow{"ErrorOnlyForThePrefix", Phase::Command, Fault::ErrorReply, "points", -1,
                     "points 5\r\ngain 1\r\n", "ERROR\r\nOK\r\n", End::Open},
        TextFaultRow{"ErrorForCountCommands", Phase::Command, Fault::ErrorReply, "", 2,
                     "init\r\ninit\r\ninit\r\n", "ERROR\r\nERROR\r\nOK\r\n", End::Open},
        TextFaultRow{"LowerCaseError", Phase::Command, Fault::LowerCaseError, "", -1, "init\r\n",
                     "error\r\n", End::Open},
        TextFaultRow{"SilenceForOneCommand", Phase::Command, Fault::Silence, "", 1,
                     "init\r\ninit\r\n", "OK\r\n", End::Open},
        TextFaultRow{"ShortReplyThenMute", Phase::Command, Fault::ShortBlock, "version", -1,
                     "version\r\ninit\r\n", "42\r", End::Open},
        TextFaultRow{"ReplyClosedMidway", Phase::Command, Fault::CloseMidBlock, "", -1,
                     "version\r\n", "42\r", End::Closed},
        TextFaultRow{"ResetInsteadOfReply", Phase::Command, Fault::Reset, "", -1, "init\r\n", "",
                     End::Reset},
        TextFaultRow{"ErrorReplacesFirstProgressAndAborts", Phase::ScanSequence, Fault::ErrorReply,
                     "", -1, "numscans 3\r\nscan\r\n", "OK\r\nERROR\r\n", End::Open},
        TextFaultRow{"LowerCaseErrorAtScanTwo", Phase::ScanSequence, Fault::LowerCaseError, "_2",
                     -1, "numscans 3\r\nscan\r\n", "OK\r\n_1\r\nerror\r\n", End::Open},
        TextFaultRow{"NoReadyAfterTheScans", Phase::ScanSequence, Fault::Silence, "ready", -1,
                     "numscans 3\r\nscan\r\n", "OK\r\n_1\r\n_2\r\n_3\r\n", End::Open},
        TextFaultRow{"ResetAtScanTwo", Phase::ScanSequence, Fault::Reset, "_2", -1,
                     "numscans 3\r\nscan\r\n", "OK\r\n_1\r\n", End::Reset},
        TextFaultRow{"ClosedWithinReady", Phase::ScanSequence, Fault::CloseMidBlock, "ready", -1,
                     "numscans 2\r\nscan\r\n", "OK\r\n_1\r\n_2\r\nrea", End::Closed}),
    [](const ::testing::TestParamInfo<TextFaultRow>& row) { return row.param.name; });

struct BlockFaultRow {
    const char* name;
    Fault fault;
    size_t expectBytes;  // of the 16016-byte block; its cut is 8007
    End end;
};

void PrintTo(const BlockFaultRow& row, std::ostream* os) {
    *os << row.name;
}

class BlockFaults : public FaultTest, public ::testing::WithParamInterface<BlockFaultRow> {};

TEST_P(BlockFaults, DeliverTheirPartOfTheBlockAndEnding) {
    simulator_.setFault(Phase::DataTransfer, GetParam().fault, "send", 1);
    auto data = requestBlock();
    std::string arrived = data->read(GetParam().expectBytes, kArrivalMs);
    EXPECT_EQ(data->endState(GetParam().end == End::Open ? kQuietMs : kArrivalMs), GetParam().end);
    std::vector<uint8_t> block = simulator_.lastBlock();
    ASSERT_EQ(block.size(), 16016u);
    EXPECT_EQ(arrived + data->extra(),
              std::string(block.begin(), block.begin() + GetParam().expectBytes));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BlockFaults,
    ::testing::Values(BlockFaultRow{"ShortBlockStaysOpen", Fault::ShortBlock, 8007, End::Open},
                      BlockFaultRow{"StallHoldsTheRest", Fault::StallMidBlock, 8007, End::Open},
                      BlockFaultRow{"ClosedMidBlock", Fault::CloseMidBlock, 8007, End::Closed},
                      BlockFaultRow{"ResetInsteadOfBlock", Fault::Reset, 0, End::Reset},
                      BlockFaultRow{"NoFaultWholeBlock", Fault::None, 16016, End::Open}),
    [](const ::testing::TestParamInfo<BlockFaultRow>& row) { return row.param.name; });

TEST_F(FaultTest, ClearingFaultsReleasesAStalledBlock) {
    simulator_.setFault(Phase::DataTransfer, Fault::StallMidBlock);
    auto data = requestBlock();
    ASSERT_EQ(data->read(8007, 1000).size(), 8007u);
    EXPECT_EQ(data->endState(50), End::Open);
    simulator_.clearFaults();
    std::string rest = data->read(16016 - 8007, 1000);
    std::vector<uint8_t> block = simulator_.lastBlock();
    EXPECT_EQ(rest, std::string(block.begin() + 8007, block.end()));
}

TEST_F(FaultTest, TrickledBlockArrivesWholeInChunks) {
    simulator_.setTrickle(2000, 4.0);
    simulator_.setFault(Phase::DataTransfer, Fault::Trickle);
    Stopwatch stopwatch;
    auto data = requestBlock();
    std::string got = data->read(16016, 2000);
    std::vector<uint8_t> block = simulator_.lastBlock();
    EXPECT_EQ(got, std::string(block.begin(), block.end()));
    EXPECT_GE(stopwatch.elapsedMs(), 8 * 4.0);  // nine chunks
}

struct SpecRow {
    const char* text;
    bool valid;
    FaultSetting expected;
};

void PrintTo(const SpecRow& row, std::ostream* os) {
    *os << '"' << row.text << '"';
}

class FaultSpecs : public ::testing::TestWithParam<SpecRow> {};

TEST_P(FaultSpecs, ParseIntoPhaseFaultPrefixAndCount) {
    FaultSetting rule;
    std::string error;
    ASSERT_EQ(parseFaultSetting(GetParam().text, &rule, &error), GetParam().valid) << error;
    if (!GetParam().valid) {
        EXPECT_FALSE(error.empty());
        return;
    }
    EXPECT_EQ(rule.phase, GetParam().expected.phase);
    EXPECT_EQ(rule.fault, GetParam().expected.fault);
    EXPECT_EQ(rule.prefix, GetParam().expected.prefix);
    EXPECT_EQ(rule.count, GetParam().expected.count);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultSpecs,
    ::testing::Values(
        SpecRow{"data:stall", true, {Phase::DataTransfer, Fault::StallMidBlock, "", -1}},
        SpecRow{"command:error:points:2", true, {Phase::Command, Fault::ErrorReply, "points", 2}},
        SpecRow{"Command:ErrorReply:valve 49",
                true,
                {Phase::Command, Fault::ErrorReply, "valve 49", -1}},
        SpecRow{"data-greeting:RESET::1", true, {Phase::DataGreeting, Fault::Reset, "", 1}},
        SpecRow{"data", false, {}}, SpecRow{"disk:stall", false, {}},
        SpecRow{"data:stall::x", false, {}}),
    [](const ::testing::TestParamInfo<SpecRow>& row) { return testing::nameFrom(row.param.text); });

}  // namespace
}  // namespace ostrel::sim
