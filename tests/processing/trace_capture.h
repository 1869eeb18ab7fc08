// Captures the trace records written while an object of this type lives, through the trace
// channel's file sink, so that tests can check the exact lines a host's developer would read.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/debug_output.h"

namespace ostrel::test {

class TraceCapture {
public:
    TraceCapture() {
        char pattern[] = "/tmp/ostrel-trace-XXXXXX";
        const int descriptor = mkstemp(pattern);
        if (descriptor >= 0) {
            close(descriptor);
        }
        path_ = pattern;
        setenv("OSTRELTCP_TRACE", path_.c_str(), 1);
        platform::debugOutputReconfigure();
    }

    ~TraceCapture() {
        unsetenv("OSTRELTCP_TRACE");
        platform::debugOutputReconfigure();
        unlink(path_.c_str());
    }

    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // Every record written so far, one string per line, without the line end.
    std::vector<std::string> lines() const {
        std::ifstream file(path_);
        std::vector<std::string> result;
        for (std::string line; std::getline(file, line);) {
            result.push_back(line);
        }
        return result;
    }

    // The lines that begin with prefix, in order.
    std::vector<std::string> linesStartingWith(const std::string& prefix) const {
        std::vector<std::string> result;
        for (const std::string& line : lines()) {
            if (line.rfind(prefix, 0) == 0) {
                result.push_back(line);
            }
        }
        return result;
    }

private:
    std::string path_;
};

}  // namespace ostrel::test
