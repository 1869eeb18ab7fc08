// The Windows headers in the one order that works: winsock2.h must come before windows.h, or
// windows.h pulls in the old winsock.h and the two collide.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

namespace ostrel::platform::win32 {

// Keeps the calling thread's last-error value across calls that may change it, so that a
// failure can still be recorded after tracing it (setLastError traces first, then reads it).
class LastErrorKeeper {
  public:
    LastErrorKeeper() : saved_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(saved_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

  private:
    DWORD saved_;
};

}  // namespace ostrel::platform::win32
