// The simulator's public interface: starting and stopping the service thread, fault switches,
// logs and counters, each taken under the lock of the state that the service loop keeps.
#include "ostrel_sim/simulator.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "interferogram.h"
#include "service.h"

namespace ostrel::sim {
namespace {

constexpr auto kWaitForRecheck = std::chrono::milliseconds(10);

}  // namespace

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

bool Simulator::setAbsorbers(std::vector<Absorber> absorbers, std::string* error) {
    Config changed;
    {
        std::lock_guard lock(impl_->mutex);
        changed = impl_->config;
    }
    changed.absorbers = std::move(absorbers);
    // Made outside the lock: the transform takes a while and the service loop must not wait.
    std::shared_ptr<const Interferogram> made = Interferogram::make(changed, error);
    if (!made) {
        return false;
    }
    std::lock_guard lock(impl_->mutex);
    impl_->config.absorbers = std::move(changed.absorbers);
    impl_->interferogram = std::move(made);
    impl_->signal.valid = false;
    impl_->prepared = {};
    return true;
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
