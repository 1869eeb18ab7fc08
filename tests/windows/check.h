// A minimal test harness for the Windows test host (there is no GoogleTest for MinGW): named
// cases, CHECK macros that report the failing expression and carry on, and a summary.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

namespace ostrel::wintest {

struct Case {
    const char* name;
    void (*body)();
};

// Failures of the case that is running, and of the whole program.
inline int caseFailures = 0;
inline int totalFailures = 0;

inline void fail(const char* file, int line, const std::string& what) {
    std::printf("    %s:%d: %s\n", file, line, what.c_str());
    ++caseFailures;
    ++totalFailures;
}

inline std::string describe(long long value) {
    return std::to_string(value);
}
inline std::string describe(unsigned long long value) {
    return std::to_string(value);
}
inline std::string describe(double value) {
    return std::to_string(value);
}
inline std::string describe(const std::string& value) {
    return "\"" + value + "\"";
}
inline std::string describe(const char* value) {
    return describe(std::string(value));
}

template <typename T>
std::string describeAny(const T& value) {
    if constexpr (std::is_floating_point_v<T>) {
        return describe(static_cast<double>(value));
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        return describe(static_cast<long long>(value));
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        return describe(static_cast<unsigned long long>(value));
    } else {
        return describe(value);
    }
}

// Runs every case, prints one line per case and returns the process's exit code.
inline int runCases(const Case* cases, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        caseFailures = 0;
        std::printf("[ RUN  ] %s\n", cases[i].name);
        std::fflush(stdout);
        cases[i].body();
        std::printf("[ %s ] %s\n", caseFailures == 0 ? " OK " : "FAIL", cases[i].name);
        std::fflush(stdout);
    }
    std::printf("%s: %d failure(s) in %zu case(s)\n", totalFailures == 0 ? "PASSED" : "FAILED",
                totalFailures, count);
    return totalFailures == 0 ? 0 : 1;
}

}  // namespace ostrel::wintest

#define CHECK(condition)                                                          \
    do {                                                                          \
        if (!(condition)) {                                                       \
            ::ostrel::wintest::fail(__FILE__, __LINE__, "CHECK(" #condition ")"); \
        }                                                                         \
    } while (0)

#define CHECK_EQ(actual, expected)                                                                 \
    do {                                                                                           \
        const auto& actualValue = (actual);                                                        \
        const auto& expectedValue = (expected);                                                    \
        if (!(actualValue == expectedValue)) {                                                     \
            ::ostrel::wintest::fail(__FILE__, __LINE__,                                            \
                                    #actual " is " + ::ostrel::wintest::describeAny(actualValue) + \
                                        ", expected " +                                            \
                                        ::ostrel::wintest::describeAny(expectedValue));            \
        }                                                                                          \
    } while (0)

// Ends the case at once: for preconditions without which the rest makes no sense.
#define REQUIRE(condition)                                                          \
    do {                                                                            \
        if (!(condition)) {                                                         \
            ::ostrel::wintest::fail(__FILE__, __LINE__, "REQUIRE(" #condition ")"); \
            return;                                                                 \
        }                                                                           \
    } while (0)
