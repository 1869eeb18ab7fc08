// The ostrel-sim program: its ready line, its options and its end on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ostrel_sim/spectrum_model.h"
#include "sim/sim_client.h"

extern char** environ;

namespace ostrel::sim {
namespace {

using testing::SimClient;

// Runs the program with its standard output on a pipe; returns its pid (-1 on failure).
pid_t spawnProgram(std::vector<std::string> arguments, FILE** output) {
    arguments.insert(arguments.begin(), OSTREL_SIM_PROGRAM);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int ends[2];
    pid_t pid = -1;
    if (pipe(ends) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, ends[0]);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    *output = fdopen(ends[0], "r");
    return pid;
}

// The exit status, or -1 when the program has not ended within timeoutMs (it is killed then).
int exitStatus(pid_t pid, int timeoutMs) {
    int status = 0;
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

TEST(Program, PrintsItsPortsServesThemAndEndsOnSigterm) {
    FILE* output = nullptr;
    pid_t pid = spawnProgram(
        {"--version-number", "7", "--fibre", "2=55", "--fault", "command:error:init"}, &output);
    ASSERT_GT(pid, 0);
    unsigned ports[3] = {0, 0, 0}, command = 0, data = 0, reboot = 0;
    // fscanf blocks until the lines are there; the program prints them once it listens.
    ASSERT_EQ(std::fscanf(output, "command port %u\ndata port %u\nreboot port %u\n", &ports[0],
                          &ports[1], &ports[2]),
              3);
    ASSERT_EQ(std::fscanf(output, "ostrel-sim ready on 127.0.0.1: command %u data %u reboot %u",
                          &command, &data, &reboot),
              3);
    EXPECT_EQ(std::vector<unsigned>(ports, ports + 3),
              (std::vector<unsigned>{command, data, reboot}));

    SimClient client(static_cast<uint16_t>(command));
    client.send("version\r\ninput 2\r\ninit\r\n");
    EXPECT_EQ(client.readUntil("ERROR\r\n", 2000), "ready\r\n7\r\nOK\r\n55\r\nOK\r\nERROR\r\n");
    EXPECT_EQ(SimClient(static_cast<uint16_t>(data)).read(7, 2000), "ready\r\n");
    kill(pid, SIGTERM);
    EXPECT_EQ(exitStatus(pid, 2000), 0);
    std::fclose(output);
}

TEST(Program, RejectsAMalformedFaultWithUsageStatus) {
    FILE* output = nullptr;
    pid_t pid = spawnProgram({"--fault", "command:melt"}, &output);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(exitStatus(pid, 5000), 2);
    std::fclose(output);
}

TEST(Program, RejectsAMalformedAbsorberOrAnUnreadableSpectrumWithUsageStatus) {
    for (std::vector<std::string> arguments :
         {std::vector<std::string>{"--absorber", "2350:0:1"},
          {"--spectrum", ::testing::TempDir() + "missing.csv", "--dump-spectrum", "/dev/null"}}) {
        FILE* output = nullptr;
        pid_t pid = spawnProgram(arguments, &output);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(exitStatus(pid, 5000), 2) << arguments[0];
        std::fclose(output);
    }
}

// The dump is the spectrum the interferograms are made from, up to laser / undersampling.
TEST(Program, DumpsTheModelSpectrumOnAFineGridAndExits) {
    std::string path = ::testing::TempDir() + "ostrel_sim_dump.csv";
    FILE* output = nullptr;
    pid_t pid =
        spawnProgram({"--dump-spectrum", path, "--laser-wavenumber", "12000", "--undersampling",
                      "3", "--absorber", "2350:2:0.8", "--dump-step", "0.5"},
                     &output);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(exitStatus(pid, 5000), 0);
    std::fclose(output);

    std::FILE* dump = std::fopen(path.c_str(), "r");
    ASSERT_NE(dump, nullptr);
    char header[64] = {};
    ASSERT_NE(std::fgets(header, sizeof header, dump), nullptr);
    EXPECT_STREQ(header, "wavenumber,value\n");
    SpectrumModel model({{2350.0, 2.0, 0.8}});
    double wavenumber = 0.0, value = 0.0, last = -1.0;
    int rows = 0;
    while (std::fscanf(dump, "%lf,%lf\n", &wavenumber, &value) == 2) {
        EXPECT_DOUBLE_EQ(wavenumber, 0.5 * rows);
        EXPECT_NEAR(value, model.value(wavenumber), 1e-9 * (1.0 + model.value(wavenumber)));
        last = wavenumber;
        ++rows;
    }
    std::fclose(dump);
    std::remove(path.c_str());
    EXPECT_EQ(last, 4000.0);
    EXPECT_EQ(rows, 8001);
}

}  // namespace
}  // namespace ostrel::sim
