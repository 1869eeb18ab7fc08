// The settings exports and the valve, fibre and auxiliary-output commands: each sends its text
// command on the command connection and waits for the instrument's "OK".
#include "api/settings.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "api/lifecycle.h"
#include "diag/trace.h"
#include "link/command_channel.h"
#include "link/wil.h"
#include "ostreltcp.h"
#include "state/driver_state.h"
#include "state/errors.h"

using ostrel::driverState;

namespace {

constexpr int kFiberInputs = 16;

struct SettingCommand {
    const char* traceFormat;
    std::atomic<int32_t>& field;
    uint32_t staleBit;
    const char* commandFormat;
};

SettingCommand commandFor(ostrel::InstrumentSetting setting) {
    switch (setting) {
        case ostrel::InstrumentSetting::Gain:
            return {"OstrelTCP setGain %d", driverState.gain, ostrel::StaleGain, "gain %d\r\n"};
        case ostrel::InstrumentSetting::Points:
            return {"OstrelTCP setPoints %d", driverState.points, ostrel::StalePoints,
                    "points %d\r\n"};
        case ostrel::InstrumentSetting::Scans:
            return {"OstrelTCP setScans %d", driverState.scans, ostrel::StaleScans,
                    "numscans %d\r\n"};
        case ostrel::InstrumentSetting::ScanDirection:
            return {"OstrelTCP setScanDirection %d", driverState.scanDir, ostrel::StaleScanDir,
                    "scandir %d\r\n"};
        case ostrel::InstrumentSetting::SkipPoints:
            break;
    }
    return {"OstrelTCP setSkipPoints %d", driverState.skipPoints, 0, "skip %d\r\n"};
}

int32_t lockedSetting(ostrel::InstrumentSetting setting, int32_t value) {
    ostrel::platform::LockGuard guard(ostrel::settingsLock());
    return ostrel::applySetting(setting, value);
}

// The auxiliary output that a mask selects: the lowest set bit decides, except that the two
// masks 0x40 and 0x80 alone select outputs 58 and 57.
int auxOutputNumber(uint16_t mask) {
    if (mask == 0x40) {
        return 58;
    }
    if (mask == 0x80) {
        return 57;
    }
    for (int bit = 0; bit < 16; ++bit) {
        if ((mask & (1u << bit)) != 0) {
            return 49 + bit;
        }
    }
    return 49;
}

}  // namespace

namespace ostrel {

// Stores the value first, so that it stays whatever the instrument answers, then sends it.
int32_t applySetting(InstrumentSetting setting, int32_t value) {
    const SettingCommand command = commandFor(setting);
    trace(command.traceFormat, value);
    command.field.store(value);
    driverState.staleSettings.fetch_and(~command.staleBit);
    return commandExchange(nullptr, command.commandFormat, value);
}

}  // namespace ostrel

int32_t OSTRELTCP_CALL spectrometer_setGain(int32_t gain) {
    return lockedSetting(ostrel::InstrumentSetting::Gain, gain);
}

int32_t OSTRELTCP_CALL spectrometer_setPoints(int32_t points) {
    return lockedSetting(ostrel::InstrumentSetting::Points, points);
}

int32_t OSTRELTCP_CALL spectrometer_setScans(int32_t scans) {
    return lockedSetting(ostrel::InstrumentSetting::Scans, scans);
}

int32_t OSTRELTCP_CALL spectrometer_setScanDirection(int32_t direction) {
    return lockedSetting(ostrel::InstrumentSetting::ScanDirection, direction);
}

int32_t OSTRELTCP_CALL spectrometer_setSkipPoints(int32_t points) {
    return lockedSetting(ostrel::InstrumentSetting::SkipPoints, points);
}

int32_t OSTRELTCP_CALL spectrometer_initialize(void) {
    return ostrel::commandExchange(nullptr, "init\r\n");
}

int32_t OSTRELTCP_CALL spectrometer_version(void) {
    ostrel::platform::LockGuard conversation(ostrel::conversationLock());
    ostrel::sendTracedCommand(nullptr, "version\r\n");
    ostrel::read_until(driverState.commandSocket.load(), "OK", ostrel::kVersionTimeoutMs);
    if (std::strstr(driverState.replyText, "OK") == nullptr) {
        return 0;
    }
    int version = 0;
    return std::sscanf(driverState.replyText, "%d", &version) == 1 ? version : 0;
}

int32_t OSTRELTCP_CALL spectrometer_safeValves(int32_t first, const int32_t* values) {
    if (values == nullptr) {
        return ostrel::setLastError(ostrel::ErrNullArgument);
    }
    return ostrel::commandExchange("OstrelTCP spectrometer_safeValves %s",
                                   "savesafe %d %d %d %d\r\n", first, values[0], values[1],
                                   values[2]);
}

int32_t OSTRELTCP_CALL spectrometer_writeFiber(const int32_t* values) {
    if (values == nullptr) {
        return ostrel::setLastError(ostrel::ErrNullArgument);
    }
    return ostrel::commandExchange("OstrelTCP spectrometer_writeFiber %s", "valves %d %d %d\r\n",
                                   values[0], values[1], values[2]);
}

// Inputs 2k+1 and 2k+2 share word k: the odd input in bits 0-11, the even one in bits 16-27.
// A reply that does not begin with a number packs 0.
int32_t OSTRELTCP_CALL spectrometer_readFiber(const uint16_t* requests, uint32_t* results) {
    if (requests == nullptr || results == nullptr) {
        return ostrel::setLastError(ostrel::ErrNullArgument);
    }
    std::memset(results, 0, kFiberInputs * sizeof(uint32_t));
    for (int input = 0; input < kFiberInputs; ++input) {
        if (requests[input] == 0) {
            continue;
        }
        ostrel::platform::LockGuard conversation(ostrel::conversationLock());
        ostrel::sendTracedCommand("OstrelTCP spectrometer_readFiber: sending %s", "input %d\r\n",
                                  input + 1);
        const int32_t result = ostrel::waitForOK();
        if (result != 0) {
            return result;
        }
        ostrel::trace("OstrelTCP: spectrometer_readFiber %s", driverState.replyText);
        unsigned value = 0;
        if (std::sscanf(driverState.replyText, "%u\r\n", &value) != 1) {
            value = 0;
        }
        results[input / 2] |= (value & 0xFFFu) << ((input % 2) != 0 ? 16 : 0);
    }
    return 0;
}

// While a co-add runs the scan thread reads the command connection, so the reply is left to it.
int32_t OSTRELTCP_CALL spectrometer_writeAux(uint32_t state, uint32_t mask) {
    const uint16_t state16 = static_cast<uint16_t>(state);
    const uint16_t mask16 = static_cast<uint16_t>(mask);
    ostrel::trace("OstrelTCP: spectrometer_writeAux 0x%X 0x%X", state16, mask16);
    if (driverState.commandSocket.load() == -1) {
        return ostrel::setLastError(ostrel::ErrConnect);
    }
    const int output = auxOutputNumber(mask16);
    const int value = state16 == 0 ? 1 : 0;
    bool running = false;
    {
        ostrel::platform::LockGuard guard(ostrel::lifecycleLock());
        running = ostrel::runInProgress();
    }
    if (running) {
        ostrel::sendTracedCommand("OstrelTCP: sending %s", "valve %d %d\r\n", output, value);
        return 0;
    }
    return ostrel::commandExchange("OstrelTCP: sending %s", "valve %d %d\r\n", output, value);
}
