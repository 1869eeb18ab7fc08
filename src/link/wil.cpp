#include "link/wil.h"

#include <cstring>

#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/socket.h"

namespace ostrel {
namespace {

constexpr uint16_t kAddressFamilyInet = 2;

// An IPv4 socket address in the platform's 16-byte form: port and address in network byte
// order, eight bytes of zeros.
struct SocketAddress {
    uint16_t family;
    uint16_t port;
    uint32_t address;
    uint8_t zero[8];
};
static_assert(sizeof(SocketAddress) == 16);

struct SocketSlot {
    uint8_t inUse;
    int32_t handle;
    SocketAddress connection;
    SocketAddress lastSource;
    SocketAddress lastDestination;
};

// The layer's lock lives as long as the library (socketsAttach and socketsRelease do not create
// or destroy it), so a status poll that comes in after socketsRelease finds a working lock. It is
// the innermost of the driver's locks (state/locks.h): nothing else is taken while it is held.
platform::Mutex& socketLock() {
    static platform::Mutex lock;
    return lock;
}

// Sockets are created and closed on the host's threads only; the scan thread never touches the
// table. It is guarded all the same, since two host threads may open and close at once.
SocketSlot socketTable[kSocketSlots] OSTREL_GUARDED_BY(socketLock());

SocketAddress makeAddress(uint32_t address, uint16_t port) {
    SocketAddress result{};
    result.family = kAddressFamilyInet;
    result.port = platform::networkOrder16(port);
    result.address = platform::networkOrder32(address);
    return result;
}

// The first slot in use that holds the handle; null when the layer did not create it. Called
// with socketLock held.
SocketSlot* findSlot(int32_t socket) OSTREL_REQUIRES(socketLock()) {
    for (SocketSlot& slot : socketTable) {
        if (slot.inUse == 1 && slot.handle == socket) {
            return &slot;
        }
    }
    return nullptr;
}

// Fills the slot's connection address before a connect or bind; false when the layer did not
// create the socket (no platform call is made then).
bool recordConnectionAddress(int32_t socket, uint32_t address, uint16_t port) {
    platform::LockGuard guard(socketLock());
    SocketSlot* slot = findSlot(socket);
    if (slot != nullptr) {
        slot->connection = makeAddress(address, port);
    }
    return slot != nullptr;
}

int32_t openSocket(platform::SocketType type) {
    platform::SocketHandle handle = platform::kNoSocket;
    const int error = platform::socketCreate(type, &handle);
    if (error != 0) {
        return -error;
    }
    SocketSlot* freeSlot = nullptr;
    {
        platform::LockGuard guard(socketLock());
        for (SocketSlot& slot : socketTable) {
            if (slot.inUse == 0) {
                freeSlot = &slot;
                break;
            }
        }
        if (freeSlot != nullptr) {
            *freeSlot = SocketSlot{};
            freeSlot->inUse = 1;
            freeSlot->handle = handle;
        }
    }
    if (freeSlot == nullptr) {
        // Nobody could ever close a socket the caller never learns of.
        platform::socketCloseHandle(handle);
        return WIL_NO_SOCK_ADDR;
    }
    return handle;
}

// The platform's answer to one status test without waiting: 1, 0, or a negated error number
// (the socket is unusable). The lock keeps status polls one at a time.
int statusPoll(int32_t socket, WilStatusKind kind) {
    platform::LockGuard guard(socketLock());
    return platform::socketReady(socket, static_cast<platform::Readiness>(kind), 0);
}

// Each round tests for an error condition, then for readiness, then for the end of the time;
// the clock starts after the first tests, so a timeout of 0 still tests once. Between rounds
// the wait blocks in the platform's poll for the time left: it uses no processor and answers as
// soon as the socket is ready. The time is measured on the monotonic clock, so that setting the
// wall clock neither stretches the wait nor ends it early.
int32_t waitFor(int32_t socket, WilStatusKind kind, int32_t timeoutMs) {
    const uint64_t limitMs = timeoutMs > 0 ? static_cast<uint64_t>(timeoutMs) : 0u;
    bool started = false;
    uint64_t startMs = 0;
    for (;;) {
        const int error = statusPoll(socket, WilError);
        if (error != 0) {
            return 0;
        }
        const int ready = statusPoll(socket, kind);
        if (ready != 0) {
            return ready == 1 ? 1 : 0;
        }
        const uint64_t nowMs = platform::monotonicMs();
        if (!started) {
            startMs = nowMs;
            started = true;
        }
        const uint64_t elapsedMs = nowMs - startMs;
        if (elapsedMs >= limitMs) {
            return 0;
        }
        platform::socketAwait(socket, static_cast<platform::Readiness>(kind),
                              static_cast<uint32_t>(limitMs - elapsedMs));
    }
}

struct ErrorText {
    int32_t code;
    const char* text;
};

constexpr int32_t kEndOfTable = 999;

const ErrorText errorTextTable[] = {
    {WIL_CANNOT_COMPLY, "Cannot comply"},
    {WIL_EOF, "Socket has been closed."},
    {WIL_IS_BLOCKING, "WINSOCK is currently blocking."},
    {WIL_BAD_STATUS_FLAG, "Bad status flag passed to wilStatus."},
    {WIL_BAD_DOTTED, "Bad dotted decimal address."},
    {WIL_TIMED_OUT, "Socket timed out."},
    {WIL_NO_SOCK_ADDR, "No available sockaddr structures."},
    {WIL_NO_PROTOCOL, "No such protocol."},
    {WIL_NO_SERVICE, "No such service."},
    {WIL_NO_HOST, "No host name."},
    {-10004, "Interrupted system call."},
    {-10009, "Bad file number."},
    {-10013, "Access denied."},
    {-10014, "Bad address."},
    {-10022, "Invalid argument."},
    {-10024, "Too many open files."},
    {-10035, "Would block socket in non-blocking mode."},
    {-10036, "Blocking call already in progress."},
    {-10037, "Operation already completed."},
    {-10038, "Not a valid socket"},
    {-10039, "Destination address required."},
    {-10040, "Message too big for buffer."},
    {-10041, "Prot mismatch."},
    {-10042, "Prot option invalid."},
    {-10043, "Prot not supported."},
    {-10044, "Socket type not supported."},
    {-10045, "Socket operation not supported."},
    {-10047, "Socket address family not supported."},
    {-10048, "Socket address already in use."},
    {-10049, "Socket address not available."},
    {-10050, "Network error."},
    {-10051, "Cannot reach network."},
    {-10052, "Connection dropped."},
    {-10053, "Connection timed-out or aborted."},
    {-10054, "Connection reset by remote host."},
    {-10055, "Out of buffer space."},
    {-10056, "Socket already connected."},
    {-10057, "Socket not connected."},
    {-10058, "Socket functionality shut down."},
    {-10060, "Timed-out attempting to connect."},
    {-10061, "Connection refused by remote host."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
    {-10091, "Network not yet ready."},
    {-10092, "WINSOCK doesn't support requested version."},
    {-10093, "Sockets not initialized. Call WSAStartup."},
    {-11001, "Host does not exist."},
    {-11002, "Host not found. Try again."},
    {-11003, "Non-recoverable error has occurred."},
    {-11004, "No data is available."},
    {kEndOfTable, ""},
};

// Reads one dotted-decimal component at *cursor and moves past it and its dot. The value
// saturates instead of wrapping, so that a long digit string cannot wrap back below 256.
bool readComponent(const char** cursor, uint32_t* component) {
    uint32_t value = 0;
    const char* p = *cursor;
    bool valid = true;
    for (;; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            if (value < 100000000u) {
                value = value * 10u + static_cast<uint32_t>(c - '0');
            }
            continue;
        }
        if (c == '.') {
            ++p;
        } else if (c != '\0') {
            valid = false;
        }
        break;
    }
    *cursor = p;
    *component = value;
    return valid && value < 256u;
}

}  // namespace

int32_t socketsAttach() {
    int error = 0;
    {
        platform::LockGuard guard(socketLock());
        error = platform::socketServiceStart();
    }
    return error != 0 ? -error : 1;
}

int32_t socketsRelease() {
    platform::LockGuard guard(socketLock());
    platform::socketServiceStop();
    return 1;
}

int32_t tcpSocketOpen() {
    return openSocket(platform::SocketType::Stream);
}

int32_t udpSocketOpen() {
    return openSocket(platform::SocketType::Datagram);
}

int32_t socketConnect(int32_t socket, uint32_t address, uint16_t port) {
    if (!recordConnectionAddress(socket, address, port)) {
        return WIL_NO_SOCK_ADDR;
    }
    const int error = platform::socketConnect(socket, address, port);
    if (error != 0 && error != platform::kWsaWouldBlock) {
        return -error;
    }
    return 1;
}

int32_t socketConnectError(int32_t socket) {
    return -platform::socketConnectError(socket);
}

int32_t socketBind(int32_t socket, uint32_t address, uint16_t port) {
    if (!recordConnectionAddress(socket, address, port)) {
        return WIL_NO_SOCK_ADDR;
    }
    const int error = platform::socketBind(socket, address, port);
    return error != 0 ? -error : 1;
}

int32_t wilStatus(int32_t socket, int32_t kind) {
    if (kind != WilReadable && kind != WilWritable && kind != WilError) {
        return WIL_BAD_STATUS_FLAG;
    }
    // A failed poll (a socket that is not open) is no.
    return statusPoll(socket, static_cast<WilStatusKind>(kind)) == 1 ? 1 : 0;
}

int32_t socketWaitWritable(int32_t socket, int32_t timeoutMs) {
    return waitFor(socket, WilWritable, timeoutMs);
}

int32_t socketWaitReadable(int32_t socket, int32_t timeoutMs) {
    return waitFor(socket, WilReadable, timeoutMs);
}

int32_t socketReceive(int32_t socket, void* buffer, int32_t capacity) {
    if (wilStatus(socket, WilWritable) != 1) {
        return WIL_EOF;
    }
    // A connection with an error condition would otherwise read as "nothing waiting" for ever.
    if (wilStatus(socket, WilError) == 1) {
        return WIL_EOF;
    }
    if (socketWaitReadable(socket, 0) == 0) {
        return 0;
    }
    if (buffer == nullptr || capacity <= 0) {
        return WIL_EOF;
    }
    int32_t received = 0;
    const int error = platform::socketRecv(socket, buffer, capacity, &received);
    if (error != 0 || received == 0) {
        return WIL_EOF;
    }
    return received;
}

int32_t socketSend(int32_t socket, const void* bytes, int32_t length) {
    if (wilStatus(socket, WilWritable) != 1) {
        return WIL_EOF;
    }
    if (bytes == nullptr || length <= 0) {
        return 0;
    }
    int32_t sent = 0;
    const int error = platform::socketSend(socket, bytes, length, &sent);
    return error != 0 ? -error : sent;
}

int32_t socketSendString(int32_t socket, const char* text) {
    const size_t length = text != nullptr ? std::strlen(text) : 0;
    return socketSend(socket, text, static_cast<int32_t>(length));
}

int32_t socketSendTo(int32_t socket, const void* bytes, int32_t length, uint32_t address,
                     uint16_t port) {
    SocketAddress destination{};
    {
        platform::LockGuard guard(socketLock());
        SocketSlot* slot = findSlot(socket);
        if (slot == nullptr) {
            return WIL_NO_SOCK_ADDR;
        }
        if (address != 0) {
            slot->lastDestination = makeAddress(address, port);
            destination = slot->lastDestination;
        } else {
            destination = slot->lastSource;
        }
    }
    if (bytes == nullptr || length <= 0) {
        return 0;
    }
    int32_t sent = 0;
    // The slot holds network byte order; the platform takes host byte order.
    const int error =
        platform::socketSendTo(socket, bytes, length, platform::networkOrder32(destination.address),
                               platform::networkOrder16(destination.port), &sent);
    return error != 0 ? -error : sent;
}

int32_t socketClose(int32_t socket, int32_t lingerSeconds) {
    // Windows Sockets 1.1 would cancel a blocking call of this thread here; POSIX sockets have
    // no such state, so there is nothing to cancel.
    if (lingerSeconds > 0) {
        platform::socketSetLinger(socket, true, static_cast<uint16_t>(lingerSeconds));
    }
    {
        platform::LockGuard guard(socketLock());
        if (SocketSlot* slot = findSlot(socket)) {
            slot->inUse = 0;
        }
    }
    const int error = platform::socketCloseHandle(socket);
    return error != 0 ? -error : 1;
}

uint32_t dottedToAddress(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    uint32_t value = 0;
    const char* cursor = text;
    for (int i = 0; i < 4; ++i) {
        uint32_t component = 0;
        const bool valid = readComponent(&cursor, &component);
        value = (value << 8) | component;
        // Past the end of the text there is nothing more to gather.
        if (!valid || *cursor == '\0') {
            break;
        }
    }
    return value;
}

bool parseDottedAddress(const char* text, uint32_t* address) {
    if (text == nullptr || address == nullptr) {
        return false;
    }
    uint32_t value = 0;
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        int digits = 0;
        uint32_t component = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            component = component * 10u + static_cast<uint32_t>(*p - '0');
            ++digits;
            ++p;
        }
        if (digits == 0 || digits > 3 || component > 255u) {
            return false;
        }
        value = (value << 8) | component;
        if (i < 3) {
            if (*p != '.') {
                return false;
            }
            ++p;
        } else if (*p != '\0') {
            return false;
        }
    }
    *address = value;
    return true;
}

int32_t socketErrorText(int32_t code, char* out, int32_t n) {
    if (out == nullptr) {
        return 0;
    }
    const int32_t limit = n > 0 ? n : 0;
    for (const ErrorText* entry = errorTextTable; entry->code != kEndOfTable; ++entry) {
        if (entry->code == code) {
            std::strncpy(out, entry->text, static_cast<size_t>(limit));
            out[limit] = '\0';
            return 1;
        }
    }
    out[0] = '\0';
    return 0;
}

int socketSlotsInUse() {
    platform::LockGuard guard(socketLock());
    int inUse = 0;
    for (const SocketSlot& slot : socketTable) {
        inUse += slot.inUse;
    }
    return inUse;
}

}  // namespace ostrel
