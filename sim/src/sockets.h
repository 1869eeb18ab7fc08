// Thin POSIX socket helpers for the simulator's service loop. Every descriptor is non-blocking
// and close-on-exec; failures return -1 with a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrel::sim {

// Listens on address:*port (0 = any free port, written back). Returns the descriptor or -1.
int openTcpListener(const std::string& address, uint16_t* port, std::string* error);
// Binds a datagram socket to address:*port (0 = any free port, written back).
int openUdpSocket(const std::string& address, uint16_t* port, std::string* error);
// Takes one pending connection, with Nagle's delay switched off so that short replies leave at
// once; -1 when none is pending.
int acceptClient(int listener);
// Closes and sets the descriptor to -1; `reset` makes the close abortive (RST, SO_LINGER 0).
void closeSocket(int* fd, bool reset = false);
// A pipe whose read end wakes the service loop's poll. False when it cannot be made.
bool openWakePipe(int* readEnd, int* writeEnd, std::string* error);

}  // namespace ostrel::sim
