// A driver failure as a person reads it: the code, the driver's own text, and what a person can
// check (printed under the driver's text on the console, shown in the browser).
#pragma once

#include <cstdint>
#include <string>

#include "driver_library.h"

namespace ostrel::session {

// The hint for a driver error code (a socket error carries OSTRELTCP_SOCKET_FLAG and the system's
// code). Empty when there is none.
std::string hintForError(int32_t code);

struct DriverError {
    int32_t code = 0;
    std::string detail;  // "driver error N: <text>", or the text alone when the code is unknown
    std::string hint;
};

// code 0 stands for the last error the driver recorded; its code is found from its text.
DriverError describeDriverError(const host::DriverApi& api, int32_t code);

}  // namespace ostrel::session
