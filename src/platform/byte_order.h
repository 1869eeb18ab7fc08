// Conversion between the host's byte order and network byte order (most significant byte
// first), the order of every multi-byte number on the instrument's connections: socket
// addresses and ports, and the words of a data block. Each conversion is its own inverse.
#pragma once

#include <bit>
#include <cstdint>

namespace ostrel::platform {

constexpr uint16_t networkOrder16(uint16_t value) {
    if constexpr (std::endian::native == std::endian::big) {
        return value;
    } else {
        return static_cast<uint16_t>((value >> 8) | (value << 8));
    }
}

constexpr uint32_t networkOrder32(uint32_t value) {
    if constexpr (std::endian::native == std::endian::big) {
        return value;
    } else {
        return (value >> 24) | ((value >> 8) & 0x0000ff00u) | ((value << 8) & 0x00ff0000u) |
               (value << 24);
    }
}

}  // namespace ostrel::platform
