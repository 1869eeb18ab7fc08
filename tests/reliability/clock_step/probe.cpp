// A host process for the clock-step tests. The controlling test preloads a time faker into this
// process and steps its wall clock while the driver waits; everything that the driver does runs
// here, against the simulator that the controlling test started in its own (unfaked) process.
//
//   clock-step-probe selftest     (prints the wall clock it sees as the stamp)
//   clock-step-probe open
//   clock-step-probe ok
//   clock-step-probe run POINTS SCANS FILES CALSCAN_MS SCAN_EVENT(0|1)
//
// Prints "WAIT" when the measured wait begins, then "RESULT <code> <elapsed ms> <stamp ms>": the
// export's result (for a run, the last error after the error event, or 0 when all files came),
// the elapsed time on the monotonic clock, which the faker leaves alone, and the time stamp of
// the last file published (0 without one).
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ostreltcp.h"
#include "state/driver_state.h"
#include "support/host_event.h"

namespace {

using ostrel::testing::HostEvent;

double monotonicNowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void announceWait() {
    std::printf("WAIT\n");
    std::fflush(stdout);
}

int report(int32_t code, double startMs, double stampMs) {
    std::printf("RESULT %d %.1f %.3f\n", code, monotonicNowMs() - startMs, stampMs);
    std::fflush(stdout);
    spectrometer_close();
    return 0;
}

int openFirst() {
    spectrometer_setIPAddress("127.0.0.1");
    const int32_t opened = spectrometer_open(0);
    if (opened != 0) {
        std::printf("SETUP open %d\n", opened);
    }
    return opened;
}

// One co-add run; the wait is the whole run, from the start to its files-complete or error event.
int run(int argc, char** argv) {
    if (argc < 7) {
        return 2;
    }
    const int32_t points = std::atoi(argv[2]);
    const int32_t scans = std::atoi(argv[3]);
    const int32_t files = std::atoi(argv[4]);
    const double calscanMs = std::atof(argv[5]);
    const bool scanEvent = std::atoi(argv[6]) != 0;
    if (openFirst() != 0 || spectrometer_setPoints(points) != 0 ||
        spectrometer_setScans(scans) != 0 || spectrometer_setScanDirection(1) != 0) {
        std::printf("SETUP settings refused\n");
        return 1;
    }
    spectrometer_setFiles(files);
    // The single-scan limit as a calibration scan of this length would have set it.
    ostrel::driverState.calscanTime.store(calscanMs);

    HostEvent progress, filesDone, failed;
    if (scanEvent) {
        spectrometer_setScanCompleteEventHandle(progress.handle());
    }
    spectrometer_setFilesCompleteEventHandle(filesDone.handle());
    spectrometer_setErrorEventHandle(failed.handle());

    announceWait();
    const double start = monotonicNowMs();
    if (spectrometer_startCoadd(0) != 0) {
        return report(-1, start, 0.0);
    }
    pollfd ends[2] = {{static_cast<int>(filesDone.handle()), POLLIN, 0},
                      {static_cast<int>(failed.handle()), POLLIN, 0}};
    // Each of the run's limits is far shorter; the controlling test sees a hang as no result.
    constexpr int kRunLimitMs = 120000;
    const double deadline = start + kRunLimitMs;
    while (poll(ends, 2, 100) == 0 && monotonicNowMs() < deadline) {
    }
    const bool failedRun = (ends[1].revents & POLLIN) != 0;
    const bool completed = (ends[0].revents & POLLIN) != 0;
    const double elapsedEnd = monotonicNowMs();
    std::vector<double> curve(static_cast<size_t>(points));
    double stamp = 0.0;
    if (spectrometer_getData(curve.data(), points, &stamp) != 0) {
        stamp = 0.0;
    }
    const int32_t code = failedRun ? ostrel::driverState.lastError.load() : completed ? 0 : -2;
    std::printf("RESULT %d %.1f %.3f\n", code, elapsedEnd - start, stamp);
    std::fflush(stdout);
    spectrometer_setScanCompleteEventHandle(0);
    spectrometer_setFilesCompleteEventHandle(0);
    spectrometer_setErrorEventHandle(0);
    spectrometer_close();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    const char* mode = argv[1];
    if (std::strcmp(mode, "selftest") == 0) {
        // The wall clock as this process sees it, for the controlling test to compare.
        const double wallMs = std::chrono::duration<double, std::milli>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
        std::printf("RESULT 0 0 %.3f\n", wallMs);
        return 0;
    }
    if (std::strcmp(mode, "open") == 0) {
        spectrometer_setIPAddress("127.0.0.1");
        announceWait();
        const double start = monotonicNowMs();
        return report(spectrometer_open(0), start, 0.0);
    }
    if (std::strcmp(mode, "ok") == 0) {
        if (openFirst() != 0) {
            return 1;
        }
        announceWait();
        const double start = monotonicNowMs();
        return report(spectrometer_setPoints(1024), start, 0.0);
    }
    if (std::strcmp(mode, "run") == 0) {
        return run(argc, argv);
    }
    return 2;
}
