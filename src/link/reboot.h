// The reboot datagram: "REBOOT" to UDP port 16123 of the instrument.
#pragma once

#include <cstdint>

namespace ostrel {

inline constexpr uint16_t kRebootPortDefault = 16123;

// 0 when the datagram was handed to the platform, else the raw negative socket-layer code.
int32_t Reboot();

}  // namespace ostrel
