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

}  // namespace
}  // namespace ostrel::sim
