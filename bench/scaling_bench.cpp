// How the cost of a file grows with its points (1024 to 32768 per direction, both directions):
// unglomData against a byte-swap copy of the same block, and one whole file of a run against
// the simulator. Also what a file costs beyond the simulator's own scan time, the processor
// time per file, and one open and close against the same conversation over plain sockets. The
// simulator runs as a program of its own, so that the processor time measured here is the
// driver's alone.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ostreltcp.h"
#include "processing/data_block.h"
#include "processing/synthetic_block.h"
#include "reliability/sim_process.h"

namespace {

using ostrel::testing::SimProcess;

double swappedWords[ostrel::kBlockBufferSize / 4];

std::vector<uint8_t> pristineBlock(int32_t pts) {
    ostrel::testing::ChannelModel model;
    model.scans = 16;
    const ostrel::testing::SyntheticHalf forward = ostrel::testing::makeHalf(pts, model);
    model.burstCentre = 0.52;
    const ostrel::testing::SyntheticHalf reverse = ostrel::testing::makeHalf(pts, model);
    return ostrel::testing::makeBlock(16, 16, {&forward, &reverse});
}

// The floor of the conversion: copy the block, then every word from network order to a double.
void UnglomBaselineScaling(benchmark::State& state) {
    const int32_t pts = static_cast<int32_t>(state.range(0));
    const std::vector<uint8_t> pristine = pristineBlock(pts);
    const size_t words = (pristine.size() - ostrel::kBlockHeaderBytes) / 4;
    for (auto _ : state) {
        std::memcpy(ostrel::blockBuffer, pristine.data(), pristine.size());
        for (size_t i = 0; i < words; ++i) {
            uint32_t word;
            std::memcpy(&word, ostrel::blockBuffer + ostrel::kBlockHeaderBytes + 4 * i,
                        sizeof word);
            swappedWords[i] = static_cast<int32_t>(__builtin_bswap32(word));
        }
        benchmark::DoNotOptimize(swappedWords);
        benchmark::ClobberMemory();
    }
    state.counters["points"] = pts;
}

void UnglomScaling(benchmark::State& state) {
    const int32_t pts = static_cast<int32_t>(state.range(0));
    const std::vector<uint8_t> pristine = pristineBlock(pts);
    int32_t count = 0;
    for (auto _ : state) {
        std::memcpy(ostrel::blockBuffer, pristine.data(), pristine.size());
        ostrel::unglomData(ostrel::blockBuffer, &count, pts, 3, ostrel::interferogram);
        benchmark::DoNotOptimize(ostrel::interferogram);
        benchmark::ClobberMemory();
    }
    state.counters["points"] = pts;
}

double processCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// The host's events of a run, eventfds as a POSIX host makes them.
struct Events {
    int files = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int failed = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    Events() {
        spectrometer_setFilesCompleteEventHandle(static_cast<ostreltcp_event_handle>(files));
        spectrometer_setErrorEventHandle(static_cast<ostreltcp_event_handle>(failed));
    }
    ~Events() {
        spectrometer_setFilesCompleteEventHandle(0);
        spectrometer_setErrorEventHandle(0);
        close(files);
        close(failed);
    }
    // Waits for the end of the run; true when all its files were done.
    bool awaitEnd() const {
        pollfd entries[2] = {{files, POLLIN, 0}, {failed, POLLIN, 0}};
        if (poll(entries, 2, 60000) <= 0 || entries[1].revents != 0) {
            return false;
        }
        uint64_t count = 0;
        return read(files, &count, sizeof count) == sizeof count;
    }
};

bool openWith(int points, int scans) {
    spectrometer_setIPAddress("127.0.0.1");
    return spectrometer_open(0) == 0 && spectrometer_setPoints(points) == 0 &&
           spectrometer_setScans(scans) == 0 && spectrometer_setScanDirection(3) == 0;
}

// Waits for the end of the run's thread: its status goes back to 4 after the event.
void awaitConnected() {
    int32_t status = 0;
    do {
        usleep(100);
        spectrometer_getStatus(&status);
    } while (status != 4);
}

// Runs of `files` files of `points` points each; the time per file, and the processor time the
// driver spends per file.
void runFiles(benchmark::State& state, const char* scanMs, int points, int files) {
    SimProcess simulator({"--scan-ms", scanMs, "--ready-delay-ms", "0"});
    if (!simulator.ready() || !openWith(points, 1)) {
        state.SkipWithError("no simulator or open failed");
        return;
    }
    spectrometer_setFiles(files);
    const Events events;
    double cpuMs = 0.0;
    double wallMs = 0.0;
    for (auto _ : state) {
        const double cpuStart = processCpuMs();
        const auto wallStart = std::chrono::steady_clock::now();
        if (spectrometer_startCoadd(0) != 0 || !events.awaitEnd()) {
            state.SkipWithError("the run failed");
            break;
        }
        wallMs +=
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart)
                .count();
        cpuMs += processCpuMs() - cpuStart;
        awaitConnected();
    }
    const double filesDone = static_cast<double>(state.iterations()) * files;
    state.counters["points"] = points;
    state.counters["ms_per_file"] = wallMs / filesDone;
    state.counters["cpu_ms_per_file"] = cpuMs / filesDone;
    spectrometer_close();
}

// One file against its points, with an instrument that takes no time to scan.
void FileScaling(benchmark::State& state) {
    runFiles(state, "0", static_cast<int>(state.range(0)), 20);
}

// Files of 16384 points with the simulator's default scan time, 50 ms a scan: what the driver
// adds to the instrument's own time.
void FileWithScanTime(benchmark::State& state) {
    runFiles(state, "50", 16384, 10);
    state.counters["instrument_ms_per_file"] = 50.0;
}

void OpenClose(benchmark::State& state) {
    SimProcess simulator({"--scan-ms", "0"});
    if (!simulator.ready()) {
        state.SkipWithError("no simulator");
        return;
    }
    spectrometer_setIPAddress("127.0.0.1");
    for (auto _ : state) {
        if (spectrometer_open(0) != 0) {
            state.SkipWithError("open failed");
            break;
        }
        spectrometer_close();
    }
}

int connectTo(const char* portVariable) {
    const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(std::getenv(portVariable))));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

// Reads until the text ends in `token`; false when the peer closes first.
bool readUntil(int descriptor, const char* token) {
    char text[256];
    size_t length = 0;
    const size_t tokenLength = std::strlen(token);
    while (length < sizeof text) {
        const ssize_t n = recv(descriptor, text + length, sizeof text - length, 0);
        if (n <= 0) {
            return false;
        }
        length += static_cast<size_t>(n);
        if (length >= tokenLength &&
            std::memcmp(text + length - tokenLength, token, tokenLength) == 0) {
            return true;
        }
    }
    return false;
}

// The floor of open and close: the same conversation with plain blocking sockets. Connect both
// connections, read each greeting, send "deliverAll 0" and read its "OK", close both.
void RawOpenClose(benchmark::State& state) {
    SimProcess simulator({"--scan-ms", "0"});
    if (!simulator.ready()) {
        state.SkipWithError("no simulator");
        return;
    }
    for (auto _ : state) {
        const int command = connectTo("OSTRELTCP_COMMAND_PORT");
        const int data = connectTo("OSTRELTCP_DATA_PORT");
        const bool greeted = command >= 0 && data >= 0 && readUntil(command, "ready\r\n") &&
                             readUntil(data, "ready\r\n");
        const bool acknowledged = greeted &&
                                  send(command, "deliverAll 0\r\n", 14, MSG_NOSIGNAL) == 14 &&
                                  readUntil(command, "OK\r\n");
        close(command);
        close(data);
        if (!acknowledged) {
            state.SkipWithError("the simulator did not answer");
            break;
        }
    }
}

void pointRange(benchmark::internal::Benchmark* bench) {
    for (int points = 1024; points <= ostrel::kMaxPoints; points *= 2) {
        bench->Arg(points);
    }
}

}  // namespace

BENCHMARK(UnglomBaselineScaling)->Apply(pointRange)->Unit(benchmark::kMicrosecond);
BENCHMARK(UnglomScaling)->Apply(pointRange)->Unit(benchmark::kMicrosecond);
BENCHMARK(FileScaling)->Apply(pointRange)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(FileWithScanTime)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(OpenClose)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RawOpenClose)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
