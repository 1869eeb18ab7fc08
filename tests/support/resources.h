// Counts of the process's open descriptors and threads, read from /proc, for leak checks.
#pragma once

#include <filesystem>

namespace ostrel::testing {

inline int countEntries(const char* path) {
    std::error_code error;
    int count = 0;
    for (auto it = std::filesystem::directory_iterator(path, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

// Reading /proc/self/fd takes one descriptor while it is read; it is not counted.
inline int openDescriptors() {
    return countEntries("/proc/self/fd") - 1;
}

inline int processThreads() {
    return countEntries("/proc/self/task");
}

}  // namespace ostrel::testing
