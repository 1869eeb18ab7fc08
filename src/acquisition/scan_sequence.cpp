#include "acquisition/scan_sequence.h"

#include <cstdio>
#include <cstring>

#include "diag/clocks.h"
#include "diag/trace.h"
#include "link/command_channel.h"
#include "link/wil.h"
#include "platform/event.h"
#include "platform/host_event.h"
#include "processing/data_block.h"
#include "state/driver_state.h"
#include "state/errors.h"

namespace ostrel {
namespace {

// A progress reply: the number after its last "_" becomes the scan progress, and the host's
// scan-complete event is signalled once for the reply.
void reportProgress(uintptr_t scanEvent, double* last) OSTREL_REQUIRES(conversationLock()) {
    const char* underscore = std::strrchr(driverState.replyText, '_');
    if (underscore == nullptr) {
        return;
    }
    *last = monotonicMs();
    int scan = 0;
    if (std::sscanf(underscore, "_%d\r\n", &scan) == 1) {
        driverState.scanProgress.store(scan);
    }
    trace("OstrelTCP scanLoop: %s setting _scanCompleteEvent", underscore);
    platform::signalHostEvent(scanEvent);
}

bool stopRequested(platform::Event* kill) {
    return driverState._stopping.load() != 0 || (kill != nullptr && kill->wait(0));
}

}  // namespace

int32_t scanLoop(double* timestamp) {
    DriverState& s = driverState;
    trace("OstrelTCP entering scanLoop");
    // The sequence owns the replies on the command connection until it ends.
    platform::LockGuard conversation(conversationLock());
    sendTracedCommand(nullptr, "scan\r\n");

    const double deadman = s.scans.load() * kDeadmanPerScanMs;
    const double start = monotonicMs();
    trace("OstrelTCP scanLoop @%f", clockMs());
    double last = start;
    const double singleScantime =
        kSingleScanFactor * s.calscanTime.load() * (s.points.load() / kCalibrationPoints);
    trace("OstrelTCP scanLoop: coadd deadman= %f; estimated singleScantime= %f; _stopping= %d\n",
          deadman, singleScantime, s._stopping.load());

    bool ready = false;
    bool stamped = false;
    while (!ready && s._stopping.load() == 0) {
        const int32_t n = waitForResponse(kReplyWaitsPerCall);
        if (n < 0) {
            return setLastError(ErrSocketRead);
        }
        if (n > 0) {
            ready = std::strstr(s.replyText, "ready") != nullptr;
            if (std::strstr(s.replyText, "ERROR") != nullptr ||
                std::strstr(s.replyText, "error") != nullptr) {
                return setLastError(ErrInstrumentScan);
            }
        }
        if (ready || s._stopping.load() != 0) {
            continue;
        }
        const uintptr_t scanEvent = s._scanCompleteEvent.load();
        // A progress line shows the instrument is alive whether or not the host listens for
        // it; without this a host with no scan-complete event would see every sequence longer
        // than the single-scan limit fail although each scan came in time.
        if (n > 0 && scanEvent == 0 && std::strchr(s.replyText, '_') != nullptr) {
            last = monotonicMs();
        }
        if (n > 0 && scanEvent != 0) {
            reportProgress(scanEvent, &last);
            if (!stamped) {
                *timestamp = stampMs();
                stamped = true;
            }
            continue;
        }
        const double now = monotonicMs();
        if (now - start > deadman) {
            trace("OstrelTCP scanLoop: coadd timeout");
            return setLastError(ErrDeadman);
        }
        if (singleScantime > 0 && now - last > singleScantime) {
            trace("OstrelTCP scanLoop: single scan timeout");
            return setLastError(ErrScanTimeout);
        }
    }
    // A file whose sequence brought no progress reply of its own (no scan-complete event, or
    // the whole sequence in one reply with "ready") is stamped as it ends, so that it never
    // carries the time stamp of an earlier file.
    if (ready && !stamped) {
        *timestamp = stampMs();
    }
    const double end = monotonicMs();
    trace("OstrelTCP: %d scans took %f ms", s.scanProgress.load(), end - start);
    trace("OstrelTCP leaving scanLoop @%f", clockMs());
    return 0;
}

int32_t readData(BlockGeometry* geometry, platform::Event* kill) {
    DriverState& s = driverState;
    const int32_t points = s.points.load();
    const int32_t scanDir = s.scanDir.load();
    // Settings the instrument refused stay stored; no block of theirs would fit or convert, so
    // the transfer is not even requested (and nothing is left on the connection for later).
    if (points < 1 || points > kMaxPoints) {
        trace("OstrelTCP readData: points setting %d does not fit the block buffer", points);
        return setLastError(ErrPointsRange);
    }
    if (scanDir < 1 || scanDir > 3) {
        trace("OstrelTCP readData: scan direction setting %d names no block layout", scanDir);
        return setLastError(ErrScanDirRange);
    }
    const int32_t size = static_cast<int32_t>(blockLength(points, scanDir));
    const int32_t dataSocket = s.dataSocket.load();

    const int32_t sent = sendTextOn(dataSocket, "send\n");
    if (sent < 0) {
        trace("OstrelTCP readData error %d writing to dataSocket", sent);
        return setSocketError(sent);
    }
    const double start = monotonicMs();
    trace("OstrelTCP.readData reading %d data bytes @%f", size, clockMs());

    int32_t total = 0;
    double lastByte = start;
    bool stopped = false;
    while (total < size) {
        const int32_t n = socketReceive(dataSocket, blockBuffer + total, size - total);
        if (n > 0) {
            total += n;
            lastByte = monotonicMs();
            continue;
        }
        if (n < 0) {
            trace("OstrelTCP readData read negative %d bytes; total= %d", n, total);
            break;
        }
        if (stopRequested(kill)) {
            stopped = true;
            break;
        }
        if (monotonicMs() - lastByte > kDataStallLimitMs) {
            trace("OstrelTCP readData: no data for %.0f ms", kDataStallLimitMs);
            break;
        }
        socketWaitReadable(dataSocket, kDataStopTestMs);
    }

    const double end = monotonicMs();
    const double seconds = (end - start) / 1000.0;
    if (total == size) {
        const double rate = total * 8.0 / seconds / 1048576.0;
        trace("OstrelTCP done reading data @%f", clockMs());
        trace("OstrelTCP %d bytes read in %.3fs: %.1fMbs", total, seconds, rate);
        geometry->points = points;
        geometry->scanDir = scanDir;
        return 0;
    }
    trace("OstrelTCP scanThread: only read %d of %d bytes in %.3fs", total, size, seconds);
    if (stopped) {
        return kReadStopped;
    }
    return setLastError(ErrShortBlock);
}

}  // namespace ostrel
