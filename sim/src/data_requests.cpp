// The data connection's requests: "send" is answered with the next block, built from the cached
// noise-free signal for the current settings, and the block after it is prepared ahead.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "block.h"
#include "service.h"

namespace ostrel::sim {

// Requests other than "send" are the instrument's own business: logged, not answered.
void Simulator::Impl::handleDataRequest(const std::string& line) {
    log(dataRequestLog, line);
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

}  // namespace ostrel::sim
