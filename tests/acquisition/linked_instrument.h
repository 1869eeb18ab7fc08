// A simulator on loopback with the driver's two connections made by the link layer itself, so
// that the acquisition layer can be exercised without the exports: no open, no scan thread object
// in the driver state, no lifecycle lock. The simulator is the instrument; the sockets are real.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "diag/clocks.h"
#include "link/command_channel.h"
#include "link/wil.h"
#include "state/driver_state.h"
#include "state/errors.h"
#include "support/sim_fixture.h"

namespace ostrel::testing {

// One 32-bit word of a data block, most significant byte first.
inline int32_t blockWord(const std::vector<uint8_t>& block, size_t offset) {
    const uint32_t word = (uint32_t{block[offset]} << 24) | (uint32_t{block[offset + 1]} << 16) |
                          (uint32_t{block[offset + 2]} << 8) | uint32_t{block[offset + 3]};
    return static_cast<int32_t>(word);
}

// The low-gain sample of point k of half h (0 forward, 1 reverse) in a block of pts points.
inline int32_t lowSample(const std::vector<uint8_t>& block, int32_t pts, int32_t h, int32_t k) {
    return blockWord(block, 16 + (static_cast<size_t>(h) * pts + k) * 8 + 4);
}

class LinkedInstrument : public ::testing::Test {
  protected:
    void SetUp() override {
        resetState();
        simulator = startSimulator(instrumentConfig());
        ASSERT_NE(simulator, nullptr);
        ASSERT_GE(socketsAttach(), 0);
        attached = true;
        driverState.commandSocket.store(connectTo(simulator->commandPort()));
        driverState.dataSocket.store(connectTo(simulator->dataPort()));
        ASSERT_GE(driverState.commandSocket.load(), 0);
        ASSERT_GE(driverState.dataSocket.load(), 0);
        simulator->clearLogs();
    }

    void TearDown() override {
        for (std::atomic<int32_t>* field : {&driverState.commandSocket, &driverState.dataSocket}) {
            const int32_t socket = field->exchange(-1);
            if (socket >= 0) {
                socketClose(socket, 0);
            }
        }
        if (attached) {
            socketsRelease();
        }
        resetState();
    }

    // Sends a setting to the instrument and stores it in the driver state, as the settings do.
    void applySettings(int32_t points, int32_t scans, int32_t scanDir) {
        driverState.points.store(points);
        driverState.scans.store(scans);
        driverState.scanDir.store(scanDir);
        ASSERT_EQ(commandExchange(nullptr, "points %d\r\n", points), 0);
        ASSERT_EQ(commandExchange(nullptr, "numscans %d\r\n", scans), 0);
        ASSERT_EQ(commandExchange(nullptr, "scandir %d\r\n", scanDir), 0);
        simulator->clearLogs();
    }

    // Fast scans; "ready" 20 ms after the last progress line, so that the last line comes in a
    // reply of its own, as it does from a real instrument.
    static sim::Config instrumentConfig() {
        sim::Config config = fastConfig();
        config.readyDelayMs = 20.0;
        return config;
    }

    std::unique_ptr<sim::Simulator> simulator;

  private:
    static void resetState() {
        driverState._stopping.store(0);
        driverState._scanCompleteEvent.store(0);
        driverState.coaddCompleteEvent.store(0);
        driverState.filesCompleteEvent.store(0);
        driverState.errorHandle.store(0);
        driverState.scanProgress.store(0);
        driverState.filesComplete.store(0);
        driverState.filesRetrieved.store(0);
        driverState.calscanTime.store(0.0);
        driverState.lastError.store(0);
        driverState.status.store(Connected);
    }

    // A connected socket that has seen the instrument's greeting, or -1.
    static int32_t connectTo(uint16_t port) {
        uint32_t address = 0;
        if (!parseDottedAddress("127.0.0.1", &address)) {
            return -1;
        }
        const int32_t socket = tcpSocketOpen();
        if (socket < 0) {
            return -1;
        }
        if (socketConnect(socket, address, port) != 1 || socketWaitWritable(socket, 2000) != 1) {
            socketClose(socket, 0);
            return -1;
        }
        platform::LockGuard conversation(conversationLock());
        if (read_until(socket, "ready", kReadyTimeoutMs) == 0 ||
            std::strstr(driverState.replyText, "ready") == nullptr) {
            socketClose(socket, 0);
            return -1;
        }
        return socket;
    }

    bool attached = false;
};

}  // namespace ostrel::testing
