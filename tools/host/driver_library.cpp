#include "driver_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <vector>

namespace ostrel::host {
namespace {

#if defined(_WIN32)
constexpr const char* kLibraryName = "OstrelTCP.dll";
#else
constexpr const char* kLibraryName = "libostreltcp.so";
#endif

std::string programDirectory() {
#if defined(_WIN32)
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string full(path, length);
#else
    std::vector<char> path(4096);
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    std::string full = length > 0 ? std::string(path.data(), static_cast<size_t>(length)) : "";
#endif
    const size_t slash = full.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : full.substr(0, slash);
}

bool fileExists(const std::string& path) {
#if defined(_WIN32)
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    return access(path.c_str(), R_OK) == 0;
#endif
}

}  // namespace

DriverLibrary::~DriverLibrary() {
    if (!keepLoaded_) {
        unload();
    }
}

std::string DriverLibrary::defaultPath() {
    const char* fromEnvironment = std::getenv("OSTRELTCP_LIBRARY");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    const std::string directory = programDirectory();
    // Beside the program, the build tree (tools/<program>/ next to src/) and an installed tree.
    for (const char* relative : {"/", "/../src/", "/../../src/", "/../lib/", "/../lib64/"}) {
        const std::string candidate = directory + relative + kLibraryName;
        if (!directory.empty() && fileExists(candidate)) {
            return candidate;
        }
    }
    return kLibraryName;
}

void* DriverLibrary::symbol(const char* name) const {
    if (handle_ == nullptr) {
        return nullptr;
    }
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
}

bool DriverLibrary::load(const std::string& path, std::string* error) {
    unload();
#if defined(_WIN32)
    handle_ = LoadLibraryA(path.c_str());
    if (handle_ == nullptr) {
        *error = "cannot load " + path + ": Windows error " + std::to_string(GetLastError());
        return false;
    }
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        *error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
        return false;
    }
#endif
#define OSTREL_RESOLVE_EXPORT(name, type, ordinal)                                  \
    api_.name = reinterpret_cast<decltype(api_.name)>(symbol(#name));               \
    if (api_.name == nullptr) {                                                     \
        *error = std::string("the library at ") + path + " does not export " #name; \
        unload();                                                                   \
        return false;                                                               \
    }
    OSTREL_DRIVER_EXPORTS(OSTREL_RESOLVE_EXPORT)
#undef OSTREL_RESOLVE_EXPORT
    return true;
}

void DriverLibrary::unload() {
    if (handle_ != nullptr) {
#if defined(_WIN32)
        FreeLibrary(static_cast<HMODULE>(handle_));
#else
        dlclose(handle_);
#endif
        handle_ = nullptr;
    }
    api_ = DriverApi{};
}

std::string lastErrorText(const DriverApi& api, int32_t code) {
    char text[1024] = {};
    api.spectrometer_getLastError(code, text, static_cast<int32_t>(sizeof text));
    return text;
}

}  // namespace ostrel::host
