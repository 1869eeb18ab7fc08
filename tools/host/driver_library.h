// Loads the driver library at run time and resolves its 39 exports by name, exactly as a host
// application does (dlopen on POSIX, LoadLibrary on Windows).
#pragma once

#include <string>

#include "ostreltcp.h"

namespace ostrel::host {

#define OSTREL_DRIVER_EXPORTS(X)                                                         \
    X(spectrometer_getLastError, int32_t (*)(int32_t, char*, int32_t), 1)                \
    X(spectrometer_getTimestamp, int32_t (*)(double*), 2)                                \
    X(spectrometer_safeValves, int32_t (*)(int32_t, const int32_t*), 3)                  \
    X(spectrometer_calibrationScan, int32_t (*)(void), 4)                                \
    X(spectrometer_close, int32_t (*)(void), 5)                                          \
    X(spectrometer_execute, int32_t (*)(int32_t), 6)                                     \
    X(spectrometer_getCapabilities, int32_t (*)(int32_t*), 7)                            \
    X(spectrometer_getData, int32_t (*)(double*, int32_t, double*), 8)                   \
    X(spectrometer_getFileProgress, int32_t (*)(int32_t*), 9)                            \
    X(spectrometer_getFiles, int32_t (*)(int32_t*), 10)                                  \
    X(spectrometer_getGain, int32_t (*)(int32_t*), 11)                                   \
    X(spectrometer_getPoints, int32_t (*)(int32_t*), 12)                                 \
    X(spectrometer_getResolution, int32_t (*)(double*), 13)                              \
    X(spectrometer_getScanProgress, int32_t (*)(int32_t*), 14)                           \
    X(spectrometer_getScans, int32_t (*)(int32_t*), 15)                                  \
    X(spectrometer_getSkipPoints, int32_t (*)(int32_t*), 16)                             \
    X(spectrometer_getStatus, int32_t (*)(int32_t*), 17)                                 \
    X(spectrometer_initialize, int32_t (*)(void), 18)                                    \
    X(spectrometer_open, int32_t (*)(int32_t), 19)                                       \
    X(spectrometer_readFiber, int32_t (*)(const uint16_t*, uint32_t*), 20)               \
    X(spectrometer_reset, int32_t (*)(int32_t), 21)                                      \
    X(spectrometer_setCoaddCompleteEventHandle, int32_t (*)(ostreltcp_event_handle), 22) \
    X(spectrometer_setErrorEventHandle, int32_t (*)(ostreltcp_event_handle), 23)         \
    X(spectrometer_setFiles, int32_t (*)(int32_t), 24)                                   \
    X(spectrometer_setFilesCompleteEventHandle, int32_t (*)(ostreltcp_event_handle), 25) \
    X(spectrometer_setGain, int32_t (*)(int32_t), 26)                                    \
    X(spectrometer_setIPAddress, int32_t (*)(const char*), 27)                           \
    X(spectrometer_setPoints, int32_t (*)(int32_t), 28)                                  \
    X(spectrometer_setResolution, int32_t (*)(double), 29)                               \
    X(spectrometer_setScanCompleteEventHandle, int32_t (*)(ostreltcp_event_handle), 30)  \
    X(spectrometer_setScanDirection, int32_t (*)(int32_t), 31)                           \
    X(spectrometer_setScans, int32_t (*)(int32_t), 32)                                   \
    X(spectrometer_setSkipPoints, int32_t (*)(int32_t), 33)                              \
    X(spectrometer_startCoadd, int32_t (*)(int32_t), 34)                                 \
    X(spectrometer_stop, int32_t (*)(void), 35)                                          \
    X(spectrometer_version, int32_t (*)(void), 36)                                       \
    X(spectrometer_writeAux, int32_t (*)(uint32_t, uint32_t), 37)                        \
    X(spectrometer_writeFiber, int32_t (*)(const int32_t*), 38)                          \
    X(unglomData, void (*)(void*, int32_t*, int32_t, int32_t, double*), 39)

inline constexpr int kExportCount = 39;

struct DriverApi {
#define OSTREL_DECLARE_EXPORT(name, type, ordinal) decltype(&::name) name = nullptr;
    OSTREL_DRIVER_EXPORTS(OSTREL_DECLARE_EXPORT)
#undef OSTREL_DECLARE_EXPORT
};

class DriverLibrary {
  public:
    DriverLibrary() = default;
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    // Loads the library at path and resolves every export; false with *error set otherwise.
    bool load(const std::string& path, std::string* error);
    void unload();
    // Leaves the library mapped when this object goes, for a host that ends with the process:
    // the driver's static state (such as the idle scan thread object that close keeps for a
    // later getData) then stays reachable until exit instead of being cut off by dlclose.
    void keepLoaded() { keepLoaded_ = true; }
    bool loaded() const { return handle_ != nullptr; }

    // The address of an export looked up by name, or null.
    void* symbol(const char* name) const;

    const DriverApi& api() const { return api_; }

    // Where the library is: $OSTRELTCP_LIBRARY, else next to the running program, else the
    // platform's search path.
    static std::string defaultPath();

  private:
    void* handle_ = nullptr;
    bool keepLoaded_ = false;
    DriverApi api_;
};

// The driver's last error text for a code (0: the last recorded one).
std::string lastErrorText(const DriverApi& api, int32_t code = 0);

}  // namespace ostrel::host
