// Driver error codes, recording of failures and their texts.
#pragma once

#include <cstdint>

namespace ostrel {

enum DriverError : int32_t {
    NoError = 0,
    ErrCommandSocket = 1,
    ErrDataSocket = 2,
    ErrOkTimeout = 3,
    ErrInstrument = 4,
    ErrConnect = 5,
    ErrException = 6,
    ErrCalscan = 7,
    ErrThreadStart = 8,
    ErrNoData = 9,
    ErrThreadNotRunning = 10,
    ErrDeadman = 11,
    ErrScanTimeout = 12,
    ErrShortBlock = 13,
    ErrSocketRead = 14,
    ErrInstrumentScan = 15,
    ErrNullArgument = 16,
    ErrPointsRange = 17,
    ErrScanDirRange = 18,
};

inline constexpr int32_t kSocketFlag = 0x8000;

// Records a failure: traces it, stores it as the last error together with the calling thread's
// platform error number, and returns it.
int32_t setLastError(int32_t code);

// Records a negative socket-layer code c as |c| with the socket flag set, and returns that.
int32_t setSocketError(int32_t socketLayerCode);

// Writes the text of a code (0: the last recorded one) into text, at most size - 1 characters,
// always terminated when size > 0 and text is not null.
void errorText(int32_t code, char* text, int32_t size);

}  // namespace ostrel
