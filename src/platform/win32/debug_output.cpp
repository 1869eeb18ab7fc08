#include "platform/debug_output.h"

#include <cstdlib>
#include <cstring>

#include "platform/win32/windows_headers.h"

namespace ostrel::platform {
namespace {

// Besides the debugger channel, records can go where OSTRELTCP_TRACE names, as on POSIX:
// "stderr" or a file appended to. That makes them visible where no debugger listens (Wine,
// services, test runs). A slim reader-writer lock rather than an atomic: reconfiguring closes
// the old file, and a writer still holding its handle must not write through a closed handle.
// The lock is statically initialised and never destroyed, so the unload notification, which
// runs late in process exit, still finds it.
SRWLOCK sinkLock = SRWLOCK_INIT;
bool sinkConfigured = false;  // guarded by sinkLock
HANDLE sinkHandle = nullptr;  // guarded by sinkLock; null: no second sink
bool sinkOwned = false;       // guarded by sinkLock: a file we opened and must close

// Called with sinkLock held exclusively.
void configureSink() {
    if (sinkOwned) {
        CloseHandle(sinkHandle);
    }
    sinkHandle = nullptr;
    sinkOwned = false;
    sinkConfigured = true;
    const char* target = std::getenv("OSTRELTCP_TRACE");
    if (target == nullptr || *target == '\0') {
        return;
    }
    if (std::strcmp(target, "stderr") == 0) {
        const HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
        sinkHandle = standardError == INVALID_HANDLE_VALUE ? nullptr : standardError;
        return;
    }
    // FILE_APPEND_DATA alone makes every write land at the end, whoever else appends.
    const HANDLE file = CreateFileA(target, FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        sinkHandle = file;
        sinkOwned = true;
    }
}

}  // namespace

void debugOutput(const char* record) {
    if (record == nullptr) {
        return;
    }
    // setLastError traces and then reads the thread's last error: keep it intact.
    const win32::LastErrorKeeper keeper;
    OutputDebugStringA(record);

    AcquireSRWLockShared(&sinkLock);
    if (!sinkConfigured) {
        ReleaseSRWLockShared(&sinkLock);
        AcquireSRWLockExclusive(&sinkLock);
        if (!sinkConfigured) {
            configureSink();
        }
        ReleaseSRWLockExclusive(&sinkLock);
        AcquireSRWLockShared(&sinkLock);
    }
    if (sinkHandle != nullptr) {
        // One write per record keeps records from different threads whole.
        DWORD written = 0;
        WriteFile(sinkHandle, record, static_cast<DWORD>(std::strlen(record)), &written, nullptr);
    }
    ReleaseSRWLockShared(&sinkLock);
}

void debugOutputReconfigure() {
    const win32::LastErrorKeeper keeper;
    AcquireSRWLockExclusive(&sinkLock);
    configureSink();
    ReleaseSRWLockExclusive(&sinkLock);
}

}  // namespace ostrel::platform
