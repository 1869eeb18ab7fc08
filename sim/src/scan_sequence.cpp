// The scan sequence that "scan" starts: one progress line per scan at the scan interval, then
// "ready" after the ready delay, each a deadline of the service loop's poll.
#include <cstdint>
#include <string>

#include "service.h"

namespace ostrel::sim {

// A new "scan" restarts the sequence from scan 1 with the current settings.
void Simulator::Impl::startScan(Clock::time_point now) {
    scan = {true, 1, settings.scans, now + scanInterval()};
}

Clock::duration Simulator::Impl::scanInterval() const {
    return milliseconds(config.scanMsAt16k * settings.points / 16384.0);
}

void Simulator::Impl::scanStep() {
    bool final = scan.next > scan.total;
    std::string line = final ? "ready\r\n" : "_" + std::to_string(scan.next) + "\r\n";
    Fault fault = takeFault(Phase::ScanSequence, line);
    if (!final)
        ++progressLines;
    emit(command, textBytes(line), fault);
    // An error line aborts the sequence as the instrument would; a silenced line halts it.
    bool aborted = fault == Fault::ErrorReply || fault == Fault::LowerCaseError ||
                   fault == Fault::NoGreeting || fault == Fault::Silence || command.fd < 0;
    if (aborted || final) {
        scan.active = false;
        if (!aborted) {
            ++scansRun;
            // Built now, while the host reads "ready", so that "send" is answered at once.
            blockFor(static_cast<uint64_t>(blocksSent));
        }
        return;
    }
    ++scan.next;
    scan.due += scan.next > scan.total ? milliseconds(config.readyDelayMs) : scanInterval();
}

}  // namespace ostrel::sim
