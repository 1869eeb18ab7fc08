// Cost of turning one data block into an interferogram, against the memory-bound floor: the same
// block copied and byte-swapped into doubles and nothing else. Both re-copy a pristine block in
// every iteration, because unglomData converts the block in place.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "diag/trace.h"
#include "platform/debug_output.h"
#include "processing/data_block.h"
#include "processing/synthetic_block.h"

namespace {

using namespace ostrel;

double swappedWords[kBlockBufferSize / 4];

std::vector<uint8_t> pristineBlock(int32_t pts, int32_t scanDir) {
    testing::ChannelModel model;
    model.scans = 16;
    const testing::SyntheticHalf forward = testing::makeHalf(pts, model);
    model.burstCentre = 0.52;
    const testing::SyntheticHalf reverse = testing::makeHalf(pts, model);
    if (scanDir == 3) {
        return testing::makeBlock(16, 16, {&forward, &reverse});
    }
    return testing::makeBlock(16, 16, {&forward});
}

// The floor: copy the block, then every word from network order into a double.
void BM_SwapToDoublesBaseline(benchmark::State& state) {
    const int32_t pts = static_cast<int32_t>(state.range(0));
    const int32_t scanDir = static_cast<int32_t>(state.range(1));
    const std::vector<uint8_t> pristine = pristineBlock(pts, scanDir);
    const size_t words = (pristine.size() - kBlockHeaderBytes) / 4;
    for (auto _ : state) {
        std::memcpy(blockBuffer, pristine.data(), pristine.size());
        for (size_t i = 0; i < words; ++i) {
            uint32_t word;
            std::memcpy(&word, blockBuffer + kBlockHeaderBytes + 4 * i, sizeof word);
            swappedWords[i] = static_cast<int32_t>(__builtin_bswap32(word));
        }
        benchmark::DoNotOptimize(swappedWords);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pristine.size()));
}

void BM_UnglomData(benchmark::State& state) {
    const int32_t pts = static_cast<int32_t>(state.range(0));
    const int32_t scanDir = static_cast<int32_t>(state.range(1));
    const std::vector<uint8_t> pristine = pristineBlock(pts, scanDir);
    int32_t outCount = 0;
    for (auto _ : state) {
        std::memcpy(blockBuffer, pristine.data(), pristine.size());
        unglomData(blockBuffer, &outCount, pts, scanDir, interferogram);
        benchmark::DoNotOptimize(interferogram);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pristine.size()));
}

// The same conversion with its trace records written to /dev/null instead of dropped.
void BM_UnglomDataTracedToFile(benchmark::State& state) {
    setenv("OSTRELTCP_TRACE", "/dev/null", 1);
    platform::debugOutputReconfigure();
    BM_UnglomData(state);
    unsetenv("OSTRELTCP_TRACE");
    platform::debugOutputReconfigure();
}

// One record of the kind unglomData writes about ten of, with the trace channel silent.
void BM_TraceRecordSilent(benchmark::State& state) {
    int32_t npts = 32768;
    for (auto _ : state) {
        benchmark::DoNotOptimize(trace("OstrelTCP CombineHighLow: npts= %d; scount= %d @%f", npts,
                                       16, 13380000000000.0));
    }
}

void sizes(benchmark::internal::Benchmark* bench) {
    bench->Args({kMaxPoints, 3})->Args({kMaxPoints / 2, 3})->Args({kMaxPoints, 1});
    bench->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_SwapToDoublesBaseline)->Apply(sizes);
BENCHMARK(BM_UnglomData)->Apply(sizes);
BENCHMARK(BM_UnglomDataTracedToFile)->Args({kMaxPoints, 3})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TraceRecordSilent);

}  // namespace

BENCHMARK_MAIN();
