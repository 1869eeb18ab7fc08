// The simulator as a program of its own (ostrel-sim, path in OSTREL_SIM_PROGRAM), for tests
// that count what their own process allocates, opens and keeps resident: an in-process simulator
// would be counted with the driver.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace ostrel::testing {

class SimProcess {
  public:
    // Starts ostrel-sim with these options and waits for its ready line; the driver's port
    // variables then point at it.
    explicit SimProcess(std::vector<std::string> options) {
        options.insert(options.begin(), OSTREL_SIM_PROGRAM);
        std::vector<char*> argv;
        for (std::string& option : options) {
            argv.push_back(option.data());
        }
        argv.push_back(nullptr);
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return;
        }
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // The simulator must not outlive a test that crashed or was killed by its time
            // limit: it would hold the test's output open and keep running.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(127);
            }
            dup2(ends[1], STDOUT_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(ends[1]);
        output_ = fdopen(ends[0], "r");
        if (pid_ > 0 && output_ != nullptr) {
            readPorts();
        }
    }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        if (output_ != nullptr) {
            std::fclose(output_);
        }
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool ready() const { return rebootPort_ != 0; }
    unsigned rebootPort() const { return rebootPort_; }

  private:
    // The program prints its ports, then "ostrel-sim ready on 127.0.0.1: command C data D
    // reboot R" once it listens.
    void readPorts() {
        char line[256];
        while (std::fgets(line, sizeof line, output_) != nullptr) {
            unsigned command = 0, data = 0, reboot = 0;
            if (std::sscanf(line, "ostrel-sim ready on %*[^:]: command %u data %u reboot %u",
                            &command, &data, &reboot) == 3) {
                setenv("OSTRELTCP_COMMAND_PORT", std::to_string(command).c_str(), 1);
                setenv("OSTRELTCP_DATA_PORT", std::to_string(data).c_str(), 1);
                setenv("OSTRELTCP_REBOOT_PORT", std::to_string(reboot).c_str(), 1);
                rebootPort_ = reboot;
                return;
            }
        }
    }

    pid_t pid_ = -1;
    FILE* output_ = nullptr;
    unsigned rebootPort_ = 0;
};

}  // namespace ostrel::testing
