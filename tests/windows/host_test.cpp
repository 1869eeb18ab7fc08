// The Windows test host: loads OstrelTCP.dll as a host application does and checks its export
// table, its initial state, its error texts and whole runs against the instrument simulator
// (which runs on the build machine; the driver finds its ports in OSTRELTCP_COMMAND_PORT,
// OSTRELTCP_DATA_PORT and OSTRELTCP_REBOOT_PORT). Run with --offline to leave out the cases that
// need the simulator.
// winsock2.h first, then windows.h, then what needs its types.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
// clang-format on

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "check.h"
#include "driver_library.h"

namespace {

using ostrel::host::DriverApi;
using ostrel::host::DriverLibrary;

constexpr int32_t kRefusedCode = 0x8000 | 10061;
constexpr DWORD kEventLimitMs = 10000;

DriverLibrary library;
HMODULE module = nullptr;

const DriverApi& api() {
    return library.api();
}

std::string lastError(int32_t code = 0) {
    return ostrel::host::lastErrorText(api(), code);
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

int32_t readInt(int32_t(OSTRELTCP_CALL* getter)(int32_t*)) {
    int32_t value = -12345;
    getter(&value);
    return value;
}

int threadsInProcess() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

// The four host events, created as a host creates them: manual reset, initially unsignalled.
struct HostEvents {
    HANDLE scan = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE coadd = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE files = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE error = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    HostEvents() {
        api().spectrometer_setScanCompleteEventHandle(reinterpret_cast<uintptr_t>(scan));
        api().spectrometer_setCoaddCompleteEventHandle(reinterpret_cast<uintptr_t>(coadd));
        api().spectrometer_setFilesCompleteEventHandle(reinterpret_cast<uintptr_t>(files));
        api().spectrometer_setErrorEventHandle(reinterpret_cast<uintptr_t>(error));
    }
    ~HostEvents() {
        // The driver must not signal them once they are gone.
        api().spectrometer_setScanCompleteEventHandle(0);
        api().spectrometer_setCoaddCompleteEventHandle(0);
        api().spectrometer_setFilesCompleteEventHandle(0);
        api().spectrometer_setErrorEventHandle(0);
        for (HANDLE handle : {scan, coadd, files, error}) {
            CloseHandle(handle);
        }
    }
    HostEvents(const HostEvents&) = delete;
    HostEvents& operator=(const HostEvents&) = delete;

    static bool isSet(HANDLE handle) { return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0; }

    // Waits for the next co-add file or the end of the run: 0 file, 1 files complete, 2 error,
    // -1 nothing within the limit.
    int next() const {
        const HANDLE handles[] = {coadd, files, error};
        const DWORD result = WaitForMultipleObjects(3, handles, FALSE, kEventLimitMs);
        return result < WAIT_OBJECT_0 + 3 ? static_cast<int>(result - WAIT_OBJECT_0) : -1;
    }
};

bool statusBecomes(int32_t expected, DWORD limitMs) {
    const DWORD start = GetTickCount();
    while (readInt(api().spectrometer_getStatus) != expected) {
        if (GetTickCount() - start > limitMs) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

// Environment variables as the driver reads them: through the C runtime that both share.
std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

void setEnvironment(const char* name, const std::string& value) {
    _putenv_s(name, value.c_str());
}

// A loopback port where nothing listens: bound once to learn a free number, then released.
int unusedPort() {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    int port = -1;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    closesocket(probe);
    WSACleanup();
    return port;
}

void everyExportResolvesToTheSameFunctionByNameAndByOrdinal() {
    int resolved = 0;
#define OSTREL_CHECK_EXPORT(name, type, ordinal)                                                   \
    {                                                                                              \
        const FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));               \
        CHECK(api().name != nullptr);                                                              \
        CHECK_EQ(reinterpret_cast<uintptr_t>(byOrdinal), reinterpret_cast<uintptr_t>(api().name)); \
        resolved += byOrdinal != nullptr ? 1 : 0;                                                  \
    }
    OSTREL_DRIVER_EXPORTS(OSTREL_CHECK_EXPORT)
#undef OSTREL_CHECK_EXPORT
    CHECK_EQ(resolved, ostrel::host::kExportCount);
}

void theExportTableHoldsNoFortiethOrdinalAndNoDecoratedNames() {
    CHECK(GetProcAddress(module, MAKEINTRESOURCEA(0)) == nullptr);
    CHECK(GetProcAddress(module, MAKEINTRESOURCEA(ostrel::host::kExportCount + 1)) == nullptr);
    // The stdcall and cdecl decorations a 32-bit build would carry without --kill-at.
    for (const char* name : {"spectrometer_open@4", "_spectrometer_open@4", "_spectrometer_open",
                             "unglomData@20", "_unglomData@20"}) {
        CHECK(GetProcAddress(module, name) == nullptr);
    }
}

void gettersReportTheStaticDefaultsBeforeAnyOpen() {
    struct Row {
        const char* name;
        int32_t(OSTRELTCP_CALL* getter)(int32_t*);
        int32_t expected;
    };
    const Row rows[] = {
        {"getPoints", api().spectrometer_getPoints, 32768},  // 16384 points, both directions
        {"getStatus", api().spectrometer_getStatus, 1},
        {"getCapabilities", api().spectrometer_getCapabilities, 6},
        {"getScans", api().spectrometer_getScans, 16},
        {"getFiles", api().spectrometer_getFiles, 1},
        {"getGain", api().spectrometer_getGain, 1},
        {"getSkipPoints", api().spectrometer_getSkipPoints, 0},
        {"getScanProgress", api().spectrometer_getScanProgress, 0},
        {"getFileProgress", api().spectrometer_getFileProgress, 0},
    };
    for (const Row& row : rows) {
        std::printf("    %s\n", row.name);
        CHECK_EQ(readInt(row.getter), row.expected);
    }
}

void resolutionRoundTripsExactlyThroughTheDoubleArgument() {
    double resolution = 0.0;
    CHECK_EQ(api().spectrometer_getResolution(&resolution), 0);
    CHECK_EQ(resolution, 1.0);
    // A double by value after no other argument: a mistaken calling convention shows here.
    for (const double value : {2.5, 0.125, -7.75, 1.0}) {
        CHECK_EQ(api().spectrometer_setResolution(value), 0);
        CHECK_EQ(api().spectrometer_getResolution(&resolution), 0);
        CHECK_EQ(resolution, value);
    }
}

void errorCodesYieldTheirTexts() {
    // Platform errors begin with their number; the system's message follows where the system
    // has one (Wine has none for some Windows Sockets numbers, 10060 among them).
    enum Match { Whole, Prefix, PrefixAndMessage };
    struct Row {
        int32_t code;
        const char* text;
        Match match;
    };
    const Row rows[] = {
        {0, "No Error", Whole},
        {3, "Timed out waiting for OK", Whole},
        {15, "unkown OstrelTCP error 15", Whole},
        {0x8000, "WIL_CANNOT_COMPLY Cannot comply", Whole},
        {0x8001, "WIL_EOF Socket has been closed.", Whole},
        {0x8002, "WIL_ALREADY_IN_USE ", Whole},
        {0x8009, "WIL_NO_SOCK_ADDR No available sockaddr structures.", Whole},
        {kRefusedCode, "winerror 10061 ", PrefixAndMessage},
        {0x8000 | 10060, "winerror 10060 ", Prefix},
    };
    for (const Row& row : rows) {
        const std::string text = lastError(row.code);
        std::printf("    %#x -> \"%s\"\n", static_cast<unsigned>(row.code), text.c_str());
        if (row.match == Whole) {
            CHECK_EQ(text, row.text);
        } else {
            CHECK(startsWith(text, row.text));
        }
        if (row.match == PrefixAndMessage) {
            CHECK(text.size() > std::strlen(row.text));
        }
    }
}

void aShortBufferCutsTheTextAndStaysTerminated() {
    char text[16];
    std::memset(text, 'x', sizeof text);
    CHECK_EQ(api().spectrometer_getLastError(0x8001, text, 8), 0);
    CHECK_EQ(std::string(text), "WIL_EOF");
    CHECK_EQ(text[8], 'x');
}

void aRefusedCommandConnectionReportsWinerror10061AndKeepsTheStatus() {
    const int port = unusedPort();
    REQUIRE(port > 0);
    const std::string saved = environment("OSTRELTCP_COMMAND_PORT");
    setEnvironment("OSTRELTCP_COMMAND_PORT", std::to_string(port));
    api().spectrometer_setIPAddress("127.0.0.1");
    const int32_t result = api().spectrometer_open(0);
    setEnvironment("OSTRELTCP_COMMAND_PORT", saved);
    CHECK_EQ(result, kRefusedCode);
    CHECK_EQ(readInt(api().spectrometer_getStatus), 1);
    const std::string text = lastError();
    std::printf("    last error: \"%s\"\n", text.c_str());
    CHECK(startsWith(text, "winerror 10061 "));
    CHECK(text.find("winerror  ") == std::string::npos);
    CHECK_EQ(api().spectrometer_close(), 0);
}

// Checks one published interferogram of `points` values: finite, and a centre burst that
// stands out of the rest of the curve.
void checkCurve(const std::vector<double>& curve) {
    double peak = 0.0;
    double sum = 0.0;
    bool finite = true;
    for (const double value : curve) {
        finite = finite && std::isfinite(value);
        peak = std::fmax(peak, std::fabs(value));
        sum += std::fabs(value);
    }
    CHECK(finite);
    CHECK(peak > 0.0);
    CHECK(peak > 5.0 * sum / static_cast<double>(curve.size()));
}

int openAndConfigure() {
    api().spectrometer_setIPAddress("127.0.0.1");
    const int32_t opened = api().spectrometer_open(0);
    CHECK_EQ(opened, 0);
    if (opened != 0) {
        std::printf("    open: %s\n", lastError().c_str());
        return opened;
    }
    CHECK_EQ(readInt(api().spectrometer_getStatus), 4);
    CHECK_EQ(api().spectrometer_setPoints(1024), 0);
    CHECK_EQ(api().spectrometer_setScans(2), 0);
    CHECK_EQ(api().spectrometer_setScanDirection(3), 0);
    CHECK_EQ(api().spectrometer_setGain(1), 0);
    CHECK_EQ(readInt(api().spectrometer_getPoints), 2048);
    return 0;
}

void aWholeRunCalibratesAndDeliversThreeFilesThroughWin32Events() {
    const int threadsBefore = threadsInProcess();
    REQUIRE(openAndConfigure() == 0);
    CHECK_EQ(api().spectrometer_version(), 42);
    CHECK_EQ(api().spectrometer_calibrationScan(), 0);
    const int32_t skip = readInt(api().spectrometer_getSkipPoints);
    std::printf("    calibration: skip points %d\n", skip);
    CHECK(skip >= 0);
    CHECK_EQ(readInt(api().spectrometer_getPoints), 2048);  // the host's settings are back

    HostEvents events;
    api().spectrometer_setFiles(3);
    REQUIRE(api().spectrometer_startCoadd(0) == 0);
    int published = 0;
    double lastStamp = 0.0;
    std::vector<double> curve(2048);
    for (int outcome = events.next(); outcome == 0; outcome = events.next()) {
        // Files can come faster than the host reads them: one wake-up may find a later file
        // already published (one is skipped), or the file whose signal woke it read before
        // (the same stamp again). Stamps never go back.
        ResetEvent(events.coadd);
        double stamp = 0.0;
        CHECK_EQ(api().spectrometer_getData(curve.data(), 2048, &stamp), 0);
        checkCurve(curve);
        std::printf("    file stamp %.0f\n", stamp);
        CHECK(stamp > 0.0);
        CHECK(stamp >= lastStamp);
        lastStamp = stamp;
        ++published;
    }
    std::printf("    files read: %d\n", published);
    CHECK(HostEvents::isSet(events.files));
    CHECK(!HostEvents::isSet(events.error));
    CHECK(HostEvents::isSet(events.scan));
    CHECK(published >= 1);
    CHECK(statusBecomes(4, 5000));
    CHECK_EQ(readInt(api().spectrometer_getFileProgress), 3);
    CHECK_EQ(readInt(api().spectrometer_getScanProgress), 2);

    // The stamp is milliseconds of UTC since 1970, the time of the last file.
    double stamp = 0.0;
    CHECK_EQ(api().spectrometer_getTimestamp(&stamp), 0);
    CHECK_EQ(stamp, lastStamp);
    CHECK(stamp > 1.6e12);
    CHECK_EQ(api().spectrometer_getData(curve.data(), 1000, &stamp), 9);

    CHECK_EQ(api().spectrometer_close(), 0);
    CHECK_EQ(threadsInProcess(), threadsBefore);
}

void closeDuringAnEndlessRunEndsTheScanThreadWithinItsGrace() {
    const int threadsBefore = threadsInProcess();
    REQUIRE(openAndConfigure() == 0);
    HostEvents events;
    api().spectrometer_setFiles(0);
    REQUIRE(api().spectrometer_startCoadd(0) == 0);
    for (int file = 0; file < 3; ++file) {
        REQUIRE(events.next() == 0);
        ResetEvent(events.coadd);
    }
    CHECK(threadsInProcess() > threadsBefore);  // the scan thread
    const DWORD start = GetTickCount();
    CHECK_EQ(api().spectrometer_close(), 0);
    const DWORD tookMs = GetTickCount() - start;
    std::printf("    close took %lu ms\n", static_cast<unsigned long>(tookMs));
    CHECK(tookMs < 5000);
    CHECK(!HostEvents::isSet(events.error));
    CHECK_EQ(threadsInProcess(), threadsBefore);
    api().spectrometer_setFiles(1);
}

void stopAbortsARunRebootsTheInstrumentAndReopens() {
    REQUIRE(openAndConfigure() == 0);
    HostEvents events;
    api().spectrometer_setFiles(0);
    REQUIRE(api().spectrometer_startCoadd(0) == 0);
    REQUIRE(events.next() == 0);
    const DWORD start = GetTickCount();
    CHECK_EQ(api().spectrometer_stop(), 0);
    const DWORD tookMs = GetTickCount() - start;
    std::printf("    stop took %lu ms\n", static_cast<unsigned long>(tookMs));
    CHECK(tookMs >= 5000);  // the pause for the instrument's restart
    CHECK_EQ(readInt(api().spectrometer_getStatus), 4);
    CHECK_EQ(readInt(api().spectrometer_getFiles), 1);

    // The new connection works: a one-file run completes. The instrument restarted with its
    // own defaults, so the settings go out again.
    ResetEvent(events.coadd);
    ResetEvent(events.files);
    CHECK_EQ(api().spectrometer_setPoints(1024), 0);
    CHECK_EQ(api().spectrometer_setScans(2), 0);
    CHECK_EQ(api().spectrometer_setScanDirection(3), 0);
    REQUIRE(api().spectrometer_startCoadd(0) == 0);
    CHECK_EQ(events.next(), 0);
    CHECK(WaitForSingleObject(events.files, kEventLimitMs) == WAIT_OBJECT_0);
    CHECK(statusBecomes(4, 5000));
    CHECK_EQ(api().spectrometer_close(), 0);
}

// In order: the initial values hold only before the first open.
const ostrel::wintest::Case kOfflineCases[] = {
    {"Exports.EveryExportResolvesToTheSameFunctionByNameAndByOrdinal",
     everyExportResolvesToTheSameFunctionByNameAndByOrdinal},
    {"Exports.TheExportTableHoldsNoFortiethOrdinalAndNoDecoratedNames",
     theExportTableHoldsNoFortiethOrdinalAndNoDecoratedNames},
    {"InitialState.GettersReportTheStaticDefaultsBeforeAnyOpen",
     gettersReportTheStaticDefaultsBeforeAnyOpen},
    {"InitialState.ResolutionRoundTripsExactlyThroughTheDoubleArgument",
     resolutionRoundTripsExactlyThroughTheDoubleArgument},
    {"ErrorText.ErrorCodesYieldTheirTexts", errorCodesYieldTheirTexts},
    {"ErrorText.AShortBufferCutsTheTextAndStaysTerminated",
     aShortBufferCutsTheTextAndStaysTerminated},
    {"Open.ARefusedCommandConnectionReportsWinerror10061AndKeepsTheStatus",
     aRefusedCommandConnectionReportsWinerror10061AndKeepsTheStatus},
};

const ostrel::wintest::Case kInstrumentCases[] = {
    {"HostRun.AWholeRunCalibratesAndDeliversThreeFilesThroughWin32Events",
     aWholeRunCalibratesAndDeliversThreeFilesThroughWin32Events},
    {"HostRun.CloseDuringAnEndlessRunEndsTheScanThreadWithinItsGrace",
     closeDuringAnEndlessRunEndsTheScanThreadWithinItsGrace},
    {"HostRun.StopAbortsARunRebootsTheInstrumentAndReopens",
     stopAbortsARunRebootsTheInstrumentAndReopens},
};

}  // namespace

int main(int argc, char** argv) {
    const bool offline = argc > 1 && std::string(argv[1]) == "--offline";
    std::string error;
    const std::string path = DriverLibrary::defaultPath();
    if (!library.load(path, &error)) {
        std::printf("FAILED: %s\n", error.c_str());
        return 1;
    }
    module = GetModuleHandleA("OstrelTCP.dll");
    std::printf("loaded %s (%d-bit)\n", path.c_str(), static_cast<int>(sizeof(void*) * 8));
    if (module == nullptr) {
        std::printf("FAILED: the library is not loaded under the name OstrelTCP.dll\n");
        return 1;
    }

    std::vector<ostrel::wintest::Case> cases(std::begin(kOfflineCases), std::end(kOfflineCases));
    if (offline) {
        std::printf("SKIPPED: the cases that need the simulator (--offline)\n");
    } else if (environment("OSTRELTCP_COMMAND_PORT").empty() ||
               environment("OSTRELTCP_DATA_PORT").empty() ||
               environment("OSTRELTCP_REBOOT_PORT").empty()) {
        std::printf(
            "FAILED: set OSTRELTCP_COMMAND_PORT, OSTRELTCP_DATA_PORT and "
            "OSTRELTCP_REBOOT_PORT to the simulator's ports, or pass --offline\n");
        return 1;
    } else {
        cases.insert(cases.end(), std::begin(kInstrumentCases), std::end(kInstrumentCases));
    }
    return ostrel::wintest::runCases(cases.data(), cases.size());
}
