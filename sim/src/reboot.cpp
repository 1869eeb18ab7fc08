// The reboot datagram: "REBOOT" on the UDP port makes the simulator vanish for a while and come
// back with its power-on settings, as the instrument does.
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>

#include "service.h"
#include "sockets.h"

namespace ostrel::sim {
namespace {

constexpr auto kRebindRetry = std::chrono::milliseconds(50);

// The reboot datagram is exactly "REBOOT"; a trailing line end is forgiven so that
// `echo REBOOT | nc -u` works too.
bool isRebootDatagram(std::string_view payload) {
    return withoutLineEnd(payload) == "REBOOT";
}

}  // namespace

void Simulator::Impl::readDatagrams(Clock::time_point now) {
    char buffer[2048];
    for (;;) {
        ssize_t n = ::recv(rebootSocket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return;
        std::string payload(buffer, static_cast<size_t>(n));
        log(datagramLog, std::string(payload));
        if (isRebootDatagram(payload))
            startReboot(now);
    }
}

// A rebooting instrument vanishes: its connections are reset, its ports refuse connections,
// and it comes back with its power-on settings.
void Simulator::Impl::startReboot(Clock::time_point now) {
    ++reboots;
    drop(command, true);
    drop(data, true);
    closeSocket(&commandListener);
    closeSocket(&dataListener);
    settings = config.initialSettings;
    rebooting = true;
    rebootEndsAt = now + milliseconds(config.rebootDownMs);
}

void Simulator::Impl::finishReboot(Clock::time_point now) {
    std::string error;
    if (commandListener < 0)
        commandListener = openTcpListener(config.address, &ports[0], &error);
    if (dataListener < 0)
        dataListener = openTcpListener(config.address, &ports[1], &error);
    rebooting = commandListener < 0 || dataListener < 0;
    // A port still held elsewhere is tried again shortly rather than given up.
    if (rebooting)
        rebootEndsAt = now + kRebindRetry;
}

}  // namespace ostrel::sim
