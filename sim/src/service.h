// The simulator's private state and the parts of its service loop. One thread runs the loop
// (service_loop.cpp) and calls into the files that own each job: connections.cpp (accepting,
// reading, queued and trickled writes, dropping), conversation.cpp (command lines, their replies
// and the fault rules), scan_sequence.cpp (progress lines and "ready"), data_requests.cpp ("send"
// and the blocks it answers with) and reboot.cpp (the reboot datagram and the pause it causes).
// simulator.cpp is the public interface over this state.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "interferogram.h"
#include "ostrel_sim/simulator.h"
#include "output_queue.h"

namespace ostrel::sim {

using Clock = std::chrono::steady_clock;

// A time in milliseconds as a clock duration; a negative time counts as none.
inline Clock::duration milliseconds(double ms) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(std::max(ms, 0.0)));
}

inline std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

struct Connection {
    int fd = -1;
    uint64_t serial = 0;  // tells a new connection from an old one that had the same descriptor
    std::string input;
    OutputQueue output;
};

struct FaultRule {
    Phase phase;
    Fault fault;
    std::string prefix;
    int remaining;  // -1: until cleared
};

struct ScanRun {
    bool active = false;
    int next = 1;  // number of the next progress line; total + 1 means "ready" is due
    int total = 0;
    Clock::time_point due{};
};

struct PreparedBlock {
    Settings settings;
    uint64_t index = 0;
    Bytes bytes;
};

// The noise-free signal depends on the settings only; it is kept until they change.
struct CachedSignal {
    Settings settings;
    std::vector<double> values;
    bool valid = false;
};

struct Simulator::Impl {
    explicit Impl(Config initial) : config(std::move(initial)) {}

    // Everything below is guarded by `mutex`; the service thread holds it except while it polls.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    uint64_t changeCount = 0;

    Config config;
    Settings settings;
    std::vector<FaultRule> faults;
    std::vector<std::string> commandLog;
    std::vector<std::string> dataRequestLog;
    std::vector<std::string> datagramLog;
    Bytes lastBlock;
    PreparedBlock prepared;
    std::shared_ptr<const Interferogram> interferogram;  // made by the first start()
    CachedSignal signal;
    bool prebuildNext = false;
    int blocksSent = 0;
    int scansRun = 0;
    int progressLines = 0;
    int reboots = 0;
    int accepted = 0;
    uint64_t serials = 0;

    uint16_t ports[3] = {0, 0, 0};
    int commandListener = -1;
    int dataListener = -1;
    int rebootSocket = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    Connection command;
    Connection data;
    ScanRun scan;
    bool rebooting = false;
    Clock::time_point rebootEndsAt{};

    std::mutex lifecycle;  // serialises start() and stop()
    std::thread thread;
    std::atomic<bool> stopRequested{false};
    bool running = false;

    // Appends to a log, keeping at most config.logLimit entries.
    void log(std::vector<std::string>& entries, const std::string& entry);

    // The loop and its sockets (service_loop.cpp).
    bool openSockets(std::string* error);
    void closeSockets();
    void run();
    timespec pollTimeout(Clock::time_point now) const;
    void wake();

    // Connections (connections.cpp).
    void acceptOn(int listener, Connection& connection, Phase greetingPhase);
    void serviceClient(Connection& connection);
    void handleLine(Connection& connection, const std::string& line);
    void emit(Connection& connection, Bytes bytes, Fault fault);
    void flush(Connection& connection, Clock::time_point now);
    void drop(Connection& connection, bool reset);

    // The command conversation (conversation.cpp).
    void handleCommand(const std::string& line);
    Fault takeFault(Phase phase, std::string_view text);

    // The scan sequence (scan_sequence.cpp).
    void startScan(Clock::time_point now);
    void scanStep();
    Clock::duration scanInterval() const;

    // Data requests and blocks (data_requests.cpp).
    void handleDataRequest(const std::string& line);
    Bytes blockFor(uint64_t index);

    // The reboot datagram (reboot.cpp).
    void readDatagrams(Clock::time_point now);
    void startReboot(Clock::time_point now);
    void finishReboot(Clock::time_point now);
};

}  // namespace ostrel::sim
