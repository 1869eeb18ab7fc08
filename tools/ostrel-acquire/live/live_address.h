// Where the live view listens: --live [HOST:]PORT, loopback unless a host is named.
#pragma once

#include <string>

namespace ostrel::acquire::live {

struct LiveAddress {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port
};

// "8080", "0.0.0.0:8080", "localhost:8080", "[::1]:8080". False with *error when the text is
// not one of these or the port is not 0 to 65535.
bool parseLiveAddress(const std::string& text, LiveAddress* address, std::string* error);

// True for names and addresses that only this computer can reach (127.0.0.0/8, ::1,
// localhost); anything else makes the page visible to the network.
bool isLoopbackHost(const std::string& host);

}  // namespace ostrel::acquire::live
