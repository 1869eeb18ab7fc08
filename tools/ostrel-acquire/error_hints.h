// What a person can check when the driver reports an error: the tool prints this hint under the
// driver's own text, on the console and in the live view.
#pragma once

#include <cstdint>
#include <string>

namespace ostrel::acquire {

// The hint for a driver error code (a socket error carries OSTRELTCP_SOCKET_FLAG and the system's
// code). Empty when there is none.
std::string hintForError(int32_t code);

}  // namespace ostrel::acquire
