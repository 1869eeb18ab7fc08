#include "platform/library_entry.h"

#include "platform/win32/windows_headers.h"

// The loader's notification; it only traces. The reason codes are the LibraryEvent values.
static_assert(DLL_PROCESS_DETACH == static_cast<int>(ostrel::LibraryEvent::ProcessDetach));
static_assert(DLL_PROCESS_ATTACH == static_cast<int>(ostrel::LibraryEvent::ProcessAttach));
static_assert(DLL_THREAD_ATTACH == static_cast<int>(ostrel::LibraryEvent::ThreadAttach));
static_assert(DLL_THREAD_DETACH == static_cast<int>(ostrel::LibraryEvent::ThreadDetach));

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason <= DLL_THREAD_DETACH) {
        ostrel::onLibraryEvent(static_cast<ostrel::LibraryEvent>(reason));
    }
    return TRUE;
}
