#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/clock.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/proc_entries.h"

namespace ostrel::platform {
namespace {

// Start/stop calls of the socket service that have not been paired yet. POSIX sockets need no
// start-up; the count only reproduces the rule that nothing works outside start and stop.
std::atomic<int> serviceStarts{0};

bool serviceStarted() {
    return serviceStarts.load() > 0;
}

int lastSocketError() {
    return posix::wsaFromErrno(errno);
}

// Linux cannot tell a connection attempt that failed from an established connection that was
// reset: poll reports POLLERR|POLLHUP for both, and getpeername fails for both. The first must
// read as an error condition (the connect failed), the second as readable (the reader's receive
// then fails). So sockets whose connect is still pending are remembered here until poll shows
// them writable; the table also keeps the failure once SO_ERROR has been read, because reading
// SO_ERROR clears it.
struct PendingConnect {
    SocketHandle socket = kNoSocket;
    int error = 0;  // the Windows Sockets number of the failure, once known
};

constexpr int kPendingConnects = 64;
std::mutex pendingLock;
PendingConnect pendingConnects[kPendingConnects];  // guarded by pendingLock

PendingConnect* findPending(SocketHandle socket) {
    for (PendingConnect& entry : pendingConnects) {
        if (entry.socket == socket) {
            return &entry;
        }
    }
    return nullptr;
}

// A connect that the table cannot hold only loses the failed-connect answer: the failure then
// shows as a socket that never becomes writable.
void rememberPending(SocketHandle socket) {
    std::lock_guard<std::mutex> guard(pendingLock);
    PendingConnect* entry = findPending(socket);
    if (entry == nullptr) {
        entry = findPending(kNoSocket);
    }
    if (entry != nullptr) {
        entry->socket = socket;
        entry->error = 0;
    }
}

void forgetPending(SocketHandle socket) {
    std::lock_guard<std::mutex> guard(pendingLock);
    if (PendingConnect* entry = findPending(socket)) {
        *entry = PendingConnect{};
    }
}

bool isPending(SocketHandle socket) {
    std::lock_guard<std::mutex> guard(pendingLock);
    return findPending(socket) != nullptr;
}

sockaddr_in makeAddress(uint32_t address, uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    result.sin_addr.s_addr = htonl(address);
    return result;
}

bool hasFailed(short revents) {
    return (revents & (POLLERR | POLLHUP)) != 0;
}

// What poll's answer means for the question asked. A closed or reset connection is readable:
// the receive then reports it.
bool answers(SocketHandle socket, short revents, Readiness what) {
    switch (what) {
        case Readiness::Readable:
            return (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        case Readiness::Writable:
            // Linux adds POLLOUT to a failed or reset connection and to a socket that was never
            // connected; only POLLOUT without POLLERR and POLLHUP means a send can go out.
            return (revents & POLLOUT) != 0 && !hasFailed(revents);
        case Readiness::Error:
            return (revents & POLLPRI) != 0 || (hasFailed(revents) && isPending(socket));
    }
    return false;
}

short eventsFor(Readiness what) {
    switch (what) {
        case Readiness::Readable:
            return POLLIN;
        case Readiness::Writable:
            return POLLOUT;
        case Readiness::Error:
            return POLLPRI;
    }
    return 0;
}

// One poll, restarted after signals. Returns poll's revents, 0 when the time ran out, or -1
// with errno set.
int pollOnce(SocketHandle socket, short events, uint32_t timeoutMs) {
    const uint64_t startMs = monotonicMs();
    for (;;) {
        const uint64_t elapsedMs = monotonicMs() - startMs;
        const uint32_t leftMs =
            elapsedMs < timeoutMs ? timeoutMs - static_cast<uint32_t>(elapsedMs) : 0;
        pollfd entry{socket, events, 0};
        const int ready = poll(&entry, 1, leftMs > 0x7FFFFFFFu ? -1 : static_cast<int>(leftMs));
        if (ready >= 0) {
            return ready == 0 ? 0 : entry.revents;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

// A connect is over once the socket is writable without trouble: from then on a hang-up is a
// broken connection, not a failed attempt.
void noteConnected(SocketHandle socket, short revents) {
    if ((revents & POLLOUT) != 0 && !hasFailed(revents)) {
        forgetPending(socket);
    }
}

}  // namespace

int socketServiceStart() {
    serviceStarts.fetch_add(1);
    return 0;
}

void socketServiceStop() {
    int starts = serviceStarts.load();
    while (starts > 0 && !serviceStarts.compare_exchange_weak(starts, starts - 1)) {
    }
}

int socketCreate(SocketType type, SocketHandle* handle) {
    *handle = kNoSocket;
    if (!serviceStarted()) {
        return kWsaNotInitialised;
    }
    const int created = type == SocketType::Stream
                            ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)
                            : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (created < 0) {
        return lastSocketError();
    }
    *handle = created;
    return 0;
}

int socketConnect(SocketHandle socket, uint32_t address, uint16_t port) {
    if (!serviceStarted()) {
        return kWsaNotInitialised;
    }
    const int flags = fcntl(socket, F_GETFL);
    if (flags < 0) {
        return lastSocketError();
    }
    fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    const sockaddr_in remote = makeAddress(address, port);
    int result = 0;
    if (connect(socket, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        // Windows reports a pending non-blocking connect as "would block".
        result = errno == EINPROGRESS ? kWsaWouldBlock : lastSocketError();
    }
    const int savedErrno = errno;
    fcntl(socket, F_SETFL, flags);
    errno = savedErrno;
    if (result == kWsaWouldBlock) {
        rememberPending(socket);
        // A connection under way is no failure: its "in progress" must not be reported later
        // as the platform error of an unrelated driver error.
        errno = 0;
    }
    return result;
}

int socketConnectError(SocketHandle socket) {
    if (!serviceStarted()) {
        return kWsaNotInitialised;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return lastSocketError();
    }
    const int number = error == 0 ? 0 : posix::wsaFromErrno(error);
    std::lock_guard<std::mutex> guard(pendingLock);
    PendingConnect* entry = findPending(socket);
    if (entry == nullptr) {
        return number;
    }
    if (entry->error == 0) {
        entry->error = number;
    }
    return entry->error;
}

int socketBind(SocketHandle socket, uint32_t address, uint16_t port) {
    if (!serviceStarted()) {
        return kWsaNotInitialised;
    }
    const sockaddr_in local = makeAddress(address, port);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return lastSocketError();
    }
    return 0;
}

int socketSend(SocketHandle socket, const void* bytes, int32_t length, int32_t* sent) {
    *sent = 0;
    if (!serviceStarted()) {
        return kWsaNotInitialised;
    }
    ssize_t count = 0;
    // MSG_NOSIGNAL: a send on a dropped connection must fail, not raise SIGPIPE in the host.
    do {
        count = send(socket, bytes, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        return lastSocketError();
    }
    *sent = static_cast<int32_t>(count);
    return 0;
}

int socketSendTo(SocketHandle socket, const void* bytes, int32_t length, uint32_t address,
                 uint16_t port, int32_t* sent) {
    *sent = 0;
    if (!serviceStarted()) {
        return kWsaNotInitialised;
    }
    const sockaddr_in remote = makeAddress(address, port);
    ssize_t count = 0;
    do {
        count = sendto(socket, bytes, static_cast<size_t>(length), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        return lastSocketError();
    }
    *sent = static_cast<int32_t>(count);
    return 0;
}

int socketRecv(SocketHandle socket, void* buffer, int32_t capacity, int32_t* received) {
    *received = 0;
    if (!serviceStarted()) {
        return kWsaNotInitialised;
    }
    ssize_t count = 0;
    do {
        count = recv(socket, buffer, static_cast<size_t>(capacity), 0);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        return lastSocketError();
    }
    *received = static_cast<int32_t>(count);
    return 0;
}

int socketSetLinger(SocketHandle socket, bool on, uint16_t seconds) {
    if (!serviceStarted()) {
        return kWsaNotInitialised;
    }
    const linger setting{on ? 1 : 0, seconds};
    if (setsockopt(socket, SOL_SOCKET, SO_LINGER, &setting, sizeof setting) != 0) {
        return lastSocketError();
    }
    return 0;
}

int socketCloseHandle(SocketHandle socket) {
    forgetPending(socket);
    // The descriptor is closed even when the service is stopped, as stopping the service on
    // Windows destroys its sockets: no descriptor outlives its owner's close.
    const bool started = serviceStarted();
    // Linux frees the descriptor even when close is interrupted; retrying could close a
    // descriptor that another thread has opened meanwhile.
    if (close(socket) != 0 && errno != EINTR) {
        return started ? lastSocketError() : kWsaNotInitialised;
    }
    return started ? 0 : kWsaNotInitialised;
}

int socketReady(SocketHandle socket, Readiness what, uint32_t timeoutMs) {
    if (!serviceStarted()) {
        return -kWsaNotInitialised;
    }
    const int revents = pollOnce(socket, eventsFor(what), timeoutMs);
    if (revents < 0) {
        return -lastSocketError();
    }
    if ((revents & POLLNVAL) != 0) {
        return -kWsaNotSocket;
    }
    noteConnected(socket, static_cast<short>(revents));
    return answers(socket, static_cast<short>(revents), what) ? 1 : 0;
}

void socketAwait(SocketHandle socket, Readiness what, uint32_t timeoutMs) {
    if (!serviceStarted()) {
        return;
    }
    const uint64_t startMs = monotonicMs();
    const int revents = pollOnce(socket, eventsFor(what), timeoutMs);
    if (revents <= 0 || (revents & POLLNVAL) != 0) {
        return;
    }
    const short flags = static_cast<short>(revents);
    noteConnected(socket, flags);
    if (answers(socket, flags, what) || answers(socket, flags, Readiness::Error)) {
        return;
    }
    // Only POLLERR/POLLHUP of a dead connection woke the poll, and they stay: what the caller
    // waits for cannot come. Sleep out the time instead of handing back a poll that returns at
    // once, which would make the caller's wait spin.
    const uint64_t elapsedMs = monotonicMs() - startMs;
    if (elapsedMs < timeoutMs) {
        sleepMs(timeoutMs - static_cast<uint32_t>(elapsedMs));
    }
}

int openDescriptorCount() {
    const int entries = posix::countProcEntries("/proc/self/fd");
    return entries < 0 ? -1 : entries - 1;  // not the one that reading the directory took
}

}  // namespace ostrel::platform
