#include "diag/trace.h"

#include <cstdarg>
#include <cstdio>

#include "platform/debug_output.h"
#include "platform/library_entry.h"

namespace ostrel {

int trace(const char* format, ...) {
    char record[kTraceBufferSize];
    va_list args;
    va_start(args, format);
    const int formatted = std::vsnprintf(record, kTraceMaxText + 1, format, args);
    va_end(args);

    int length = formatted;
    int result = formatted;
    if (formatted < 0) {
        length = 0;
        record[0] = '\0';
    } else if (formatted > kTraceMaxText) {
        length = kTraceMaxText;
        result = -formatted;
    }
    record[length] = '\n';
    record[length + 1] = '\0';
    platform::debugOutput(record);
    return result;
}

void onLibraryEvent(LibraryEvent event) {
    switch (event) {
        case LibraryEvent::ProcessDetach:
            trace("OstrelTCP: DLL PROCESS DETACH");
            break;
        case LibraryEvent::ProcessAttach:
            trace("OstrelTCP: DLL PROCESS ATTACH");
            break;
        case LibraryEvent::ThreadAttach:
            trace("OstrelTCP: DLL THREAD ATTACH");
            break;
        case LibraryEvent::ThreadDetach:
            trace("OstrelTCP: DLL THREAD DETACH");
            break;
    }
}

}  // namespace ostrel
