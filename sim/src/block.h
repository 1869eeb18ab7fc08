// Building blocks in two steps, so that the simulator computes the noise-free signal once per
// settings and only adds fresh noise for each block.
#pragma once

#include <cstdint>
#include <vector>

#include "interferogram.h"
#include "ostrel_sim/simulator.h"

namespace ostrel::sim {

// The per-scan signal at each point of the forward half, in low-gain units: the points of
// `interferogram` (made from `config`) that this scan's skip and length cover.
std::vector<double> makeSignal(const Interferogram& interferogram, const Config& config,
                               const Settings& settings);
// The block for `signal` (from makeSignal with the same settings) and block number `blockIndex`.
std::vector<uint8_t> makeBlockFromSignal(const Config& config, const Settings& settings,
                                         const std::vector<double>& signal, uint64_t blockIndex);

}  // namespace ostrel::sim
