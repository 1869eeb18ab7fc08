// Ctrl-C and SIGTERM at the command line: the first asks the run to stop cleanly, a second one
// ends the program at once. The handler only writes a byte to a pipe; the main thread waits on
// the pipe's read end and turns the request into Session::stop().
#pragma once

#include <string>

namespace ostrel::acquire {

// Routes SIGINT and SIGTERM into the pipe, and ignores SIGPIPE.
bool installInterruptHandlers(std::string* error);
bool interruptRequested();
// Waits up to timeoutMs for an interrupt; true when one has arrived (now or before).
bool waitForInterrupt(int timeoutMs);

}  // namespace ostrel::acquire
