// Picks the records of one kind out of a captured trace.
#pragma once

#include <string>
#include <vector>

#include "support/trace_capture.h"

namespace ostrel::testing {

// The records that begin with prefix, in the order they were written.
inline std::vector<std::string> linesStartingWith(const TraceFile& trace,
                                                  const std::string& prefix) {
    std::vector<std::string> result;
    for (const std::string& line : trace.lines()) {
        if (line.rfind(prefix, 0) == 0) {
            result.push_back(line);
        }
    }
    return result;
}

}  // namespace ostrel::testing
