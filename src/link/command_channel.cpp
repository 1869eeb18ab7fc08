#include "link/command_channel.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "diag/clocks.h"
#include "diag/trace.h"
#include "link/wil.h"
#include "platform/clock.h"
#include "state/driver_state.h"
#include "state/errors.h"

namespace ostrel {
namespace {

void copyReceivedToReply() OSTREL_REQUIRES(conversationLock()) {
    driverState.receiveBuffer[driverState.receivedLength] = '\0';
    std::memcpy(driverState.replyText, driverState.receiveBuffer,
                static_cast<size_t>(driverState.receivedLength) + 1);
}

int32_t remainingMs(double startMs, double timeoutMs) {
    const double left = timeoutMs - (monotonicMs() - startMs);
    return left <= 0.0 ? 0 : static_cast<int32_t>(left) + 1;
}

// A reply that arrived in pieces (a slow link, or a segment boundary inside "ready") is
// collected up to its line end, so that a token is never missed for being split between two
// receives. Waits at most kLineCompletionMs for each further piece.
int32_t completeLine(int32_t socket, int32_t count) OSTREL_REQUIRES(conversationLock()) {
    DriverState& s = driverState;
    while (count < kReceiveCapacity && s.receiveBuffer[count - 1] != '\n') {
        if (socketWaitReadable(socket, kLineCompletionMs) != 1) {
            break;
        }
        const int32_t more =
            socketReceive(socket, s.receiveBuffer + count, kReceiveCapacity - count);
        if (more <= 0) {
            break;
        }
        count += more;
    }
    return count;
}

}  // namespace

// Formats and sends under the send lock; the shared body of the two formatting senders.
static int32_t sendFormatted(const char* traceFormat, const char* format, va_list args) {
    platform::LockGuard guard(sendLock());
    std::vsnprintf(driverState.commandBuffer, sizeof driverState.commandBuffer, format, args);
    if (traceFormat != nullptr) {
        trace(traceFormat, driverState.commandBuffer);
    }
    return socketSendString(driverState.commandSocket.load(), driverState.commandBuffer);
}

int32_t sendTracedCommand(const char* traceFormat, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int32_t result = sendFormatted(traceFormat, format, args);
    va_end(args);
    return result;
}

int32_t sendTextOn(int32_t socket, const char* text) {
    platform::LockGuard guard(sendLock());
    std::snprintf(driverState.commandBuffer, sizeof driverState.commandBuffer, "%s", text);
    return socketSendString(socket, driverState.commandBuffer);
}

int32_t sendCommand() {
    platform::LockGuard guard(sendLock());
    return socketSendString(driverState.commandSocket.load(), driverState.commandBuffer);
}

int32_t getResponse(int32_t timeoutMs) {
    DriverState& s = driverState;
    s.receiveBuffer[0] = '\0';
    const int32_t socket = s.commandSocket.load();
    if (socketWaitReadable(socket, timeoutMs) != 1) {
        s.replyText[0] = '\0';
        return 0;
    }
    int32_t count = socketReceive(socket, s.receiveBuffer, kReceiveCapacity);
    if (count > 0) {
        count = completeLine(socket, count);
    }
    s.receivedLength = count > 0 ? count : 0;
    if (count > 0) {
        copyReceivedToReply();
        return count - 1;
    }
    if (count < 0) {
        trace("getResponse: error %d returned", count);
        return count;
    }
    copyReceivedToReply();
    return -1;
}

int32_t waitForResponse(int32_t tries) {
    int32_t result = 0;
    for (int32_t attempt = 0; result <= 0 && attempt < tries; ++attempt) {
        result = getResponse(kResponseWaitMs);
        if (result <= 0) {
            platform::sleepMs(kResponsePauseMs);
        }
        if (driverState._stopping.load() != 0) {
            return 0;
        }
    }
    trace("OstrelTCP: waitForResponse returns %d bytes: %s", result, driverState.replyText);
    return result;
}

// Collects bytes until the token appears or the time is up. Between receives it sleeps in the
// platform poll until more bytes arrive. A full buffer or a failed receive ends the wait at once:
// nothing more can arrive that would be kept.
int32_t read_until(int32_t socket, const char* token, double timeoutMs) {
    DriverState& s = driverState;
    s.replyText[0] = '\0';
    const double start = monotonicMs();
    s.receivedLength = 0;
    s.receiveBuffer[0] = '\0';

    while (monotonicMs() - start < timeoutMs) {
        if (std::strstr(s.receiveBuffer, token) != nullptr) {
            trace("OstrelTCP: read_until found %s in %s", token, s.receiveBuffer);
            break;
        }
        const int32_t room = kReceiveCapacity - s.receivedLength;
        if (room <= 0) {
            break;
        }
        const int32_t count = socketReceive(socket, s.receiveBuffer + s.receivedLength, room);
        if (count < 0) {
            break;
        }
        if (count > 0) {
            s.receivedLength += count;
            s.receiveBuffer[s.receivedLength] = '\0';
            continue;
        }
        socketWaitReadable(socket, remainingMs(start, timeoutMs));
    }
    copyReceivedToReply();
    return s.receivedLength;
}

int32_t waitForOK() {
    read_until(driverState.commandSocket.load(), "OK", kOkTimeoutMs);
    if (std::strstr(driverState.replyText, "OK") != nullptr) {
        return 0;
    }
    if (std::strstr(driverState.replyText, "ERROR") != nullptr) {
        return setLastError(ErrInstrument);
    }
    return setLastError(ErrOkTimeout);
}

int32_t commandExchange(const char* traceFormat, const char* format, ...) {
    platform::LockGuard conversation(conversationLock());
    va_list args;
    va_start(args, format);
    sendFormatted(traceFormat, format, args);
    va_end(args);
    return waitForOK();
}

}  // namespace ostrel
