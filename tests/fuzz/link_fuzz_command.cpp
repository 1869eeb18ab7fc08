// The instrument's replies on the command connection, played by fuzzed bytes. The first byte
// picks what the driver is doing when they arrive (waiting for "OK", reading the greeting, the
// version, the fibre inputs, a scan sequence with or without the host's scan event, one
// response); the rest is the reply stream, split into separately sent chunks at each 0xFF byte.
// The instrument's end is shut after the last chunk, so every wait ends at once.
//
// Beyond the sanitizers, each input checks what the driver promises for any reply: the reply
// text stays terminated within its buffer, the results are among the specified ones, and the
// fibre words carry nothing outside their two 12-bit fields.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "acquisition/scan_sequence.h"
#include "link/command_channel.h"
#include "link/wil.h"
#include "ostreltcp.h"
#include "reliability/link_peer.h"
#include "state/driver_state.h"

namespace {

using ostrel::driverState;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

enum Operation : uint8_t {
    WaitForOk,
    Greeting,
    Version,
    ReadFiber,
    ScanWithEvent,
    ScanWithoutEvent,
    Response,
    kOperations
};

// The host's scan-complete event; its count is reset for every input.
uintptr_t scanEvent() {
    static const int descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    uint64_t count = 0;
    check(read(descriptor, &count, sizeof count) == sizeof count || errno == EAGAIN);
    return static_cast<uintptr_t>(descriptor);
}

void checkReplyBuffers() {
    ostrel::platform::LockGuard conversation(ostrel::conversationLock());
    check(driverState.receivedLength >= 0 &&
          driverState.receivedLength <= ostrel::kReceiveCapacity);
    check(std::memchr(driverState.replyText, '\0', sizeof driverState.replyText) != nullptr);
    check(std::memchr(driverState.receiveBuffer, '\0', sizeof driverState.receiveBuffer) !=
          nullptr);
}

void runOperation(Operation operation, int32_t socket) {
    switch (operation) {
        case WaitForOk: {
            ostrel::platform::LockGuard conversation(ostrel::conversationLock());
            const int32_t result = ostrel::waitForOK();
            check(result == 0 || result == 3 || result == 4);
            break;
        }
        case Greeting: {
            ostrel::platform::LockGuard conversation(ostrel::conversationLock());
            check(ostrel::read_until(socket, "ready", ostrel::kReadyTimeoutMs) <=
                  ostrel::kReceiveCapacity);
            break;
        }
        case Version:
            spectrometer_version();
            break;
        case ReadFiber: {
            uint16_t requests[16];
            for (uint16_t& request : requests) {
                request = 1;
            }
            uint32_t results[16];
            const int32_t result = spectrometer_readFiber(requests, results);
            check(result == 0 || result == 3 || result == 4);
            for (int word = 0; word < 16; ++word) {
                check((results[word] & 0xF000F000u) == 0);
                check(word < 8 || results[word] == 0);
            }
            break;
        }
        case ScanWithEvent:
        case ScanWithoutEvent: {
            driverState._scanCompleteEvent.store(operation == ScanWithEvent ? scanEvent() : 0);
            double stamp = 0.0;
            const int32_t result = ostrel::scanLoop(&stamp);
            check(result == 0 || result == 11 || result == 12 || result == 14 || result == 15);
            break;
        }
        case Response: {
            ostrel::platform::LockGuard conversation(ostrel::conversationLock());
            check(ostrel::getResponse(1000) <= ostrel::kReceiveCapacity - 1);
            break;
        }
        case kOperations:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ostrel::testing::LinkPeer* peer = [] {
        ostrel::socketsAttach();
        return new ostrel::testing::LinkPeer;
    }();
    if (size < 1) {
        return 0;
    }
    const Operation operation = static_cast<Operation>(data[0] % kOperations);
    const int32_t socket = peer->connect();
    check(socket >= 0);
    driverState.commandSocket.store(socket);
    driverState._stopping.store(0);
    // Short limits: a known scan time turns the single-scan limit on, one scan the co-add one.
    driverState.calscanTime.store(20.0);
    driverState.scans.store(1);
    driverState.points.store(16384);
    peer->play(ostrel::testing::chunksOf(data + 1, size - 1));
    runOperation(operation, socket);
    checkReplyBuffers();
    peer->finish();
    driverState.commandSocket.store(-1);
    driverState._scanCompleteEvent.store(0);
    return 0;
}
