// The instrument's ports: 23, 443 and 16123, unless the environment names others
// (OSTRELTCP_COMMAND_PORT, OSTRELTCP_DATA_PORT, OSTRELTCP_REBOOT_PORT), so that a simulator or a
// test can serve on free unprivileged ports. Read at each call (open and reboot).
#pragma once

#include <cstdint>

namespace ostrel {

uint16_t commandPort();
uint16_t dataPort();
uint16_t rebootPort();

}  // namespace ostrel
