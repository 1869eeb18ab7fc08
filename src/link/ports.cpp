#include "link/ports.h"

#include <cstdlib>

namespace ostrel {
namespace {

uint16_t portFromEnvironment(const char* name, uint16_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1 || value > 65535) {
        return fallback;
    }
    return static_cast<uint16_t>(value);
}

}  // namespace

uint16_t commandPort() {
    return portFromEnvironment("OSTRELTCP_COMMAND_PORT", 23);
}
uint16_t dataPort() {
    return portFromEnvironment("OSTRELTCP_DATA_PORT", 443);
}
uint16_t rebootPort() {
    return portFromEnvironment("OSTRELTCP_REBOOT_PORT", 16123);
}

}  // namespace ostrel
