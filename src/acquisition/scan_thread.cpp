#include "acquisition/scan_thread.h"

#include "diag/trace.h"
#include "platform/host_event.h"
#include "processing/data_block.h"
#include "state/driver_state.h"

namespace ostrel {

void ScanThread::signalIfSet(const std::atomic<uintptr_t>& handle, const char* traceLine) {
    const uintptr_t event = handle.load();
    if (event != 0) {
        trace("%s", traceLine);
        platform::signalHostEvent(event);
    }
}

unsigned ScanThread::ThreadProc() {
    DriverState& s = driverState;
    startedEvent.set();
    trace("OstrelTCP scanThread:entering ThreadProc");
    trace("OstrelTCP scanThread:files= %d; scans= %d", files.load(), scans.load());
    s.filesComplete.store(0);
    s.filesRetrieved.store(0);
    bool failed = false;
    bool halted = false;
    s.status.store(ThreadRunning);

    const int32_t fileLimit = files.load();
    for (;;) {
        if (s._stopping.load() != 0 || (fileLimit != 0 && s.filesComplete.load() >= fileLimit) ||
            halted) {
            break;
        }
        if (killEvent.wait(0)) {
            trace("OstrelTCP scanThread: kill event received (1)");
            halted = true;
            break;
        }
        if (scanLoop(&timestamp) != 0) {
            trace("OstrelTCP scanThread: scanLoop returned an error");
            failed = halted = true;
            continue;
        }
        if (killEvent.wait(0)) {
            trace("OstrelTCP scanThread: kill event received (2)");
            halted = true;
            continue;
        }
        int32_t read = 0;
        {
            // The block stays this thread's from its transfer to the end of its conversion.
            platform::LockGuard block(blockLock());
            read = readData(&geometry, &killEvent);
            if (read == 0) {
                PrepareData();
            }
        }
        if (read == kReadStopped) {
            halted = true;
            continue;
        }
        if (read != 0) {
            trace("OstrelTCP scanThread: readData return an error");
            failed = halted = true;
            continue;
        }
        signalIfSet(s.coaddCompleteEvent, "OstrelTCP scanThread: setting coaddCompleteEvent");
        s.filesComplete.fetch_add(1);
    }

    cycleEnded_.store(true);
    if (failed) {
        signalIfSet(s.errorHandle, "OstrelTCP scanThread: setting errorHandle");
    } else if (!halted) {
        signalIfSet(s.filesCompleteEvent, "OstrelTCP scanThread: setting filesCompleteEvent");
    }
    trace("OstrelTCP scanThread:DONE");
    s.status.store(Connected);
    running.store(false);
    doneEvent.set();
    return 0;
}

int32_t ScanThread::PrepareData() {
    trace("OstrelTCP scanThread:PrepareData");
    int32_t count = 0;
    platform::LockGuard storage(workStorageLock());
    if (unglomData(blockBuffer, &count, geometry.points, geometry.scanDir, interferogram)) {
        publish(interferogram, count);
    }
    return 0;
}

// Fills the slot that is not published, then makes it the ready one. A store that the slot
// refuses publishes nothing: the host keeps the earlier file instead of receiving it as new.
void ScanThread::publish(const double* curve, int32_t count) {
    const int32_t slot = writeScanBufferIndex.load();
    if (!scanBuffers[slot].setData(curve, count, timestamp)) {
        trace("OstrelTCP publish: slot %d refused %d points; nothing published", slot, count);
        return;
    }
    readyScanBufferIndex.store(slot);
    writeScanBufferIndex.store((slot + 1) % 2);
}

int32_t ScanThread::getData(double* destination, int32_t pts, double* timestamp_) {
    const int32_t ready = readyScanBufferIndex.load();
    if (ready == -1) {
        return 1;
    }
    const int32_t retrieved = driverState.filesRetrieved.fetch_add(1) + 1;
    trace(
        "OstrelTCP ScanThread::getData: readyScanBufferIndex= %d; filesComplete= %d; "
        "filesRetrieved= %d",
        ready, driverState.filesComplete.load(), retrieved);
    return scanBuffers[ready].getData(destination, pts, timestamp_);
}

double ScanThread::getTimestamp() const {
    const int32_t ready = readyScanBufferIndex.load();
    return ready == -1 ? 0.0 : scanBuffers[ready].timestamp();
}

}  // namespace ostrel
