// One file's two steps on the instrument link: the scan sequence on the command connection and
// the transfer of the data block on the data connection.
#pragma once

#include <cstdint>

#include "platform/annotations.h"
#include "state/locks.h"

namespace ostrel::platform {
class Event;
}

namespace ostrel {

inline constexpr double kDeadmanPerScanMs = 45.0 * 1000.0;
inline constexpr double kSingleScanFactor = 2.0;
inline constexpr double kCalibrationPoints = 16384.0;
inline constexpr int32_t kReplyWaitsPerCall = 3;

// readData gives up when no byte of the block has arrived for this long. A healthy instrument
// streams a block in well under a second once it has been asked for it.
inline constexpr double kDataStallLimitMs = 10000.0;
// How often a transfer that waits for bytes tests the stop requests.
inline constexpr int32_t kDataStopTestMs = 100;

// readData's result when a stop request ended the transfer: no error is recorded.
inline constexpr int32_t kReadStopped = -1;

// The geometry of the block that readData received, for its conversion.
struct BlockGeometry {
    int32_t points = 0;
    int32_t scanDir = 0;
};

// Runs the scan sequence. 0 done (or stopped through _stopping); otherwise the recorded 11, 12,
// 14 or 15. Writes the file's time stamp at the first progress reply when the host has
// registered a scan-complete event.
// The sequence holds the command conversation while it runs.
int32_t scanLoop(double* timestamp) OSTREL_EXCLUDES(conversationLock());

// Requests and receives one block into blockBuffer. 0 done; kReadStopped when kill (may be
// null) or _stopping ended it; otherwise the recorded 13, 17, 18 or flagged socket code. The
// caller holds blockLock until it has converted the block.
int32_t readData(BlockGeometry* geometry, platform::Event* kill) OSTREL_REQUIRES(blockLock());

}  // namespace ostrel
