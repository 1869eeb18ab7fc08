// Raw sockets. Every error result is a Windows Sockets error number (positive, 10004 to 11004)
// on every platform, so that codes and their texts do not depend on the operating system.
#pragma once

#include <cstdint>

namespace ostrel::platform {

using SocketHandle = int32_t;
inline constexpr SocketHandle kNoSocket = -1;

// Windows Sockets error numbers the driver refers to by name.
inline constexpr int kWsaWouldBlock = 10035;
inline constexpr int kWsaNotSocket = 10038;
inline constexpr int kWsaTimedOut = 10060;
inline constexpr int kWsaConnectionRefused = 10061;
inline constexpr int kWsaNotInitialised = 10093;

enum class SocketType { Stream, Datagram };

// What a readiness test asks for. Error is the exceptional condition: out-of-band data, or a
// connection attempt that has failed.
enum class Readiness { Readable = 1, Writable = 2, Error = 3 };

// Starts and stops the socket service. Start/stop calls pair up; while the service is not
// started every other call fails with kWsaNotInitialised, as on Windows.
int socketServiceStart();  // 0 or an error number
void socketServiceStop();

int socketCreate(SocketType type, SocketHandle* handle);  // 0 or an error number

// Starts a connection without blocking. 0: connected; kWsaWouldBlock: the connection completes
// in the background (test Writable or Error); otherwise an error number. Address and port are
// in host byte order.
int socketConnect(SocketHandle socket, uint32_t address, uint16_t port);

// The error of a failed connection attempt (for example kWsaConnectionRefused), 0 if none.
int socketConnectError(SocketHandle socket);

int socketBind(SocketHandle socket, uint32_t address, uint16_t port);

// One send; *sent receives the count accepted. 0 or an error number.
int socketSend(SocketHandle socket, const void* bytes, int32_t length, int32_t* sent);
int socketSendTo(SocketHandle socket, const void* bytes, int32_t length, uint32_t address,
                 uint16_t port, int32_t* sent);

// One receive of what has arrived; *received is 0 when the peer has closed the connection.
int socketRecv(SocketHandle socket, void* buffer, int32_t capacity, int32_t* received);

int socketSetLinger(SocketHandle socket, bool on, uint16_t seconds);
int socketCloseHandle(SocketHandle socket);

// Tests whether the socket is ready in the way asked, waiting up to timeoutMs (0: test only).
// 1 ready, 0 not ready within the time, or a negated error number.
int socketReady(SocketHandle socket, Readiness what, uint32_t timeoutMs);

// Blocks until the socket is ready in the way asked or has an error condition, or the time has
// run out; it answers nothing, the caller tests again. Lets waits sleep in the kernel.
void socketAwait(SocketHandle socket, Readiness what, uint32_t timeoutMs);

// Number of open descriptors of this process, for leak checks in tests; -1 where unknown.
int openDescriptorCount();

}  // namespace ostrel::platform
