// Bringing the two connections up and down: open, close, stop and the reboot export.
#include "api/lifecycle.h"

#include <cstring>
#include <new>

#include "acquisition/scan_thread.h"
#include "diag/trace.h"
#include "link/command_channel.h"
#include "link/ports.h"
#include "link/reboot.h"
#include "link/wil.h"
#include "ostreltcp.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "state/driver_state.h"
#include "state/errors.h"

using ostrel::driverState;

namespace ostrel {
namespace {

constexpr int32_t kConnectCheckMs = 2000;
constexpr int32_t kCloseCheckMs = 1000;
constexpr uint32_t kStopRebootPauseMs = 5000;
constexpr uint32_t kResetPauseMs = 5000;

// Whether this driver has the socket layer attached: attach and release must pair up, whatever
// order the host calls open and close in. Host threads only, under lifecycleLock.
bool socketLayerAttached OSTREL_GUARDED_BY(lifecycleLock()) = false;

// The calibration scan in progress, if any, and an event that is set while there is none.
struct CalibrationGate {
    std::atomic<bool> active{false};
    platform::Event idle;
    CalibrationGate() { idle.set(); }
};

CalibrationGate& calibrationGate() {
    static CalibrationGate gate;
    return gate;
}

// Asks a calibration scan on another host thread to stop and waits for it to leave the
// connections, so that they are not closed or replaced under it. Caller holds lifecycleLock,
// which the calibration never takes again once it runs.
void awaitCalibrationLeaving() {
    CalibrationGate& gate = calibrationGate();
    if (!gate.active.load()) {
        return;
    }
    driverState._stopping.store(1);
    trace("OstrelTCP: waiting for the calibration scan to end");
    if (!gate.idle.wait(kCalibrationLeaveMs)) {
        trace("OstrelTCP: the calibration scan did not end within %u ms", kCalibrationLeaveMs);
    }
}

// A run still under way when open is called again is stopped before its connections are
// replaced: otherwise its thread would go on reading them while open greets the new ones.
void stopRunBeforeReconnecting() {
    ScanThread* thread = driverState.scanThread.load();
    if (thread != nullptr && thread->isRunning()) {
        trace("OstrelTCP open: stopping the run still in progress");
        driverState._stopping.store(1);
        thread->Stop();
    }
}

// A thread that could not be stopped keeps its object for ever: it may still be using it.
void retireScanThread(ScanThread* thread) {
    if (thread != nullptr && !thread->abandoned()) {
        delete thread;
    }
}

// Sockets left from an earlier open that close could not check are never used again.
void releaseLeftoverSocket(std::atomic<int32_t>& field) {
    const int32_t socket = field.exchange(-1);
    if (socket != -1) {
        socketClose(socket, 0);
    }
}

int32_t connectSocket(std::atomic<int32_t>& field, uint16_t port) {
    trace("OstrelTCP connect creating socket for port %d", port);
    char text[kIpAddressSize];
    copyIpAddress(text);
    uint32_t address = 0;
    if (!parseDottedAddress(text, &address)) {
        trace("OstrelTCP connect could not create socket, error= %d", WIL_BAD_DOTTED);
        return setSocketError(WIL_BAD_DOTTED);
    }
    const int32_t socket = tcpSocketOpen();
    if (socket < 0) {
        trace("OstrelTCP connect could not create socket, error= %d", socket);
        return setSocketError(socket);
    }
    trace("OstrelTCP connect, connecting...");
    const int32_t connected = socketConnect(socket, address, port);
    if (connected != 1) {
        trace("OstrelTCP connect could not create socket, error= %d", connected);
        socketClose(socket, 0);
        return setSocketError(connected);
    }
    trace("OstrelTCP connect, checking connnection");
    if (socketWaitWritable(socket, kConnectCheckMs) != 1) {
        // A connection that the instrument refused within the check reports why.
        const int32_t failure = socketConnectError(socket);
        socketClose(socket, 0);
        if (failure < 0) {
            trace("OstrelTCP connect could not create socket, error= %d", failure);
            return setSocketError(failure);
        }
        platform::LockGuard conversation(conversationLock());
        driverState.replyText[0] = '\0';
        return setLastError(ErrConnect);
    }
    field.store(socket);
    return 0;
}

// Waits for the instrument's "ready" on a new connection; failureCode when it does not come.
int32_t awaitGreeting(int32_t socket, int32_t failureCode, bool commandConnection) {
    platform::LockGuard conversation(conversationLock());
    if (read_until(socket, "ready", kReadyTimeoutMs) == 0) {
        return setLastError(failureCode);
    }
    if (commandConnection) {
        trace("OstrelTCP open, read %s\n", driverState.replyText);
    }
    if (std::strstr(driverState.replyText, "ready") == nullptr) {
        if (commandConnection) {
            trace("OstrelTCP open, DID NOT FIND ready");
        } else {
            trace("%s", driverState.replyText);
        }
        return setLastError(failureCode);
    }
    return 0;
}

int32_t openLocked(int32_t id) OSTREL_REQUIRES(lifecycleLock()) {
    trace("OstrelTCP version %d open(id = %d)", DriverState::driverVersion, id);
    awaitCalibrationLeaving();
    stopRunBeforeReconnecting();
    trace("OstrelTCP open attach");
    if (!socketLayerAttached) {
        const int32_t attached = socketsAttach();
        if (attached < 0) {
            return setSocketError(attached);
        }
        socketLayerAttached = true;
    }
    {
        // A host command may still be waiting for its reply on the old command connection.
        platform::LockGuard conversation(conversationLock());
        releaseLeftoverSocket(driverState.commandSocket);
    }
    releaseLeftoverSocket(driverState.dataSocket);

    trace("OstrelTCP open connect to TCP socket");
    int32_t result = connectSocket(driverState.commandSocket, commandPort());
    if (result != 0) {
        trace("OstrelTCP open connect to TCP socket FAIL %d", result);
        return result;
    }
    trace("OstrelTCP open connect to data socket");
    result = connectSocket(driverState.dataSocket, dataPort());
    if (result != 0) {
        trace("OstrelTCP open connect to data socket FAIL %d", result);
        return result;
    }
    trace("OstrelTCP open, waiting for ready...");
    result = awaitGreeting(driverState.commandSocket.load(), ErrCommandSocket, true);
    if (result != 0) {
        return result;
    }
    trace("OstrelTCP open, checking data socket\n");
    result = awaitGreeting(driverState.dataSocket.load(), ErrDataSocket, false);
    if (result != 0) {
        return result;
    }
    // The instrument delivers blocks only on request; a missing "OK" is recorded but not fatal.
    commandExchange(nullptr, "deliverAll 0\r\n");

    // An idle object left by close (or a run stopped above) is replaced here.
    ScanThread* previous = driverState.scanThread.exchange(new (std::nothrow) ScanThread);
    if (previous != nullptr) {
        if (previous->isRunning()) {
            previous->Stop();
        }
        retireScanThread(previous);
    }
    driverState.status.store(Connected);
    return 0;
}

// The writable check gives pending output up to a second to leave. A connection that fails it
// (the peer reset it or vanished) is released all the same: it can never be used again, and
// keeping it would leak its descriptor and its slot.
void closeConnection(std::atomic<int32_t>& field, const char* traceLine) {
    const int32_t socket = field.load();
    if (socket == -1) {
        return;
    }
    if (socketWaitWritable(socket, kCloseCheckMs) == 1) {
        trace("%s", traceLine);
    }
    socketClose(socket, 0);
    field.store(-1);
}

// When the library is unloaded, an idle ScanThread that close left in place (with its last
// file) is destroyed; one whose thread still runs is left alone.
struct IdleObjectRelease {
    ~IdleObjectRelease() {
        ScanThread* thread = driverState.scanThread.load();
        if (thread != nullptr && !thread->isRunning() && thread->releaseFinishedThread()) {
            driverState.scanThread.store(nullptr);
            delete thread;
        }
    }
};
IdleObjectRelease idleObjectRelease;

}  // namespace

// A thread that has finished its files and is only signalling the host and returning no longer
// uses the connections: it does not count as a run in progress.
bool runInProgress() {
    const ScanThread* thread = driverState.scanThread.load();
    return thread != nullptr && thread->isRunning() && !thread->cycleEnded();
}

bool beginCalibration() {
    CalibrationGate& gate = calibrationGate();
    if (runInProgress() || gate.active.load() || driverState.commandSocket.load() == -1 ||
        driverState.dataSocket.load() == -1) {
        return false;
    }
    gate.active.store(true);
    gate.idle.reset();
    driverState._stopping.store(0);
    return true;
}

void endCalibration() {
    CalibrationGate& gate = calibrationGate();
    gate.active.store(false);
    gate.idle.set();
}

bool calibrationInProgress() {
    return calibrationGate().active.load();
}

int32_t closeLocked() OSTREL_REQUIRES(lifecycleLock()) {
    driverState._stopping.store(1);
    trace("OstrelTCP close");
    awaitCalibrationLeaving();
    ScanThread* thread = driverState.scanThread.load();
    if (thread != nullptr && thread->isRunning()) {
        trace("OstrelTCP close: stopping scan thread");
        thread->Stop();
        trace("OstrelTCP close: scan thread stopped");
        driverState.scanThread.store(nullptr);
        retireScanThread(thread);
    } else if (thread != nullptr) {
        // The idle object stays, as does its last file; its finished thread is joined now.
        thread->releaseFinishedThread();
    }
    {
        // A host command on another thread may still be waiting for its reply.
        platform::LockGuard conversation(conversationLock());
        closeConnection(driverState.commandSocket, "OstrelTCP close: closing command socket");
    }
    closeConnection(driverState.dataSocket, "OstrelTCP close: closing data socket");
    trace("OstrelTCP close: releasing winsock");
    if (socketLayerAttached) {
        socketsRelease();
        socketLayerAttached = false;
    }
    return 0;
}

}  // namespace ostrel

int32_t OSTRELTCP_CALL spectrometer_open(int32_t id) {
    ostrel::platform::LockGuard guard(ostrel::lifecycleLock());
    try {
        return ostrel::openLocked(id);
    } catch (...) {
        driverState.status.store(ostrel::OpenFailed);
        return ostrel::setLastError(ostrel::ErrException);
    }
}

int32_t OSTRELTCP_CALL spectrometer_close(void) {
    ostrel::platform::LockGuard guard(ostrel::lifecycleLock());
    return ostrel::closeLocked();
}

// The socket layer is released by close; the reboot datagram attaches it once more for itself.
int32_t OSTRELTCP_CALL spectrometer_stop(void) {
    ostrel::trace("OstrelTCP stop");
    {
        ostrel::platform::LockGuard guard(ostrel::lifecycleLock());
        if (!ostrel::runInProgress()) {
            return ostrel::setLastError(ostrel::ErrThreadNotRunning);
        }
        driverState.files.store(1);
        driverState._stopping.store(1);
        ostrel::trace("OstrelTCP stop: closing connection");
        ostrel::closeLocked();
    }
    ostrel::trace("OstrelTCP stop: rebooting...");
    if (ostrel::socketsAttach() >= 0) {
        ostrel::Reboot();
        ostrel::socketsRelease();
    }
    ostrel::trace("OstrelTCP stop: closing connection DONE, sleeping %d ms",
                  static_cast<int>(ostrel::kStopRebootPauseMs));
    ostrel::platform::sleepMs(ostrel::kStopRebootPauseMs);
    ostrel::trace("OstrelTCP stop: re-connecting");
    return spectrometer_open(0);
}

int32_t OSTRELTCP_CALL spectrometer_reset(int32_t id) {
    ostrel::trace("OstrelTCP reset(id = %d)", id);
    const int32_t result = ostrel::Reboot();
    if (result == 0) {
        ostrel::platform::sleepMs(ostrel::kResetPauseMs);
    }
    return result;
}
