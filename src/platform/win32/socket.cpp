#include "platform/socket.h"

#include <limits>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/win32/windows_headers.h"

namespace ostrel::platform {
namespace {

// Windows Sockets 1.1, the version the driver was written against.
constexpr WORD kSocketVersion = 0x0101;

int lastSocketError() {
    return WSAGetLastError();
}

// Socket handles are kernel handle values, small multiples of four, so they fit the driver's
// 32-bit handle; socketCreate refuses one that does not.
SOCKET toNative(SocketHandle socket) {
    return socket < 0 ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<uint32_t>(socket));
}

sockaddr_in makeAddress(uint32_t address, uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    result.sin_addr.s_addr = htonl(address);
    return result;
}

timeval toTimeval(uint32_t timeoutMs) {
    timeval limit{};
    limit.tv_sec = static_cast<long>(timeoutMs / 1000u);
    limit.tv_usec = static_cast<long>(timeoutMs % 1000u) * 1000L;
    return limit;
}

// One select on one socket: the set named by what, plus the error set when withError. Returns
// select's count (0: not ready in time) or SOCKET_ERROR; the sets are left as select left them.
int selectOnce(SOCKET native, Readiness what, bool withError, uint32_t timeoutMs, fd_set* read,
               fd_set* write, fd_set* error) {
    FD_ZERO(read);
    FD_ZERO(write);
    FD_ZERO(error);
    switch (what) {
        case Readiness::Readable:
            FD_SET(native, read);
            break;
        case Readiness::Writable:
            FD_SET(native, write);
            break;
        case Readiness::Error:
            FD_SET(native, error);
            break;
    }
    if (withError) {
        FD_SET(native, error);
    }
    timeval limit = toTimeval(timeoutMs);
    // The first argument is ignored by Windows Sockets; a null limit waits without end.
    return select(0, read, write, error, timeoutMs == kWaitForever ? nullptr : &limit);
}

fd_set* setFor(Readiness what, fd_set* read, fd_set* write, fd_set* error) {
    switch (what) {
        case Readiness::Readable:
            return read;
        case Readiness::Writable:
            return write;
        case Readiness::Error:
            return error;
    }
    return error;
}

}  // namespace

int socketServiceStart() {
    WSADATA data{};
    // WSAStartup returns its error number directly; WSAGetLastError is not valid before it.
    return WSAStartup(kSocketVersion, &data);
}

void socketServiceStop() {
    WSACleanup();
}

int socketCreate(SocketType type, SocketHandle* handle) {
    *handle = kNoSocket;
    const SOCKET created = type == SocketType::Stream ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)
                                                      : socket(AF_INET, SOCK_DGRAM, 0);
    if (created == INVALID_SOCKET) {
        return lastSocketError();
    }
    if (created > static_cast<SOCKET>(std::numeric_limits<SocketHandle>::max())) {
        closesocket(created);
        return WSAEMFILE;
    }
    *handle = static_cast<SocketHandle>(created);
    return 0;
}

int socketConnect(SocketHandle socket, uint32_t address, uint16_t port) {
    const SOCKET native = toNative(socket);
    // Non-blocking for the connect only, so that it can be bounded; the socket goes back to
    // blocking mode at once and the connection completes in the background.
    u_long nonBlocking = 1;
    if (ioctlsocket(native, FIONBIO, &nonBlocking) != 0) {
        return lastSocketError();
    }
    const sockaddr_in remote = makeAddress(address, port);
    int result = 0;
    if (connect(native, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        result = lastSocketError();
    }
    u_long blocking = 0;
    ioctlsocket(native, FIONBIO, &blocking);
    // Switching the mode back must not hide why the connect failed; a connection under way is
    // no failure, and its "would block" must not be reported later with an unrelated error.
    WSASetLastError(result == kWsaWouldBlock ? 0 : result);
    return result;
}

int socketConnectError(SocketHandle socket) {
    int error = 0;
    int length = sizeof error;
    if (getsockopt(toNative(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &length) != 0) {
        return lastSocketError();
    }
    return error;
}

int socketBind(SocketHandle socket, uint32_t address, uint16_t port) {
    const sockaddr_in local = makeAddress(address, port);
    if (bind(toNative(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return lastSocketError();
    }
    return 0;
}

int socketSend(SocketHandle socket, const void* bytes, int32_t length, int32_t* sent) {
    *sent = 0;
    const int count = send(toNative(socket), static_cast<const char*>(bytes), length, 0);
    if (count == SOCKET_ERROR) {
        return lastSocketError();
    }
    *sent = count;
    return 0;
}

int socketSendTo(SocketHandle socket, const void* bytes, int32_t length, uint32_t address,
                 uint16_t port, int32_t* sent) {
    *sent = 0;
    const sockaddr_in remote = makeAddress(address, port);
    const int count = sendto(toNative(socket), static_cast<const char*>(bytes), length, 0,
                             reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
    if (count == SOCKET_ERROR) {
        return lastSocketError();
    }
    *sent = count;
    return 0;
}

int socketRecv(SocketHandle socket, void* buffer, int32_t capacity, int32_t* received) {
    *received = 0;
    const int count = recv(toNative(socket), static_cast<char*>(buffer), capacity, 0);
    if (count == SOCKET_ERROR) {
        return lastSocketError();
    }
    *received = count;
    return 0;
}

int socketSetLinger(SocketHandle socket, bool on, uint16_t seconds) {
    linger setting{};
    setting.l_onoff = on ? 1 : 0;
    setting.l_linger = seconds;
    if (setsockopt(toNative(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&setting),
                   sizeof setting) != 0) {
        return lastSocketError();
    }
    return 0;
}

int socketCloseHandle(SocketHandle socket) {
    // A Windows Sockets 1.1 blocking call of this thread still in progress is cancelled first,
    // as closing under it is not allowed. Later stacks have no such calls and answer no.
    if (WSAIsBlocking() != FALSE) {
        WSACancelBlockingCall();
    }
    if (closesocket(toNative(socket)) != 0) {
        return lastSocketError();
    }
    return 0;
}

int socketReady(SocketHandle socket, Readiness what, uint32_t timeoutMs) {
    fd_set read;
    fd_set write;
    fd_set error;
    const SOCKET native = toNative(socket);
    if (selectOnce(native, what, false, timeoutMs, &read, &write, &error) == SOCKET_ERROR) {
        return -lastSocketError();
    }
    return FD_ISSET(native, setFor(what, &read, &write, &error)) ? 1 : 0;
}

void socketAwait(SocketHandle socket, Readiness what, uint32_t timeoutMs) {
    fd_set read;
    fd_set write;
    fd_set error;
    const uint64_t startMs = monotonicMs();
    if (selectOnce(toNative(socket), what, true, timeoutMs, &read, &write, &error) !=
        SOCKET_ERROR) {
        return;
    }
    // A select that fails at once would make the caller's wait spin: sleep out the time
    // instead (a pause, for a wait without end); the caller's next test reports the failure.
    constexpr uint32_t kPauseMs = 100;
    const uint64_t elapsedMs = monotonicMs() - startMs;
    if (timeoutMs == kWaitForever) {
        Sleep(kPauseMs);
    } else if (elapsedMs < timeoutMs) {
        Sleep(timeoutMs - static_cast<DWORD>(elapsedMs));
    }
}

int openDescriptorCount() {
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) == FALSE) {
        return -1;
    }
    return static_cast<int>(handles);
}

}  // namespace ostrel::platform
