// One file of a co-add run whose data block is fuzzed bytes. The first two bytes give the points
// setting (1 to 512), the third the scan direction (0 to 4, so that settings the driver must
// refuse come up too), the fourth how many pieces the block arrives in (1 to 4); the rest is the
// block, whatever its length. The command connection plays a healthy scan sequence; the real
// scan thread runs the sequence, the transfer, the conversion and the publication, and the host
// then copies the file out.
//
// Beyond the sanitizers, each input checks that the run ends promptly (a short block ends it at
// the instrument's close, not at a time limit), with a specified code (a short block, or a
// points or scan direction setting the driver refuses), and that a published curve is finite.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

#include "acquisition/scan_thread.h"
#include "link/wil.h"
#include "ostreltcp.h"
#include "reliability/link_peer.h"
#include "state/driver_state.h"
#include "state/errors.h"

namespace {

using ostrel::driverState;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

constexpr char kScanSequence[] = "_1\r\nready\r\n";

bool awaitRunEnd(const ostrel::ScanThread* thread) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!thread->isRunning() && driverState.status.load() == ostrel::Connected) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return false;
}

std::vector<std::string_view> pieces(const uint8_t* data, size_t size, size_t count) {
    std::vector<std::string_view> result;
    const char* text = reinterpret_cast<const char*>(data);
    const size_t step = size / count + 1;
    for (size_t start = 0; start < size; start += step) {
        result.emplace_back(text + start, std::min(step, size - start));
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    struct Link {
        ostrel::testing::LinkPeer command, blocks;
        ostrel::ScanThread* thread = new ostrel::ScanThread;
    };
    static Link* link = [] {
        ostrel::socketsAttach();
        Link* made = new Link;
        driverState.scanThread.store(made->thread);
        return made;
    }();
    if (size < 4) {
        return 0;
    }
    const int32_t points = 1 + ((data[0] << 8) | data[1]) % 512;
    const int32_t scanDir = data[2] % 5;
    const size_t count = 1 + data[3] % 4;
    driverState.points.store(points);
    driverState.scanDir.store(scanDir);
    driverState.scans.store(1);
    driverState.files.store(1);
    driverState.calscanTime.store(0.0);

    const int32_t commandSocket = link->command.connect();
    const int32_t dataSocket = link->blocks.connect();
    check(commandSocket >= 0 && dataSocket >= 0);
    driverState.commandSocket.store(commandSocket);
    driverState.dataSocket.store(dataSocket);
    link->command.play({std::string_view(kScanSequence)});
    link->blocks.play(pieces(data + 4, size - 4, count));

    driverState.lastError.store(0);
    check(spectrometer_startCoadd(0) == 0);
    check(awaitRunEnd(link->thread));
    const int32_t code = driverState.lastError.load();
    check(code == 0 || code == ostrel::ErrShortBlock || code == ostrel::ErrPointsRange ||
          code == ostrel::ErrScanDirRange);

    const int32_t length = scanDir == 3 ? 2 * points : points;
    std::vector<double> curve(static_cast<size_t>(length));
    double stamp = 0.0;
    const int32_t copied = spectrometer_getData(curve.data(), length, &stamp);
    check(copied == 0 || copied == 1 || copied == 9);
    for (double value : copied == 0 ? curve : std::vector<double>()) {
        check(std::isfinite(value));
    }

    link->command.finish();
    link->blocks.finish();
    driverState.commandSocket.store(-1);
    driverState.dataSocket.store(-1);
    return 0;
}
