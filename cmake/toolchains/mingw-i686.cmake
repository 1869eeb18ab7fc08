# Cross-compiling the Windows DLL with the MinGW-w64 compilers of the Debian packages
# (g++-mingw-w64-i686-posix: the POSIX threading model, which libstdc++'s threads need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(OSTRELTCP_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${OSTRELTCP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OSTRELTCP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OSTRELTCP_MINGW_TRIPLE}-windres)

# Headers and libraries come from the MinGW-w64 tree only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${OSTRELTCP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
