#include "link/reboot.h"

#include "diag/trace.h"
#include "link/ports.h"
#include "link/wil.h"
#include "state/driver_state.h"

namespace ostrel {
namespace {

constexpr char kRebootMessage[] = "REBOOT";
constexpr int32_t kRebootMessageLength = 6;
constexpr int32_t kRebootLingerSeconds = 500;

}  // namespace

int32_t Reboot() {
    // A text that is not a dotted IPv4 address would send the datagram to whatever its bits
    // make; refuse it instead.
    char text[kIpAddressSize];
    copyIpAddress(text);
    uint32_t address = 0;
    if (!parseDottedAddress(text, &address)) {
        return WIL_BAD_DOTTED;
    }
    const uint16_t port = rebootPort();
    const int32_t socket = udpSocketOpen();
    if (socket < 0) {
        return socket;
    }
    int32_t result = socketBind(socket, 0, 0);
    if (result >= 0) {
        trace("OstrelTCP Reboot: Sending UDP packet [%s] on port %d", kRebootMessage, port);
        result = socketSendTo(socket, kRebootMessage, kRebootMessageLength, address, port);
        if (result >= 0) {
            trace("OstrelTCP Reboot: message sent");
        }
    }
    socketClose(socket, kRebootLingerSeconds);
    return result < 0 ? result : 0;
}

}  // namespace ostrel
