#include "platform/thread.h"

#include "platform/win32/windows_headers.h"

// Needs the types of windows.h.
#include <tlhelp32.h>

namespace ostrel::platform {

struct Thread {
    HANDLE handle = nullptr;
};

namespace {

// What the new thread needs to begin. It is handed over as its own small block, freed by the
// thread itself once read, so that the handle may be released while the thread still runs.
struct StartPacket {
    ThreadEntry entry;
    void* argument;
};

// TerminateThread only requests the end; the thread is gone once its handle is signalled. The
// caller frees what the thread used right after, so it waits for that, within a bound.
constexpr DWORD kTerminationWaitMs = 2000;

DWORD WINAPI threadStart(LPVOID raw) {
    const StartPacket packet = *static_cast<StartPacket*>(raw);
    delete static_cast<StartPacket*>(raw);
    return packet.entry(packet.argument);
}

bool hasFinished(HANDLE handle, DWORD timeoutMs) {
    return WaitForSingleObject(handle, timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace

Thread* threadCreate(ThreadEntry entry, void* argument) {
    StartPacket* packet = new StartPacket{entry, argument};
    const HANDLE handle = CreateThread(nullptr, 0, threadStart, packet, 0, nullptr);
    if (handle == nullptr) {
        delete packet;
        return nullptr;
    }
    return new Thread{handle};
}

bool threadRaisePriority(Thread* thread) {
    return thread != nullptr &&
           SetThreadPriority(thread->handle, THREAD_PRIORITY_TIME_CRITICAL) != FALSE;
}

bool threadJoin(Thread* thread, uint32_t timeoutMs) {
    return thread == nullptr || hasFinished(thread->handle, timeoutMs);
}

bool threadTerminate(Thread* thread) {
    if (thread == nullptr) {
        return true;
    }
    // A thread that finished on its own in the meantime may refuse termination; it is gone all
    // the same. One still there after the wait is reported as not ended, so that its owner keeps
    // what it may still be using.
    TerminateThread(thread->handle, 0);
    return hasFinished(thread->handle, kTerminationWaitMs);
}

void threadRelease(Thread* thread) {
    if (thread == nullptr) {
        return;
    }
    // Closing the handle does not end the thread: one that has not finished runs on.
    CloseHandle(thread->handle);
    delete thread;
}

int threadCountInProcess() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const DWORD process = GetCurrentProcessId();
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more != FALSE;
         more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == process) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

}  // namespace ostrel::platform
