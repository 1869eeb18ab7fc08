// The simulator's service loop: one thread polls the listeners, the reboot socket, the two client
// connections and a wake pipe, and runs the scan sequence, the reboot pause and trickled sends as
// deadlines of that poll. Every socket is non-blocking, so a stalled client never holds the loop
// and stop() is served within one poll.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>

#include "service.h"
#include "sockets.h"

namespace ostrel::sim {
namespace {

constexpr auto kIdlePoll = std::chrono::milliseconds(100);

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

timespec Simulator::Impl::pollTimeout(Clock::time_point now) const {
    Clock::time_point next = now + kIdlePoll;
    if (rebooting)
        next = std::min(next, rebootEndsAt);
    if (scan.active)
        next = std::min(next, scan.due);
    for (const Connection* connection : {&command, &data}) {
        if (auto chunkAt = connection->output.nextChunkAt())
            next = std::min(next, *chunkAt);
    }
    // Rounded up, so the loop never wakes just before a deadline and polls again with 0; to the
    // microsecond, so that scans of a fraction of a millisecond keep their pace (a wait in whole
    // milliseconds made the file rate a step function of the scan time).
    const auto wait = std::max(std::chrono::ceil<std::chrono::microseconds>(next - now),
                               std::chrono::microseconds(0));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(seconds.count());
    timeout.tv_nsec = static_cast<long>((wait - seconds).count() * 1000);
    return timeout;
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
        const timespec timeout = pollTimeout(Clock::now());

        lock.unlock();
        ::ppoll(slots.data(), slots.size(), &timeout, nullptr);
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

void Simulator::Impl::log(std::vector<std::string>& entries, const std::string& entry) {
    if (config.logLimit == 0) {
        return;
    }
    if (entries.size() >= config.logLimit) {
        // Half the log goes at once, so that trimming costs nothing per entry on average.
        entries.erase(
            entries.begin(),
            entries.begin() + static_cast<std::ptrdiff_t>(std::max<size_t>(1, entries.size() / 2)));
    }
    entries.push_back(entry);
}

}  // namespace ostrel::sim
