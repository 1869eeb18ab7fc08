// The socket layer: the only code of the driver that touches sockets. Every operation returns
// one signed integer: 0 or more for success (1, a byte count or a socket handle), a negative
// socketLayerCode for failure (a WIL_ code, or a Windows Sockets error number negated). The
// layer neither traces nor records errors; callers do.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

enum WilCode : int32_t {
    WIL_CANNOT_COMPLY = 0,
    WIL_EOF = -1,
    WIL_ALREADY_IN_USE = -2,
    WIL_NOT_IN_USE = -3,
    WIL_IS_BLOCKING = -4,
    WIL_BAD_STATUS_FLAG = -5,
    WIL_BAD_DOTTED = -6,
    WIL_INVALID_SOCKET = -7,
    WIL_TIMED_OUT = -8,
    WIL_NO_SOCK_ADDR = -9,
    WIL_NO_PROTOCOL = -10,
    WIL_NO_SERVICE = -11,
    WIL_NO_HOST = -12,
    WIL_NO_IP_ADDR = -15,
    WIL_AWAITING = -16,
};

inline constexpr int kSocketSlots = 32;

enum WilStatusKind : int32_t { WilReadable = 1, WilWritable = 2, WilError = 3 };

int32_t socketsAttach();
int32_t socketsRelease();

int32_t tcpSocketOpen();
int32_t udpSocketOpen();

// Connects without blocking: 1 when connected or still connecting in the background (wait with
// socketWaitWritable); -9 without a slot; a negated platform error.
int32_t socketConnect(int32_t socket, uint32_t address, uint16_t port);
int32_t socketBind(int32_t socket, uint32_t address, uint16_t port);

// The negated error of a connection attempt that failed in the background, 0 if none.
int32_t socketConnectError(int32_t socket);

// Polls without waiting: 1 yes, 0 no, -5 for an unknown kind.
int32_t wilStatus(int32_t socket, int32_t kind);

// 1 ready; 0 error condition or time-out. Both sleep in the platform poll while they wait.
int32_t socketWaitWritable(int32_t socket, int32_t timeoutMs);
int32_t socketWaitReadable(int32_t socket, int32_t timeoutMs);

// Byte count; 0 when nothing is waiting at this instant; -1 when the connection is not
// writable, has an error condition, was closed by the peer, or the receive failed.
int32_t socketReceive(int32_t socket, void* buffer, int32_t capacity);

int32_t socketSend(int32_t socket, const void* bytes, int32_t length);
int32_t socketSendString(int32_t socket, const char* text);
int32_t socketSendTo(int32_t socket, const void* bytes, int32_t length, uint32_t address,
                     uint16_t port);
int32_t socketClose(int32_t socket, int32_t lingerSeconds);

// Dotted-decimal text to an IPv4 address in host byte order. Never reads past the terminator.
uint32_t dottedToAddress(const char* text);

// Stricter form for callers that want to know: true and *address for exactly four components,
// each 0 to 255, digits and dots only.
bool parseDottedAddress(const char* text, uint32_t* address);

// 1 and the code's text (at most n characters; out holds n + 1), or 0 and an empty text.
int32_t socketErrorText(int32_t code, char* out, int32_t n);

// Number of slots in use, for tests.
int socketSlotsInUse();

}  // namespace ostrel
