// The simulator's service loop: one thread polls the listeners, the reboot socket, the two client
// connections and a wake pipe, and runs the scan sequence, the reboot pause and trickled sends as
// deadlines of that poll. Every socket is non-blocking, so a stalled client never holds the loop
// and stop() is served within one poll.
#include "ostrel_sim/simulator.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "block.h"
#include "commands.h"
#include "interferogram.h"
#include "output_queue.h"
#include "sockets.h"

namespace ostrel::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kIdlePoll = std::chrono::milliseconds(100);
constexpr auto kRebindRetry = std::chrono::milliseconds(50);
constexpr auto kWaitForRecheck = std::chrono::milliseconds(10);
// A client that sends this much without a line feed gets its bytes handled as one line, so a
// runaway sender cannot grow the input buffer without bound.
constexpr size_t kMaxLineBytes = 65536;
constexpr size_t kReceiveChunk = 8192;

Clock::duration milliseconds(double ms) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(std::max(ms, 0.0)));
}

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

// The reboot datagram is exactly "REBOOT"; a trailing line end is forgiven so that
// `echo REBOOT | nc -u` works too.
bool isRebootDatagram(std::string_view payload) {
    return withoutLineEnd(payload) == "REBOOT";
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

enum PollSlot {
    kWake,
    kReboot,
    kCommandListener,
    kDataListener,
    kCommandClient,
    kDataClient,
    kSlotCount
};

}  // namespace

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

    bool openSockets(std::string* error);
    void closeSockets();
    void run();
    int pollTimeoutMs(Clock::time_point now) const;
    void wake();

    Fault takeFault(Phase phase, std::string_view text);
    void emit(Connection& connection, Bytes bytes, Fault fault);
    void flush(Connection& connection, Clock::time_point now);
    void drop(Connection& connection, bool reset);

    void acceptOn(int listener, Connection& connection, Phase greetingPhase);
    void serviceClient(Connection& connection);
    void handleLine(Connection& connection, const std::string& line);
    void handleCommand(const std::string& line);
    void handleDataRequest(const std::string& line);
    void readDatagrams(Clock::time_point now);

    void startScan(Clock::time_point now);
    void scanStep();
    Clock::duration scanInterval() const;
    Bytes blockFor(uint64_t index);

    void startReboot(Clock::time_point now);
    void finishReboot(Clock::time_point now);
};

bool Simulator::Impl::openSockets(std::string* error) {
    uint16_t requested[3] = {config.commandPort, config.dataPort, config.rebootPort};
    for (int i = 0; i < 3; ++i) {
        if (ports[i] == 0)
            ports[i] = requested[i];
    }
    bool ok = openWakePipe(&wakeRead, &wakeWrite, error) &&
              (commandListener = openTcpListener(config.address, &ports[0], error)) >= 0 &&
              (dataListener = openTcpListener(config.address, &ports[1], error)) >= 0 &&
              (rebootSocket = openUdpSocket(config.address, &ports[2], error)) >= 0;
    if (!ok)
        closeSockets();
    return ok;
}

void Simulator::Impl::closeSockets() {
    drop(command, false);
    drop(data, false);
    for (int* fd : {&commandListener, &dataListener, &rebootSocket, &wakeRead, &wakeWrite}) {
        closeSocket(fd);
    }
}

void Simulator::Impl::wake() {
    if (wakeWrite < 0)
        return;
    char byte = 1;
    // A full pipe already holds a pending wake-up, so a failed write loses nothing.
    [[maybe_unused]] ssize_t written = ::write(wakeWrite, &byte, 1);
}

int Simulator::Impl::pollTimeoutMs(Clock::time_point now) const {
    Clock::time_point next = now + kIdlePoll;
    if (rebooting)
        next = std::min(next, rebootEndsAt);
    if (scan.active)
        next = std::min(next, scan.due);
    for (const Connection* connection : {&command, &data}) {
        if (auto chunkAt = connection->output.nextChunkAt())
            next = std::min(next, *chunkAt);
    }
    // Rounded up, so the loop never wakes just before a deadline and polls again with 0.
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::max<decltype(wait)>(wait, 0));
}

void Simulator::Impl::run() {
    std::unique_lock lock(mutex);
    while (!stopRequested.load()) {
        std::array<pollfd, kSlotCount> slots{};
        auto set = [&](PollSlot slot, int fd, short events) { slots[slot] = {fd, events, 0}; };
        set(kWake, wakeRead, POLLIN);
        set(kReboot, rebootSocket, POLLIN);
        set(kCommandListener, commandListener, POLLIN);
        set(kDataListener, dataListener, POLLIN);
        auto events = [](const Connection& c) {
            return static_cast<short>(POLLIN | (c.output.wantsToWrite() ? POLLOUT : 0));
        };
        set(kCommandClient, command.fd, events(command));
        set(kDataClient, data.fd, events(data));
        uint64_t commandSerial = command.serial;
        uint64_t dataSerial = data.serial;
        int timeoutMs = pollTimeoutMs(Clock::now());

        lock.unlock();
        ::poll(slots.data(), slots.size(), timeoutMs);
        lock.lock();
        if (stopRequested.load())
            break;

        Clock::time_point now = Clock::now();
        if (slots[kWake].revents) {
            char drain[64];
            while (::read(wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (slots[kReboot].revents)
            readDatagrams(now);
        if (slots[kCommandListener].revents && slots[kCommandListener].fd == commandListener) {
            acceptOn(commandListener, command, Phase::CommandGreeting);
        }
        if (slots[kDataListener].revents && slots[kDataListener].fd == dataListener) {
            acceptOn(dataListener, data, Phase::DataGreeting);
        }
        if (slots[kCommandClient].revents && command.serial == commandSerial) {
            serviceClient(command);
        }
        if (slots[kDataClient].revents && data.serial == dataSerial)
            serviceClient(data);

        now = Clock::now();
        if (rebooting && now >= rebootEndsAt)
            finishReboot(now);
        while (scan.active && now >= scan.due) scanStep();
        flush(command, now);
        flush(data, now);
        // Once a block is wholly with the kernel, the next one is built while the host reads,
        // so that back-to-back requests are answered at once.
        if (prebuildNext && data.output.empty()) {
            prebuildNext = false;
            blockFor(static_cast<uint64_t>(blocksSent));
        }
        ++changeCount;
        changed.notify_all();
    }
}

Fault Simulator::Impl::takeFault(Phase phase, std::string_view text) {
    for (auto rule = faults.begin(); rule != faults.end(); ++rule) {
        if (rule->phase != phase || !text.starts_with(rule->prefix))
            continue;
        Fault fault = rule->fault;
        if (rule->remaining > 0 && --rule->remaining == 0)
            faults.erase(rule);
        return fault;
    }
    return Fault::None;
}

void Simulator::Impl::emit(Connection& connection, Bytes bytes, Fault fault) {
    if (connection.fd < 0)
        return;
    if (connection.output.push(std::move(bytes), fault, Clock::now()) ==
        OutputQueue::Action::Reset) {
        drop(connection, true);
    }
}

void Simulator::Impl::flush(Connection& connection, Clock::time_point now) {
    if (connection.fd < 0)
        return;
    OutputQueue::Pace pace{config.trickleBytes, milliseconds(config.trickleIntervalMs)};
    OutputQueue::Action action = connection.output.flush(connection.fd, now, pace);
    if (action != OutputQueue::Action::Keep)
        drop(connection, action == OutputQueue::Action::Reset);
}

void Simulator::Impl::drop(Connection& connection, bool reset) {
    closeSocket(&connection.fd, reset);
    connection.input.clear();
    connection.output.reset();
    if (&connection == &command)
        scan.active = false;
}

// The instrument serves one client per connection: a new client replaces the old one, which is
// what a host reconnecting after a lost connection needs.
void Simulator::Impl::acceptOn(int listener, Connection& connection, Phase greetingPhase) {
    for (;;) {
        int fd = acceptClient(listener);
        if (fd < 0)
            return;
        drop(connection, false);
        connection.fd = fd;
        connection.serial = ++serials;
        ++accepted;
        Fault fault = takeFault(greetingPhase, "");
        if (fault == Fault::Silence) {
            connection.output.mute();
        } else {
            emit(connection, textBytes("ready\r\n"), fault);
        }
    }
}

void Simulator::Impl::serviceClient(Connection& connection) {
    char buffer[kReceiveChunk];
    bool closed = false;
    while (connection.fd >= 0) {
        ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            closed = true;
            break;
        }
        connection.input.append(buffer, static_cast<size_t>(n));
        // Commands may arrive split over segments or several to a segment: split on "\n".
        while (connection.fd >= 0) {
            size_t lineFeed = connection.input.find('\n');
            if (lineFeed == std::string::npos && connection.input.size() < kMaxLineBytes)
                break;
            size_t length = lineFeed == std::string::npos ? connection.input.size() : lineFeed + 1;
            std::string line = connection.input.substr(0, length);
            connection.input.erase(0, length);
            handleLine(connection, line);
        }
    }
    if (closed)
        drop(connection, false);
}

void Simulator::Impl::handleLine(Connection& connection, const std::string& line) {
    if (&connection == &command) {
        handleCommand(line);
    } else {
        handleDataRequest(line);
    }
}

void Simulator::Impl::handleCommand(const std::string& line) {
    commandLog.push_back(line);
    std::string_view text = withoutLineEnd(line);
    CommandResult result = answerCommand(text, config, settings);
    if (result.startsScan) {
        startScan(Clock::now());
        return;
    }
    emit(command, textBytes(result.reply), takeFault(Phase::Command, text));
}

// Requests other than "send" are the instrument's own business: logged, not answered.
void Simulator::Impl::handleDataRequest(const std::string& line) {
    dataRequestLog.push_back(line);
    std::string_view text = withoutLineEnd(line);
    if (text != "send")
        return;
    Fault fault = takeFault(Phase::DataTransfer, text);
    lastBlock = blockFor(static_cast<uint64_t>(blocksSent));
    ++blocksSent;
    prebuildNext = true;
    emit(data, lastBlock, fault);
}

Bytes Simulator::Impl::blockFor(uint64_t index) {
    if (prepared.bytes && prepared.index == index && prepared.settings == settings) {
        return prepared.bytes;
    }
    if (!signal.valid || !(signal.settings == settings)) {
        signal = {settings, makeSignal(*interferogram, config, settings), true};
    }
    prepared = {settings, index,
                std::make_shared<const std::vector<uint8_t>>(
                    makeBlockFromSignal(config, settings, signal.values, index))};
    return prepared.bytes;
}

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

void Simulator::Impl::readDatagrams(Clock::time_point now) {
    char buffer[2048];
    for (;;) {
        ssize_t n = ::recv(rebootSocket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return;
        std::string payload(buffer, static_cast<size_t>(n));
        datagramLog.push_back(payload);
        if (isRebootDatagram(payload))
            startReboot(now);
    }
}

// A rebooting instrument vanishes: its connections are reset, its ports refuse connections,
// and it comes back with its power-on settings.
void Simulator::Impl::startReboot(Clock::time_point now) {
    ++reboots;
    drop(command, true);
    drop(data, true);
    closeSocket(&commandListener);
    closeSocket(&dataListener);
    settings = config.initialSettings;
    rebooting = true;
    rebootEndsAt = now + milliseconds(config.rebootDownMs);
}

void Simulator::Impl::finishReboot(Clock::time_point now) {
    std::string error;
    if (commandListener < 0)
        commandListener = openTcpListener(config.address, &ports[0], &error);
    if (dataListener < 0)
        dataListener = openTcpListener(config.address, &ports[1], &error);
    rebooting = commandListener < 0 || dataListener < 0;
    // A port still held elsewhere is tried again shortly rather than given up.
    if (rebooting)
        rebootEndsAt = now + kRebindRetry;
}

Simulator::Simulator(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Simulator::~Simulator() {
    stop();
}

bool Simulator::start(std::string* error) {
    std::lock_guard life(impl_->lifecycle);
    if (impl_->running) {
        if (error)
            *error = "the simulator is already running";
        return false;
    }
    std::lock_guard lock(impl_->mutex);
    // The spectrum's transform is the costly part of the signal and depends on the configuration
    // alone, so it is made once; a bad spectrum file or setting fails here, not at the first block.
    if (!impl_->interferogram) {
        std::string reason;
        impl_->interferogram = Interferogram::make(impl_->config, &reason);
        if (!impl_->interferogram) {
            if (error)
                *error = reason;
            return false;
        }
    }
    if (!impl_->openSockets(error))
        return false;
    impl_->settings = impl_->config.initialSettings;
    impl_->scan = {};
    impl_->rebooting = false;
    impl_->stopRequested = false;
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
    impl_->running = true;
    return true;
}

void Simulator::stop() {
    std::lock_guard life(impl_->lifecycle);
    if (!impl_->running)
        return;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopRequested = true;
        impl_->wake();
    }
    impl_->thread.join();
    std::lock_guard lock(impl_->mutex);
    impl_->closeSockets();
    impl_->scan = {};
    impl_->rebooting = false;
    impl_->running = false;
    ++impl_->changeCount;
    impl_->changed.notify_all();
}

uint16_t Simulator::commandPort() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->ports[0];
}

uint16_t Simulator::dataPort() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->ports[1];
}

uint16_t Simulator::rebootPort() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->ports[2];
}

void Simulator::setFault(Phase phase, Fault fault, std::string commandPrefix, int count) {
    std::lock_guard lock(impl_->mutex);
    auto& faults = impl_->faults;
    std::erase_if(faults, [&](const FaultRule& rule) {
        return rule.phase == phase && rule.prefix == commandPrefix;
    });
    if (fault != Fault::None && count != 0) {
        faults.push_back({phase, fault, std::move(commandPrefix), count < 0 ? -1 : count});
    }
}

void Simulator::clearFaults() {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.clear();
    for (Connection* connection : {&impl_->command, &impl_->data}) {
        connection->output.releaseStalls();
    }
    impl_->wake();
}

std::vector<std::string> Simulator::commandLog() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->commandLog;
}

std::vector<std::string> Simulator::dataRequestLog() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->dataRequestLog;
}

std::vector<std::string> Simulator::datagramLog() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->datagramLog;
}

void Simulator::clearLogs() {
    std::lock_guard lock(impl_->mutex);
    impl_->commandLog.clear();
    impl_->dataRequestLog.clear();
    impl_->datagramLog.clear();
}

std::vector<uint8_t> Simulator::lastBlock() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lastBlock ? *impl_->lastBlock : std::vector<uint8_t>();
}

int Simulator::blocksSent() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->blocksSent;
}

int Simulator::scansRun() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->scansRun;
}

int Simulator::progressLinesSent() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->progressLines;
}

int Simulator::rebootCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->reboots;
}

int Simulator::connectionsAccepted() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->accepted;
}

int Simulator::connectedClients() const {
    std::lock_guard lock(impl_->mutex);
    return (impl_->command.fd >= 0 ? 1 : 0) + (impl_->data.fd >= 0 ? 1 : 0);
}

bool Simulator::rebooting() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->rebooting;
}

Simulator::Settings Simulator::settings() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->settings;
}

bool Simulator::waitFor(std::function<bool()> predicate, int timeoutMs) const {
    auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard lock(impl_->mutex);
            seen = impl_->changeCount;
        }
        // Called without the lock: the predicate uses the accessors, which take it.
        if (predicate())
            return true;
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            return false;
        std::unique_lock lock(impl_->mutex);
        impl_->changed.wait_until(lock, std::min(deadline, now + kWaitForRecheck),
                                  [&] { return impl_->changeCount != seen; });
    }
}

void Simulator::setScanMsAt16k(double ms) {
    std::lock_guard lock(impl_->mutex);
    impl_->config.scanMsAt16k = ms;
}

void Simulator::setTrickle(int bytes, double intervalMs) {
    std::lock_guard lock(impl_->mutex);
    impl_->config.trickleBytes = std::max(bytes, 1);
    impl_->config.trickleIntervalMs = intervalMs;
    impl_->wake();
}

void Simulator::setFibreReading(int input, uint32_t value) {
    std::lock_guard lock(impl_->mutex);
    if (input >= 1 && input <= 16)
        impl_->config.fibreReadings[input - 1] = value;
}

}  // namespace ostrel::sim
