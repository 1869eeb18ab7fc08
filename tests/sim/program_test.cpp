// The ostrel-sim program: its ready line, its options and its end on SIGTERM.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_client.h"

extern char** environ;

namespace ostrel::sim {
namespace {

using testing::SimClient;

// The program with its standard output on a pipe.
class Program {
   public:
    explicit Program(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), OSTREL_SIM_PROGRAM);
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        int ends[2];
        if (pipe(ends) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, ends[0]);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        output_ = ends[0];
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (output_ >= 0) close(output_);
    }

    // Standard output up to and including the first line that contains `text`.
    std::string readUntil(const std::string& text, int timeoutMs) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.find(text) == std::string::npos || got.back() != '\n') {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            pollfd entry{output_, POLLIN, 0};
            char c;
            if (left <= 0 || poll(&entry, 1, left) != 1 || read(output_, &c, 1) != 1) break;
            got += c;
        }
        return got;
    }

    // The exit status after SIGTERM (or after the program ended by itself), -1 on a timeout.
    int exitStatus(bool terminate, int timeoutMs) {
        if (terminate) kill(pid_, SIGTERM);
        for (int waited = 0; waited < timeoutMs; waited += 5) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

   private:
    pid_t pid_ = -1;
    int output_ = -1;
};

TEST(Program, PrintsItsPortsServesThemAndEndsOnSigterm) {
    Program program({"--version-number", "7", "--fibre", "2=55", "--fault", "command:error:init"});
    std::string output = program.readUntil("ostrel-sim ready on 127.0.0.1:", 5000);
    unsigned command = 0, data = 0, reboot = 0;
    size_t ready = output.find("ostrel-sim ready");
    ASSERT_NE(ready, std::string::npos) << output;
    ASSERT_EQ(std::sscanf(output.c_str() + ready,
                          "ostrel-sim ready on 127.0.0.1: command %u data %u reboot %u", &command,
                          &data, &reboot),
              3);
    EXPECT_NE(output.find("command port " + std::to_string(command) + "\n"), std::string::npos);
    EXPECT_NE(output.find("reboot port " + std::to_string(reboot) + "\n"), std::string::npos);

    SimClient client(static_cast<uint16_t>(command));
    client.send("version\r\ninput 2\r\ninit\r\n");
    EXPECT_EQ(client.readUntil("ERROR\r\n", 2000), "ready\r\n7\r\nOK\r\n55\r\nOK\r\nERROR\r\n");
    EXPECT_EQ(SimClient(static_cast<uint16_t>(data)).read(7, 2000), "ready\r\n");
    EXPECT_EQ(program.exitStatus(true, 2000), 0);
}

TEST(Program, RejectsAMalformedFaultWithUsageStatus) {
    Program program({"--fault", "command:melt"});
    EXPECT_EQ(program.exitStatus(false, 5000), 2);
}

}  // namespace
}  // namespace ostrel::sim
