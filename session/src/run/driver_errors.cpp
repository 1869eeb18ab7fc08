#include "run/driver_errors.h"

#include "ostreltcp.h"

namespace ostrel::session {
namespace {

constexpr int32_t kSocketFlag = OSTRELTCP_SOCKET_FLAG;

}  // namespace

std::string hintForError(int32_t code) {
    if ((code & kSocketFlag) != 0) {
        switch (code & ~kSocketFlag) {
            case 10061:
                return "nothing accepts connections there: is the instrument switched on and at "
                       "that address?";
            case 10060:
            case 8:  // the socket layer's own time-out
                return "no answer: is the instrument switched on, at that address and on this "
                       "network?";
            case 10051:
            case 10065:
                return "that address cannot be reached from this computer: check the address "
                       "and the network settings";
            case 6:  // not an address in dotted form
                return "give the instrument's IPv4 address in dotted form, e.g. 192.168.1.50";
            default:
                return "is the instrument switched on and at that address?";
        }
    }
    switch (code) {
        case OSTRELTCP_ERR_COMMAND_SOCKET:
        case OSTRELTCP_ERR_DATA_SOCKET:
            return "the instrument took the connection but did not say \"ready\" within 10 s: is "
                   "it still starting up, or is another program connected to it?";
        case OSTRELTCP_ERR_OK_TIMEOUT:
            return "the instrument did not acknowledge within 5 s: is it busy or still starting "
                   "up?";
        case OSTRELTCP_ERR_INSTRUMENT:
            return "the instrument does not accept that value: check it against the "
                   "instrument's range";
        case OSTRELTCP_ERR_CONNECT:
            return "the connection was not established within 2 s: is the instrument switched "
                   "on and at that address?";
        case OSTRELTCP_ERR_CALSCAN:
            return "the calibration scan did not finish: is the instrument scanning?";
        case OSTRELTCP_ERR_DEADMAN:
            return "the scans did not finish within 45 s per scan: is the scanning mechanism "
                   "running?";
        case OSTRELTCP_ERR_SCAN_TIMEOUT:
            return "a scan took more than twice the calibrated time: calibrate again "
                   "(--calibrate) or check the scanning mechanism";
        case OSTRELTCP_ERR_SHORT_BLOCK:
        case OSTRELTCP_ERR_SOCKET_READ:
            return "the connection to the instrument broke: check the network and the "
                   "instrument";
        case OSTRELTCP_ERR_INSTRUMENT_SCAN:
            return "the instrument reported an error during the scan: check its state";
        case OSTRELTCP_ERR_POINTS_RANGE:
            return "points must be 1 to 32768 per direction";
        default:
            return "";
    }
}

namespace {

// The exports report a run's failure only as the last error's text; the code behind it is the
// driver code whose text is the same (the platform part appended to both is the same too).
int32_t identifyLastError(const host::DriverApi& api) {
    const std::string last = host::lastErrorText(api, 0);
    for (int32_t code = OSTRELTCP_ERR_COMMAND_SOCKET; code <= OSTRELTCP_ERR_SCAN_DIR_RANGE;
         ++code) {
        if (host::lastErrorText(api, code) == last) {
            return code;
        }
    }
    return 0;
}

}  // namespace

DriverError describeDriverError(const host::DriverApi& api, int32_t code) {
    if (code == 0) {
        code = identifyLastError(api);
    }
    std::string text = host::lastErrorText(api, code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    DriverError error;
    error.code = code;
    error.detail = code != 0 ? "driver error " + std::to_string(code) + ": " + text : text;
    error.hint = hintForError(code);
    return error;
}

}  // namespace ostrel::session
