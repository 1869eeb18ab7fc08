// Feeds arbitrary bytes to unglomData. The first eight bytes give pts and the scan direction (two
// big-endian 32-bit words, any value), the rest is the block. A call the driver must refuse has to
// leave everything untouched; an acceptable call gets a block and an output array of exactly the
// size the caller's contract requires, so that any access past them is caught.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "processing/data_block.h"

namespace {

int32_t wordAt(const uint8_t* bytes) {
    return static_cast<int32_t>((uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                                (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]});
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void refusedCall(const uint8_t* block, size_t size, int32_t pts, int32_t scanDir) {
    std::vector<uint8_t> copy(block, block + size);
    double out[4] = {-1.0, -1.0, -1.0, -1.0};
    int32_t outCount = -1;
    ostrel::platform::LockGuard storage(ostrel::workStorageLock());
    check(!ostrel::unglomData(copy.data(), &outCount, pts, scanDir, out));
    check(outCount == 0);  // a refusal reports no values
    check(std::equal(copy.begin(), copy.end(), block));
    for (double value : out) {
        check(value == -1.0);
    }
}

void acceptedCall(const uint8_t* block, size_t size, int32_t pts, int32_t scanDir) {
    const size_t length = static_cast<size_t>(ostrel::blockLength(pts, scanDir));
    std::vector<uint8_t> copy(block, block + size);
    const int32_t expectedCount = scanDir == 3 ? 2 * pts : pts;
    std::vector<double> out(static_cast<size_t>(expectedCount));
    int32_t outCount = -1;
    ostrel::platform::LockGuard storage(ostrel::workStorageLock());
    check(ostrel::unglomData(copy.data(), &outCount, pts, scanDir, out.data()));
    check(outCount == expectedCount);
    // Blends of 32-bit samples divided by a count: always finite.
    for (double value : out) {
        check(std::isfinite(value));
    }
    // The header stays; every sample word now reads in host order; bytes past the block stay.
    check(std::equal(copy.begin(), copy.begin() + ostrel::kBlockHeaderBytes, block));
    for (size_t offset = ostrel::kBlockHeaderBytes; offset < length; offset += 4) {
        int32_t word;
        std::memcpy(&word, copy.data() + offset, sizeof word);
        check(word == wordAt(block + offset));
    }
    check(std::equal(copy.begin() + length, copy.end(), block + length));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) {
        return 0;
    }
    const int32_t pts = wordAt(data);
    const int32_t scanDir = wordAt(data + 4);
    const uint8_t* block = data + 8;
    const size_t blockSize = size - 8;
    const bool acceptable = pts >= 1 && pts <= ostrel::kMaxPoints && scanDir >= 1 && scanDir <= 3;
    if (!acceptable) {
        refusedCall(block, blockSize, pts, scanDir);
    } else if (static_cast<size_t>(ostrel::blockLength(pts, scanDir)) <= blockSize) {
        acceptedCall(block, blockSize, pts, scanDir);
    }
    return 0;
}
