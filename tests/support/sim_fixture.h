// A simulator on free loopback ports with the driver's port variables pointing at it, for tests
// that drive the in-process driver (white-box) or the loaded library against a real instrument.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "ostrel_sim/simulator.h"

namespace ostrel::testing {

// Fast instrument timing: a scan of 16384 points takes 2 ms, a reboot keeps it away 300 ms.
inline sim::Config fastConfig() {
    sim::Config config;
    config.scanMsAt16k = 2.0;
    config.readyDelayMs = 1.0;
    config.rebootDownMs = 300.0;
    return config;
}

// Starts a simulator and points OSTRELTCP_COMMAND_PORT, _DATA_PORT and _REBOOT_PORT at it.
inline std::unique_ptr<sim::Simulator> startSimulator(const sim::Config& config = fastConfig()) {
    auto simulator = std::make_unique<sim::Simulator>(config);
    std::string error;
    if (!simulator->start(&error)) {
        ADD_FAILURE() << "simulator did not start: " << error;
        return nullptr;
    }
    setenv("OSTRELTCP_COMMAND_PORT", std::to_string(simulator->commandPort()).c_str(), 1);
    setenv("OSTRELTCP_DATA_PORT", std::to_string(simulator->dataPort()).c_str(), 1);
    setenv("OSTRELTCP_REBOOT_PORT", std::to_string(simulator->rebootPort()).c_str(), 1);
    return simulator;
}

// Milliseconds since construction.
class Stopwatch {
  public:
    double elapsedMs() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
            .count();
    }
    void restart() { start_ = std::chrono::steady_clock::now(); }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace ostrel::testing
