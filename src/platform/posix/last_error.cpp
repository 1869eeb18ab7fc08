#include "platform/last_error.h"

#include <cerrno>
#include <cstring>

#include "platform/posix/errno_map.h"

namespace ostrel::platform {
namespace {

// Windows Sockets numbers that no errno stands for, with texts of our own.
struct OwnMessage {
    int32_t number;
    const char* text;
};

constexpr OwnMessage kOwnMessages[] = {
    {10091, "The network subsystem is unavailable."},
    {10092, "The requested Windows Sockets version is not supported."},
    {10093, "The socket service has not been started."},
    {10101, "The peer is shutting the connection down gracefully."},
    {11001, "No such host is known."},
    {11002, "The host was not found; the lookup may succeed if tried again."},
    {11003, "A non-recoverable error occurred during a name lookup."},
    {11004, "The name is valid but has no data record of the requested type."},
};

// strerror_r comes in two shapes (GNU returns the text, POSIX fills the buffer); both are
// thread-safe, unlike strerror.
[[maybe_unused]] const char* errnoText(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* errnoText(const char* result, const char*) {
    return result;
}

size_t copyText(const char* text, char* out, size_t size) {
    const size_t length = std::strlen(text);
    const size_t copied = length < size - 1 ? length : size - 1;
    std::memcpy(out, text, copied);
    out[copied] = '\0';
    return copied;
}

}  // namespace

int32_t lastErrorNumber() {
    return posix::wsaFromErrno(errno);
}

size_t systemMessage(int32_t number, char* out, size_t size) {
    if (out == nullptr || size == 0) {
        return 0;
    }
    out[0] = '\0';
    for (const OwnMessage& message : kOwnMessages) {
        if (message.number == number) {
            return copyText(message.text, out, size);
        }
    }
    int errnoValue = posix::errnoFromWsa(number);
    if (errnoValue == 0) {
        errnoValue = number;
    }
    if (errnoValue <= 0) {
        return 0;
    }
    char buffer[256];
    const char* text = errnoText(strerror_r(errnoValue, buffer, sizeof buffer), buffer);
    // glibc answers "Unknown error N" for a number it does not know: that is no text.
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) {
        return 0;
    }
    return copyText(text, out, size);
}

}  // namespace ostrel::platform
