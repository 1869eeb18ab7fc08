// Acquisition against the simulator on loopback: the block transfer against a plain recv loop
// of the same bytes from the same simulator, the overhead a file adds beyond its transfer, and
// the processor time a run takes while it waits for a slow instrument.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/scan_sequence.h"
#include "ostrel_sim/simulator.h"
#include "ostreltcp.h"
#include "processing/data_block.h"
#include "state/driver_state.h"

namespace {

std::unique_ptr<ostrel::sim::Simulator> startSimulator(double scanMsAt16k) {
    ostrel::sim::Config config;
    config.scanMsAt16k = scanMsAt16k;
    config.readyDelayMs = 0.0;
    auto simulator = std::make_unique<ostrel::sim::Simulator>(config);
    if (!simulator->start()) {
        return nullptr;
    }
    setenv("OSTRELTCP_COMMAND_PORT", std::to_string(simulator->commandPort()).c_str(), 1);
    setenv("OSTRELTCP_DATA_PORT", std::to_string(simulator->dataPort()).c_str(), 1);
    setenv("OSTRELTCP_REBOOT_PORT", std::to_string(simulator->rebootPort()).c_str(), 1);
    spectrometer_setIPAddress("127.0.0.1");
    return simulator;
}

bool openWith(int points, int scans, int direction) {
    // A close of an earlier run of the benchmark left the stop flag set; only a co-add start
    // clears it, and the transfer below is called directly.
    ostrel::driverState._stopping.store(0);
    return spectrometer_open(0) == 0 && spectrometer_setPoints(points) == 0 &&
           spectrometer_setScans(scans) == 0 && spectrometer_setScanDirection(direction) == 0;
}

double processCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// The driver's transfer: "send\n" and the whole block into the block buffer.
void DriverTransfer(benchmark::State& state) {
    const int points = static_cast<int>(state.range(0));
    auto simulator = startSimulator(0.0);
    if (!simulator || !openWith(points, 1, 3)) {
        state.SkipWithError("no simulator or open failed");
        return;
    }
    const int64_t size = ostrel::blockLength(points, 3);
    for (auto _ : state) {
        ostrel::BlockGeometry geometry;
        if (ostrel::readData(&geometry, nullptr) != 0) {
            state.SkipWithError("readData failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * size);
    spectrometer_close();
}

int connectTo(uint16_t port) {
    const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

bool receiveExactly(int descriptor, uint8_t* buffer, int64_t size) {
    int64_t total = 0;
    while (total < size) {
        const ssize_t n = recv(descriptor, buffer + total, static_cast<size_t>(size - total), 0);
        if (n <= 0) {
            return false;
        }
        total += n;
    }
    return true;
}

// The floor: a blocking recv loop of the same block from the same simulator.
void RawRecvTransfer(benchmark::State& state) {
    const int points = static_cast<int>(state.range(0));
    auto simulator = startSimulator(0.0);
    if (!simulator || !openWith(points, 1, 3)) {
        state.SkipWithError("no simulator or open failed");
        return;
    }
    spectrometer_close();  // the settings stay on the instrument
    simulator->waitFor([&] { return simulator->connectedClients() == 0; }, 1000);
    const int data = connectTo(simulator->dataPort());
    const int64_t size = ostrel::blockLength(points, 3);
    std::vector<uint8_t> buffer(static_cast<size_t>(size));
    uint8_t greeting[7];
    if (data < 0 || !receiveExactly(data, greeting, sizeof greeting)) {
        state.SkipWithError("no data connection");
        return;
    }
    for (auto _ : state) {
        send(data, "send\n", 5, MSG_NOSIGNAL);
        if (!receiveExactly(data, buffer.data(), size)) {
            state.SkipWithError("short block");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * size);
    close(data);
}

// A whole run of files with an instrument that takes no time: what each file costs.
void CoaddRun(benchmark::State& state) {
    const int points = static_cast<int>(state.range(0));
    const int files = static_cast<int>(state.range(1));
    auto simulator = startSimulator(0.0);
    if (!simulator || !openWith(points, 1, 3)) {
        state.SkipWithError("no simulator or open failed");
        return;
    }
    spectrometer_setFiles(files);
    double totalMs = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (spectrometer_startCoadd(0) != 0) {
            state.SkipWithError("startCoadd failed");
            break;
        }
        int32_t done = 0;
        int32_t status = 0;
        do {
            usleep(200);
            spectrometer_getFileProgress(&done);
            spectrometer_getStatus(&status);
        } while (status != 4);
        totalMs +=
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        if (done != files) {
            state.SkipWithError("run ended early");
            break;
        }
    }
    state.counters["ms_per_file"] = totalMs / (static_cast<double>(state.iterations()) * files);
    spectrometer_close();
}

// A run with an instrument that takes one second a scan: the share of a processor it uses.
void CoaddCpuWithSlowInstrument(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    auto simulator = startSimulator(1000.0);
    if (!simulator || !openWith(16384, 1, 3)) {
        state.SkipWithError("no simulator or open failed");
        return;
    }
    spectrometer_setFiles(files);
    double cpuShare = 0.0;
    for (auto _ : state) {
        const double cpuStart = processCpuMs();
        const auto wallStart = std::chrono::steady_clock::now();
        spectrometer_startCoadd(0);
        int32_t status = 0;
        do {
            usleep(20 * 1000);
            spectrometer_getStatus(&status);
        } while (status != 4);
        const double wallMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart)
                .count();
        cpuShare = (processCpuMs() - cpuStart) / wallMs;
    }
    state.counters["cpu_share_percent"] = cpuShare * 100.0;
    spectrometer_close();
}

}  // namespace

BENCHMARK(DriverTransfer)->Arg(32768)->Arg(16384)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RawRecvTransfer)->Arg(32768)->Arg(16384)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CoaddRun)
    ->Args({16384, 100})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(CoaddCpuWithSlowInstrument)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK_MAIN();
