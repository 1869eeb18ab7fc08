#include "platform/last_error.h"

#include <cstring>

#include "platform/win32/windows_headers.h"

namespace ostrel::platform {
namespace {

// FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER.
constexpr DWORD kMessageFlags = 0x1300;
static_assert(kMessageFlags == (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                FORMAT_MESSAGE_ALLOCATE_BUFFER));
// The user's default language.
constexpr DWORD kUserDefaultLanguage = 0x0400;

}  // namespace

// Socket errors arrive here too: WSAGetLastError is the thread's last-error value.
int32_t lastErrorNumber() {
    return static_cast<int32_t>(GetLastError());
}

size_t systemMessage(int32_t number, char* out, size_t size) {
    if (out == nullptr || size == 0) {
        return 0;
    }
    out[0] = '\0';
    char* message = nullptr;
    // With ALLOCATE_BUFFER the buffer argument receives the address of a LocalAlloc'd text.
    const DWORD length =
        FormatMessageA(kMessageFlags, nullptr, static_cast<DWORD>(number), kUserDefaultLanguage,
                       reinterpret_cast<LPSTR>(&message), 0, nullptr);
    size_t copied = 0;
    if (length > 0 && message != nullptr) {
        // The text is used as the system gives it, line end included.
        copied = length < size - 1 ? length : size - 1;
        std::memcpy(out, message, copied);
        out[copied] = '\0';
    }
    if (message != nullptr) {
        LocalFree(message);
    }
    return copied;
}

}  // namespace ostrel::platform
