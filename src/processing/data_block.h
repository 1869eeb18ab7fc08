// The binary data block and its conversion into an interferogram of doubles.
//
// Block layout (every word a 32-bit signed integer, most significant byte first): a 16-byte
// header (forward scan count, reverse scan count, two words not interpreted), then one or two
// halves of pts point records; a record is the high-gain sample followed by the low-gain one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/annotations.h"
#include "state/locks.h"

namespace ostrel {

// The largest points setting per direction: the public header's OSTRELTCP_MAX_POINTS (checked
// against it in data_block.cpp).
inline constexpr int32_t kMaxPoints = 32768;
inline constexpr int32_t kBlockHeaderBytes = 16;
inline constexpr int32_t kBytesPerPoint = 8;
inline constexpr size_t kBlockBufferSize = kBlockHeaderBytes + 2 * kBytesPerPoint * kMaxPoints;

// The block length for a points setting and scan direction (both halves when scanDir is 3).
int64_t blockLength(int32_t points, int32_t scanDir);

// Process-wide work storage, allocated once for the life of the library. The block that
// readData receives is held under blockLock from its transfer to the end of its conversion;
// the conversion's arrays are guarded by workStorageLock, so that the scan thread, a calibration
// on a host thread and a host's own call of the export never convert at once.
extern uint8_t blockBuffer[kBlockBufferSize] OSTREL_GUARDED_BY(blockLock());
extern int32_t highChannel[2 * kMaxPoints] OSTREL_GUARDED_BY(workStorageLock());
extern int32_t lowChannel[2 * kMaxPoints] OSTREL_GUARDED_BY(workStorageLock());
extern double interferogram[2 * kMaxPoints] OSTREL_GUARDED_BY(workStorageLock());

// Converts count 32-bit words in place from network to host byte order; returns words.
uint32_t* swapWordOrder(uint32_t* words, int32_t count);

// Index of the element with the largest absolute value; the lowest index wins ties.
int32_t peakIndex(const int32_t* values, int32_t count);

// Splits a block into halves and channels, combines each half's channels and divides by its
// scan count. Writes *outCount (2 * pts for scanDir 3, else pts) and the doubles to out.
// Refuses (writes nothing, traces why, returns false) a null pointer, pts outside 1..32768 or a
// scan direction other than 1, 2 or 3.
bool unglomData(void* block, int32_t* outCount, int32_t pts, int32_t scanDir, double* out)
    OSTREL_REQUIRES(workStorageLock());

}  // namespace ostrel
