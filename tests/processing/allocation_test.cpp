// Counts every heap allocation of the program by replacing the global allocation functions, and
// checks that converting a block allocates nothing once the first call has set up the trace sink.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "processing/data_block.h"
#include "processing/synthetic_block.h"
#include "support/trace_capture.h"

namespace {

std::atomic<long> allocations{0};

void* countedAllocation(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

}  // namespace

// The other forms of new and delete default to these.
void* operator new(std::size_t size) {
    return countedAllocation(size);
}
void* operator new[](std::size_t size) {
    return countedAllocation(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace ostrel {
namespace {

class UnglomAllocation : public ::testing::TestWithParam<int32_t> {
  protected:
    void SetUp() override {
        testing::ChannelModel model;
        model.scans = 8;
        forward = testing::makeHalf(kMaxPoints, model);
        model.burstCentre = 0.55;
        reverse = testing::makeHalf(kMaxPoints, model);
        pristine = testing::makeBlock(8, 8, {&forward, &reverse});
    }

    long allocationsOfOneCall(int32_t scanDir) {
        std::memcpy(blockBuffer, pristine.data(), pristine.size());
        int32_t outCount = 0;
        const long before = allocations.load();
        unglomData(blockBuffer, &outCount, kMaxPoints, scanDir, interferogram);
        return allocations.load() - before;
    }

    testing::SyntheticHalf forward;
    testing::SyntheticHalf reverse;
    std::vector<uint8_t> pristine;
};

TEST_P(UnglomAllocation, FullBlockAllocatesNothingWithTracesSilent) {
    allocationsOfOneCall(GetParam());
    EXPECT_EQ(allocationsOfOneCall(GetParam()), 0);
}

TEST_P(UnglomAllocation, FullBlockAllocatesNothingWithTracesToAFile) {
    testing::TraceFile capture;
    allocationsOfOneCall(GetParam());
    EXPECT_EQ(allocationsOfOneCall(GetParam()), 0);
}

INSTANTIATE_TEST_SUITE_P(EachScanDirection, UnglomAllocation, ::testing::Values(1, 2, 3));

}  // namespace
}  // namespace ostrel
