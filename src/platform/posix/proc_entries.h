// Counting the entries of a /proc directory (descriptors, threads) for leak checks.
#pragma once

#include <dirent.h>

namespace ostrel::platform::posix {

// Entries of the directory other than "." and "..", or -1 when it cannot be read. The
// descriptor that reading the directory takes is among the entries of /proc/self/fd.
inline int countProcEntries(const char* path) {
    DIR* directory = opendir(path);
    if (directory == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(directory);
    return count;
}

}  // namespace ostrel::platform::posix
