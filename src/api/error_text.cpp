#include "api/error_text.h"

#include <cstdio>
#include <cstring>

#include "diag/trace.h"
#include "link/wil.h"
#include "platform/last_error.h"
#include "state/driver_state.h"
#include "state/errors.h"

namespace ostrel {
namespace {

constexpr const char* kDriverMessages[] = {
    "No Error",
    "Could not connect to command socket",
    "Could not connect to data socket",
    "Timed out waiting for OK",
    "An error occured on the spectrometer",
    "Could not connect to a socket",
    "An exception occured while connecting to a network socket",
    "Calscan failed",
    "Could not start scan thread",
    "No Data Available",
    "scan thread is not running",
    "Deadman Timeout",
    "Scan timeout",
    "Not enough data was delivered",
    "Socket read error",
    nullptr,  // 15 has no text of its own: it reads as an unknown code
    "Invalid argument: a required pointer is null",
    "Points setting out of range (1 to 32768 per direction)",
    "Scan direction setting out of range (1, 2 or 3)",
};
constexpr int32_t kDriverMessageCount = sizeof kDriverMessages / sizeof kDriverMessages[0];
// One text (or a deliberate null) for every driver code of the public header.
static_assert(kDriverMessageCount == kLastDriverError + 1);

// The socket-layer codes that have a name; each text is "<name> <the layer's text>".
struct SocketCodeName {
    int32_t value;
    const char* name;
};

constexpr SocketCodeName kSocketCodeNames[] = {
    {WIL_CANNOT_COMPLY, "WIL_CANNOT_COMPLY"},
    {WIL_EOF, "WIL_EOF"},
    {WIL_ALREADY_IN_USE, "WIL_ALREADY_IN_USE"},
    {WIL_NOT_IN_USE, "WIL_NOT_IN_USE"},
    {WIL_IS_BLOCKING, "WIL_IS_BLOCKING"},
    {WIL_BAD_STATUS_FLAG, "WIL_BAD_STATUS_FLAG"},
    {WIL_BAD_DOTTED, "WIL_BAD_DOTTED"},
    {WIL_INVALID_SOCKET, "WIL_INVALID_SOCKET"},
    {WIL_TIMED_OUT, "WIL_TIMED_OUT"},
    {WIL_NO_SOCK_ADDR, "WIL_NO_SOCK_ADDR"},
    {WIL_NO_PROTOCOL, "WIL_NO_PROTOCOL"},
    {WIL_NO_SERVICE, "WIL_NO_SERVICE"},
    {WIL_NO_HOST, "WIL_NO_HOST"},
    {WIL_NO_IP_ADDR, "WIL_NO_IP_ADDR"},
    {WIL_AWAITING, "WIL_AWAITING"},
};

const char* socketCodeName(int32_t value) {
    for (const SocketCodeName& entry : kSocketCodeNames) {
        if (entry.value == value) {
            return entry.name;
        }
    }
    return nullptr;
}

// Texts are built here in full, traced, and only then cut to the caller's buffer. The layer's
// text is at most 1023 characters and the other parts are short, so nothing is cut here.
constexpr int kWilTextLimit = 1023;
constexpr size_t kMessageSize = 512;
constexpr size_t kWorkSize = kWilTextLimit + kMessageSize + 64;

// Socket-layer code: named codes get the layer's text, anything else is a platform error number.
void socketCodeText(int32_t code, char* work) {
    // Clear the flag bit only and negate; unsigned arithmetic, as the value may be any 32 bits.
    const int32_t value = static_cast<int32_t>(0u - (static_cast<uint32_t>(code) & ~0x8000u));
    int32_t traced = value;
    if (const char* name = socketCodeName(value)) {
        char layerText[kWilTextLimit + 1];
        socketErrorText(value, layerText, kWilTextLimit);
        std::snprintf(work, kWorkSize, "%s %s", name, layerText);
    } else {
        const int32_t number = static_cast<int32_t>(0u - static_cast<uint32_t>(value));
        char message[kMessageSize];
        platform::systemMessage(number, message, sizeof message);
        std::snprintf(work, kWorkSize, "winerror %d %s", number, message);
        traced = number;
    }
    trace("OstrelTCP spectrometer_getLastError %d %s", traced, work);
}

void driverCodeText(int32_t code, char* work) {
    const char* message = code >= 0 && code < kDriverMessageCount ? kDriverMessages[code] : nullptr;
    const int length = message != nullptr
                           ? std::snprintf(work, kWorkSize, "%s", message)
                           : std::snprintf(work, kWorkSize, "unkown OstrelTCP error %d", code);
    // The platform error captured with the last recorded failure, whichever code was asked for.
    const int32_t platformError = driverState.lastPlatformError.load();
    if (platformError > 0 && length >= 0 && static_cast<size_t>(length) < kWorkSize) {
        char systemText[kMessageSize];
        platform::systemMessage(platformError, systemText, sizeof systemText);
        std::snprintf(work + length, kWorkSize - static_cast<size_t>(length), " winerror  %d %s",
                      platformError, systemText);
    }
    trace("OstrelTCP spectrometer_getLastError %d %s", code, work);
}

}  // namespace

void errorText(int32_t code, char* text, int32_t size) {
    const bool haveBuffer = text != nullptr && size > 0;
    if (haveBuffer) {
        text[0] = '\0';
    }
    if (code == 0) {
        code = driverState.lastError.load();
    }
    char work[kWorkSize];
    work[0] = '\0';
    if ((code & kSocketFlag) != 0) {
        socketCodeText(code, work);
    } else {
        driverCodeText(code, work);
    }
    if (haveBuffer) {
        const size_t length = std::strlen(work);
        const size_t room = static_cast<size_t>(size) - 1;
        const size_t copied = length < room ? length : room;
        std::memcpy(text, work, copied);
        text[copied] = '\0';
    }
}

}  // namespace ostrel
