#include "state/errors.h"

#include "diag/trace.h"
#include "ostreltcp.h"
#include "platform/last_error.h"
#include "state/driver_state.h"

namespace ostrel {

// The codes the host sees are the public header's: none may drift from it.
static_assert(static_cast<int>(NoError) == static_cast<int>(OSTRELTCP_OK));
static_assert(static_cast<int>(ErrCommandSocket) == static_cast<int>(OSTRELTCP_ERR_COMMAND_SOCKET));
static_assert(static_cast<int>(ErrDataSocket) == static_cast<int>(OSTRELTCP_ERR_DATA_SOCKET));
static_assert(static_cast<int>(ErrOkTimeout) == static_cast<int>(OSTRELTCP_ERR_OK_TIMEOUT));
static_assert(static_cast<int>(ErrInstrument) == static_cast<int>(OSTRELTCP_ERR_INSTRUMENT));
static_assert(static_cast<int>(ErrConnect) == static_cast<int>(OSTRELTCP_ERR_CONNECT));
static_assert(static_cast<int>(ErrException) == static_cast<int>(OSTRELTCP_ERR_EXCEPTION));
static_assert(static_cast<int>(ErrCalscan) == static_cast<int>(OSTRELTCP_ERR_CALSCAN));
static_assert(static_cast<int>(ErrThreadStart) == static_cast<int>(OSTRELTCP_ERR_THREAD_START));
static_assert(static_cast<int>(ErrNoData) == static_cast<int>(OSTRELTCP_ERR_NO_DATA));
static_assert(static_cast<int>(ErrThreadNotRunning) ==
              static_cast<int>(OSTRELTCP_ERR_THREAD_NOT_RUNNING));
static_assert(static_cast<int>(ErrDeadman) == static_cast<int>(OSTRELTCP_ERR_DEADMAN));
static_assert(static_cast<int>(ErrScanTimeout) == static_cast<int>(OSTRELTCP_ERR_SCAN_TIMEOUT));
static_assert(static_cast<int>(ErrShortBlock) == static_cast<int>(OSTRELTCP_ERR_SHORT_BLOCK));
static_assert(static_cast<int>(ErrSocketRead) == static_cast<int>(OSTRELTCP_ERR_SOCKET_READ));
static_assert(static_cast<int>(ErrInstrumentScan) ==
              static_cast<int>(OSTRELTCP_ERR_INSTRUMENT_SCAN));
static_assert(static_cast<int>(ErrNullArgument) == static_cast<int>(OSTRELTCP_ERR_NULL_ARGUMENT));
static_assert(static_cast<int>(ErrPointsRange) == static_cast<int>(OSTRELTCP_ERR_POINTS_RANGE));
static_assert(static_cast<int>(ErrScanDirRange) == static_cast<int>(OSTRELTCP_ERR_SCAN_DIR_RANGE));
static_assert(static_cast<int>(kSocketFlag) == static_cast<int>(OSTRELTCP_SOCKET_FLAG));
static_assert(static_cast<int>(kLastDriverError) == static_cast<int>(OSTRELTCP_ERR_SCAN_DIR_RANGE));

int32_t setLastError(int32_t code) {
    trace("OstrelTCP setLastError %d", code);
    driverState.lastError.store(code);
    driverState.lastPlatformError.store(platform::lastErrorNumber());
    return code;
}

int32_t setSocketError(int32_t socketLayerCode) {
    const uint32_t magnitude = socketLayerCode < 0 ? 0u - static_cast<uint32_t>(socketLayerCode)
                                                   : static_cast<uint32_t>(socketLayerCode);
    return setLastError(static_cast<int32_t>(magnitude | static_cast<uint32_t>(kSocketFlag)));
}

}  // namespace ostrel
