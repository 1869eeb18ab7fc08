#include "processing/data_block.h"

#include <cstdint>
#include <cstring>

#include "diag/clocks.h"
#include "diag/trace.h"
#include "ostreltcp.h"
#include "platform/byte_order.h"
#include "processing/high_low.h"

namespace ostrel {

static_assert(kMaxPoints == OSTRELTCP_MAX_POINTS);

// Aligned for the word access of readData and the tests; unglomData itself copes with any
// alignment because a host may hand it a block of its own.
alignas(8) uint8_t blockBuffer[kBlockBufferSize];
int32_t highChannel[2 * kMaxPoints];
int32_t lowChannel[2 * kMaxPoints];
double interferogram[2 * kMaxPoints];

namespace {

constexpr int32_t kForward = 1;
constexpr int32_t kReverse = 2;

uint32_t loadWord(const uint8_t* bytes) {
    uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Converts one half's point records in place and deals their words out to the two channels in
// the same pass: the even word of a record is the high-gain sample, the odd word the low-gain.
void splitHalf(uint8_t* half, int32_t pts) OSTREL_REQUIRES(workStorageLock()) {
    for (int32_t k = 0; k < pts; ++k) {
        uint8_t* record = half + static_cast<size_t>(k) * kBytesPerPoint;
        const uint32_t high = platform::networkOrder32(loadWord(record));
        const uint32_t low = platform::networkOrder32(loadWord(record + 4));
        std::memcpy(record, &high, sizeof high);
        std::memcpy(record + 4, &low, sizeof low);
        highChannel[k] = static_cast<int32_t>(high);
        lowChannel[k] = static_cast<int32_t>(low);
    }
}

void convertHalf(uint8_t* half, int32_t pts, int32_t scount, double* destination)
    OSTREL_REQUIRES(workStorageLock()) {
    splitHalf(half, pts);
    // A count of 0 or less would divide by zero or flip the sign; the sums are kept as they are.
    const double factor = scount > 0 ? 1.0 / scount : 1.0;
    combineHighLowScaledBy(highChannel, lowChannel, destination, pts, scount, 1, factor);
}

// A refused call must leave the block and the output untouched, so all checks come before any
// write.
bool acceptable(const void* block, const int32_t* outCount, int32_t pts, int32_t scanDir,
                const double* out) {
    if (block == nullptr || outCount == nullptr || out == nullptr) {
        trace("OstrelTCP unglomData: refused, null pointer (block %s, outCount %s, out %s)",
              block == nullptr ? "null" : "set", outCount == nullptr ? "null" : "set",
              out == nullptr ? "null" : "set");
        return false;
    }
    if (pts < 1 || pts > kMaxPoints) {
        trace("OstrelTCP unglomData: refused, pts= %d outside 1..%d", pts, kMaxPoints);
        return false;
    }
    if (scanDir < 1 || scanDir > 3) {
        trace("OstrelTCP unglomData: refused, scanDir= %d is not 1, 2 or 3", scanDir);
        return false;
    }
    return true;
}

}  // namespace

int64_t blockLength(int32_t points, int32_t scanDir) {
    const int64_t halves = scanDir == (kForward | kReverse) ? 2 : 1;
    return kBlockHeaderBytes + halves * kBytesPerPoint * int64_t{points};
}

uint32_t* swapWordOrder(uint32_t* words, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        words[i] = platform::networkOrder32(words[i]);
    }
    return words;
}

int32_t peakIndex(const int32_t* values, int32_t count) {
    // Magnitudes in unsigned 32 bits: -2147483648 then has the largest one instead of overflowing.
    const auto magnitude = [](int32_t value) {
        const uint32_t bits = static_cast<uint32_t>(value);
        return value < 0 ? 0u - bits : bits;
    };
    int32_t index = 0;
    uint32_t best = count > 0 ? magnitude(values[0]) : 0u;
    for (int32_t i = 1; i < count; ++i) {
        const uint32_t candidate = magnitude(values[i]);
        if (candidate > best) {
            best = candidate;
            index = i;
        }
    }
    return index;
}

bool unglomData(void* block, int32_t* outCount, int32_t pts, int32_t scanDir, double* out) {
    if (!acceptable(block, outCount, pts, scanDir, out)) {
        // A caller that did not initialise its count would otherwise read garbage as one.
        if (outCount != nullptr) {
            *outCount = 0;
        }
        return false;
    }
    const double t0 = monotonicMs();
    uint8_t* bytes = static_cast<uint8_t*>(block);
    // The header is read into locals and stays in network order in the block.
    const int32_t forwardScans = static_cast<int32_t>(platform::networkOrder32(loadWord(bytes)));
    const int32_t reverseScans =
        static_cast<int32_t>(platform::networkOrder32(loadWord(bytes + 4)));
    trace("OstrelTCP unglomData @%f", clockMs());
    trace("OstrelTCP unglomData pts= %d; scanDir= %d", pts, scanDir);

    uint8_t* firstHalf = bytes + kBlockHeaderBytes;
    if ((scanDir & kForward) != 0) {
        trace("OstrelTCP unglomData: forward scans= %d", forwardScans);
        convertHalf(firstHalf, pts, forwardScans, out);
    }
    if ((scanDir & kReverse) != 0) {
        trace("OstrelTCP unglomData: reverse scans= %d", reverseScans);
        const bool afterForward = (scanDir & kForward) != 0;
        const size_t offset = afterForward ? static_cast<size_t>(pts) * kBytesPerPoint : 0;
        convertHalf(firstHalf + offset, pts, reverseScans, out + (afterForward ? pts : 0));
    }
    *outCount = scanDir == (kForward | kReverse) ? 2 * pts : pts;
    trace("OstrelTCP: unglomData took %f ms total", monotonicMs() - t0);
    return true;
}

}  // namespace ostrel
