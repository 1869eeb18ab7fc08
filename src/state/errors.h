// The driver's error codes and the recording of a failure as the process-wide last error. The
// codes are the public header's ostreltcp_error values; errors.cpp checks every one against the
// header at compile time. (The header is not included here: it declares the exports, whose
// global names would clash with the driver's own functions of the same names.)
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

// The highest driver code; the text table of the error export has one entry per code up to it.
inline constexpr int32_t kLastDriverError = ErrScanDirRange;

inline constexpr int32_t kSocketFlag = 0x8000;

// Records a failure: traces it, stores it as the last error together with the calling thread's
// platform error number, and returns it.
int32_t setLastError(int32_t code);

// Records a negative socket-layer code c as |c| with the socket flag set, and returns that.
int32_t setSocketError(int32_t socketLayerCode);

}  // namespace ostrel
