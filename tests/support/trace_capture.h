// Captures the trace records written while an object of this type lives, through the trace
// channel's file sink, so that tests can read the exact records.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/debug_output.h"

namespace ostrel::testing {

class TraceFile {
  public:
    TraceFile() {
        char pattern[] = "/tmp/ostrel-trace-XXXXXX";
        const int descriptor = mkstemp(pattern);
        if (descriptor >= 0) {
            close(descriptor);
        }
        path_ = pattern;
        setenv("OSTRELTCP_TRACE", path_.c_str(), 1);
        platform::debugOutputReconfigure();
    }
    ~TraceFile() {
        unsetenv("OSTRELTCP_TRACE");
        platform::debugOutputReconfigure();
        unlink(path_.c_str());
    }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    const std::string& path() const { return path_; }

    // Everything written so far, byte for byte.
    std::string contents() const {
        std::ifstream file(path_, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    // The records written so far, one string per line, without the line end.
    std::vector<std::string> lines() const {
        std::istringstream text(contents());
        std::vector<std::string> result;
        for (std::string line; std::getline(text, line);) {
            result.push_back(line);
        }
        return result;
    }

  private:
    std::string path_;
};

}  // namespace ostrel::testing
