// One-line trace records on the debug-output channel.
#pragma once

namespace ostrel {

// Formats one record (at most 1022 characters; longer text is cut), appends "\n" and hands it
// to the debug-output channel as one record. Returns the count of characters formatted, negative
// when the text had to be cut. Allocates nothing.
int trace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

inline constexpr int kTraceBufferSize = 1024;
inline constexpr int kTraceMaxText = 1022;

}  // namespace ostrel
