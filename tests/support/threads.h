// This process's threads as the kernel lists them: by name, with their scheduling and the
// processors they may run on.
#pragma once

#include <dirent.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <fstream>
#include <string>
#include <vector>

namespace ostrel::testing {

// The kernel ids of this process's threads that carry a name.
inline std::vector<pid_t> threadsNamed(const std::string& name) {
    std::vector<pid_t> found;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return found;
    }
    while (const dirent* entry = readdir(tasks)) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string text;
        if (entry->d_name[0] != '.' && std::getline(comm, text) && text == name) {
            found.push_back(static_cast<pid_t>(std::stoi(entry->d_name)));
        }
    }
    closedir(tasks);
    return found;
}

// A thread's processors as the kernel writes them ("0-1", "3"); empty once the thread is gone.
inline std::string processorsOf(pid_t thread) {
    std::ifstream status("/proc/self/task/" + std::to_string(thread) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Cpus_allowed_list:", 0) == 0) {
            const size_t start = line.find_first_not_of(" \t", 18);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return "";
}

// Whether this process may make a thread real-time: CAP_SYS_NICE (bit 23 of the effective set)
// or a real-time priority limit of at least 1.
inline bool mayUseRealTime() {
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur >= 1) {
        return true;
    }
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) {
            return ((std::stoull(line.substr(7), nullptr, 16) >> 23) & 1) != 0;
        }
    }
    return false;
}

}  // namespace ostrel::testing
