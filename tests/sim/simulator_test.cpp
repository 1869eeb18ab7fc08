// The simulator's protocol over real loopback connections: greetings, the command table, the scan
// sequence, reboot and its own lifecycle.
#include "ostrel_sim/simulator.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_client.h"
#include "support/loopback.h"
#include "support/resources.h"
#include "support/sim_fixture.h"

namespace ostrel::sim {

void PrintTo(const Settings& s, std::ostream* os) {
    *os << "{points " << s.points << ", scans " << s.scans << ", scanDir " << s.scanDir << ", gain "
        << s.gain << ", skip " << s.skip << "}";
}

namespace {

using namespace std::chrono_literals;
using testing::fastConfig;
using testing::SimClient;
using testing::Stopwatch;

class SimulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(simulator_.start(&error)) << error;
    }

    // A command connection past its greeting.
    std::unique_ptr<SimClient> greetedCommand() {
        auto client = std::make_unique<SimClient>(simulator_.commandPort());
        EXPECT_EQ(client->read(7, 1000), "ready\r\n");
        return client;
    }

    Simulator simulator_{fastConfig()};
};

TEST_F(SimulatorTest, GreetsBothConnectionsWithReady) {
    SimClient command(simulator_.commandPort());
    SimClient data(simulator_.dataPort());
    EXPECT_EQ(command.read(7, 1000), "ready\r\n");
    EXPECT_EQ(data.read(7, 1000), "ready\r\n");
    EXPECT_TRUE(simulator_.waitFor([&] { return simulator_.connectedClients() == 2; }, 1000));
}

struct CommandRow {
    const char* command;
    const char* reply;
    std::function<void(Settings&)> change;  // what the command does to the default settings
};

void PrintTo(const CommandRow& row, std::ostream* os) {
    *os << '"' << row.command << '"';
}

class CommandTable : public SimulatorTest, public ::testing::WithParamInterface<CommandRow> {};

TEST_P(CommandTable, AnswersAndStoresTheSetting) {
    const CommandRow& row = GetParam();
    auto client = greetedCommand();
    client->send(std::string(row.command) + "\r\n");
    EXPECT_EQ(client->read(std::string(row.reply).size(), 1000), row.reply);
    EXPECT_EQ(client->endState(30), SimClient::End::Open);
    EXPECT_EQ(client->extra(), "");
    Settings expected;
    if (row.change)
        row.change(expected);
    EXPECT_EQ(simulator_.settings(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandTable,
    ::testing::Values(
        CommandRow{"points 8192", "OK\r\n", [](Settings& s) { s.points = 8192; }},
        CommandRow{"numscans 4", "OK\r\n", [](Settings& s) { s.scans = 4; }},
        CommandRow{"scandir 1", "OK\r\n", [](Settings& s) { s.scanDir = 1; }},
        CommandRow{"skip 7936", "OK\r\n", [](Settings& s) { s.skip = 7936; }},
        CommandRow{"gain 0", "OK\r\n", [](Settings& s) { s.gain = 0; }},
        CommandRow{"init", "OK\r\n", nullptr}, CommandRow{"deliverAll 0", "OK\r\n", nullptr},
        CommandRow{"savesafe 1 2 3 4", "OK\r\n", nullptr},
        CommandRow{"valves 1 0 1", "OK\r\n", nullptr}, CommandRow{"valve 49 1", "OK\r\n", nullptr},
        CommandRow{"version", "42\r\nOK\r\n", nullptr},
        CommandRow{"input 3", "300\r\nOK\r\n", nullptr}, CommandRow{"bogus", "ERROR\r\n", nullptr},
        CommandRow{"points 0", "ERROR\r\n", nullptr},
        CommandRow{"points 32769", "ERROR\r\n", nullptr},
        CommandRow{"scandir 4", "ERROR\r\n", nullptr}, CommandRow{"input 17", "ERROR\r\n", nullptr},
        CommandRow{"savesafe 1 2 3", "ERROR\r\n", nullptr}),
    [](const ::testing::TestParamInfo<CommandRow>& row) {
        return testing::nameFrom(row.param.command);
    });

TEST_F(SimulatorTest, CommandsSplitOverSegmentsOrSharingOneAreEachAnsweredAndLoggedExactly) {
    auto client = greetedCommand();
    client->send("poi");
    std::this_thread::sleep_for(20ms);
    client->send("nts 100\r");
    std::this_thread::sleep_for(20ms);
    client->send("\ngain 2\r\nskip 5\r\ninit\n");
    EXPECT_EQ(client->read(16, 1000), "OK\r\nOK\r\nOK\r\nOK\r\n");
    EXPECT_EQ(simulator_.commandLog(),
              (std::vector<std::string>{"points 100\r\n", "gain 2\r\n", "skip 5\r\n", "init\n"}));
    Settings expected;
    expected.points = 100;
    expected.gain = 2;
    expected.skip = 5;
    EXPECT_EQ(simulator_.settings(), expected);
}

TEST_F(SimulatorTest, ScanSendsOneProgressLinePerScanThenReadyAtTheScanPace) {
    simulator_.setScanMsAt16k(20.0);
    auto client = greetedCommand();
    client->send("points 8192\r\nnumscans 5\r\n");
    ASSERT_EQ(client->read(8, 1000), "OK\r\nOK\r\n");
    Stopwatch stopwatch;
    client->send("scan\r\n");
    std::string first = client->read(4, 1000);
    double firstMs = stopwatch.elapsedMs();
    std::string rest = client->readUntil("ready\r\n", 2000);
    double allMs = stopwatch.elapsedMs();
    EXPECT_EQ(first + rest, "_1\r\n_2\r\n_3\r\n_4\r\n_5\r\nready\r\n");
    // 20 ms per scan at 16384 points makes 10 ms at 8192.
    EXPECT_GE(firstMs, 9.0);
    EXPECT_GE(allMs, 50.0);
    EXPECT_LT(allMs, 200.0);
    EXPECT_EQ(simulator_.scansRun(), 1);
    EXPECT_EQ(simulator_.progressLinesSent(), 5);
}

TEST_F(SimulatorTest, CommandDuringAScanIsAnsweredBetweenProgressLines) {
    simulator_.setScanMsAt16k(100.0);
    auto client = greetedCommand();
    client->send("numscans 3\r\nscan\r\n");
    ASSERT_EQ(client->readUntil("_1\r\n", 1000), "OK\r\n_1\r\n");
    client->send("valve 49 1\r\n");
    EXPECT_EQ(client->readUntil("ready\r\n", 1000), "OK\r\n_2\r\n_3\r\nready\r\n");
}

TEST_F(SimulatorTest, DroppedCommandConnectionEndsTheScanSequence) {
    simulator_.setScanMsAt16k(100.0);
    {
        auto client = greetedCommand();
        client->send("numscans 3\r\nscan\r\n");
        ASSERT_EQ(client->read(4, 1000), "OK\r\n");
    }
    auto next = greetedCommand();
    EXPECT_EQ(next->endState(150), SimClient::End::Open);
    EXPECT_EQ(next->extra(), "");
    EXPECT_EQ(simulator_.scansRun(), 0);
}

TEST_F(SimulatorTest, NewConnectionReplacesTheOldOne) {
    auto first = greetedCommand();
    auto second = greetedCommand();
    EXPECT_EQ(first->endState(5000), SimClient::End::Closed);
    second->send("init\r\n");
    EXPECT_EQ(second->read(4, 1000), "OK\r\n");
    EXPECT_EQ(simulator_.connectionsAccepted(), 2);
}

TEST_F(SimulatorTest, RebootDropsConnectionsRefusesThemAWhileThenGreetsWithPowerOnSettings) {
    auto command = greetedCommand();
    SimClient data(simulator_.dataPort());
    ASSERT_EQ(data.read(7, 1000), "ready\r\n");
    command->send("points 100\r\n");
    ASSERT_EQ(command->read(4, 1000), "OK\r\n");

    testing::sendDatagram(simulator_.rebootPort(), "REBOOTING");
    Stopwatch stopwatch;
    testing::sendDatagram(simulator_.rebootPort(), "REBOOT");
    EXPECT_NE(command->endState(5000), SimClient::End::Open);
    EXPECT_NE(data.endState(5000), SimClient::End::Open);
    SimClient refusedCommand(simulator_.commandPort());
    SimClient refusedData(simulator_.dataPort());
    EXPECT_EQ(refusedCommand.connectError(), ECONNREFUSED);
    EXPECT_EQ(refusedData.connectError(), ECONNREFUSED);

    ASSERT_TRUE(simulator_.waitFor([&] { return !simulator_.rebooting(); }, 2000));
    EXPECT_GE(stopwatch.elapsedMs(), 300.0);
    auto again = greetedCommand();
    SimClient dataAgain(simulator_.dataPort());
    EXPECT_EQ(dataAgain.read(7, 1000), "ready\r\n");
    EXPECT_EQ(simulator_.settings(), Settings{});
    EXPECT_EQ(simulator_.rebootCount(), 1);
    EXPECT_EQ(simulator_.datagramLog(), (std::vector<std::string>{"REBOOTING", "REBOOT"}));
}

TEST(SimulatorLifecycle, StopIsPromptAndLeavesNoThreadOrPortBehind) {
    std::thread([] {}).join();  // a sanitizer starts its helper thread with the first thread
    int threadsBefore = testing::processThreads();
    int descriptorsBefore = testing::openDescriptors();
    Config config = fastConfig();
    config.scanMsAt16k = 100000.0;
    Simulator simulator(config);
    ASSERT_TRUE(simulator.start());
    EXPECT_EQ(testing::processThreads(), threadsBefore + 1);
    SimClient command(simulator.commandPort());
    SimClient data(simulator.dataPort());
    ASSERT_EQ(data.read(7, 1000), "ready\r\n");
    command.send("scan\r\n");
    simulator.setFault(Phase::DataTransfer, Fault::StallMidBlock);
    data.send("send\n");
    ASSERT_FALSE(data.read(1000, 1000).empty());

    Stopwatch stopwatch;
    simulator.stop();
    EXPECT_LT(stopwatch.elapsedMs(), 200.0);
    EXPECT_EQ(testing::processThreads(), threadsBefore);
    EXPECT_NE(data.endState(5000), SimClient::End::Open);
    EXPECT_FALSE(SimClient(simulator.commandPort()).connected());
    EXPECT_EQ(testing::openDescriptors(), descriptorsBefore + 2);  // the two clients above
}

TEST(SimulatorLifecycle, RestartsOnItsPortsAndRefusesASecondStart) {
    Simulator simulator(fastConfig());
    ASSERT_TRUE(simulator.start());
    uint16_t port = simulator.commandPort();
    std::string error;
    EXPECT_FALSE(simulator.start(&error));
    EXPECT_FALSE(error.empty());
    simulator.stop();
    ASSERT_TRUE(simulator.start(&error)) << error;
    EXPECT_EQ(simulator.commandPort(), port);
    EXPECT_EQ(SimClient(port).read(7, 1000), "ready\r\n");
}

TEST(SimulatorLifecycle, StartFailsWithAReasonWhenAPortIsTaken) {
    testing::Listener taken;
    Config config = fastConfig();
    config.dataPort = taken.port();
    Simulator simulator(config);
    std::string error;
    EXPECT_FALSE(simulator.start(&error));
    EXPECT_NE(error.find(std::to_string(taken.port())), std::string::npos) << error;
}

}  // namespace
}  // namespace ostrel::sim
