// The calling thread's platform error number and the system's text for such numbers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel::platform {

// The calling thread's last platform error number. On POSIX an errno value that has a Windows
// Sockets equivalent is reported as that number (ECONNREFUSED as 10061), so that codes are the
// same on every platform; other errno values are reported as they are.
int32_t lastErrorNumber();

// Writes the system's message for a number of the kind lastErrorNumber() returns into out (at
// most size - 1 characters, always terminated when size > 0). Returns the length written, 0
// when the platform has no text for the number.
size_t systemMessage(int32_t number, char* out, size_t size);

}  // namespace ostrel::platform
