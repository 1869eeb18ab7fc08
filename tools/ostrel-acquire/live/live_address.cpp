#include "live_address.h"

#include <arpa/inet.h>

#include <charconv>

namespace ostrel::acquire::live {

bool parseLiveAddress(const std::string& text, LiveAddress* address, std::string* error) {
    LiveAddress parsed;
    std::string portText = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        parsed.host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (parsed.host.size() >= 2 && parsed.host.front() == '[' && parsed.host.back() == ']') {
            parsed.host = parsed.host.substr(1, parsed.host.size() - 2);
        } else if (parsed.host.find(':') != std::string::npos) {
            *error = "write an IPv6 host in brackets, e.g. [::1]:8080";
            return false;
        }
        if (parsed.host.empty()) {
            *error = "the host before ':' is empty";
            return false;
        }
    }
    int port = -1;
    const char* end = portText.data() + portText.size();
    const auto result = std::from_chars(portText.data(), end, port);
    if (portText.empty() || result.ec != std::errc() || result.ptr != end || port < 0 ||
        port > 65535) {
        *error = "\"" + portText + "\" is not a port number (0 to 65535)";
        return false;
    }
    parsed.port = port;
    *address = parsed;
    return true;
}

bool isLoopbackHost(const std::string& host) {
    if (host == "localhost" || host == "ip6-localhost") {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

}  // namespace ostrel::acquire::live
