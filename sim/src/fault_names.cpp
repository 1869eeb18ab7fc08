// Names of the faults and phases, for the program's options and for messages.
#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <string>
#include <string_view>

#include "ostrel_sim/simulator.h"

namespace ostrel::sim {
namespace {

template <typename Enum>
struct Name {
    Enum value;
    const char* full;
    const char* shortName;
};

constexpr std::array<Name<Fault>, 11> kFaultNames{{
    {Fault::None, "None", "none"},
    {Fault::ErrorReply, "ErrorReply", "error"},
    {Fault::LowerCaseError, "LowerCaseError", "lower-error"},
    {Fault::NoGreeting, "NoGreeting", "no-greeting"},
    {Fault::GreetingWithoutReady, "GreetingWithoutReady", "no-ready"},
    {Fault::Silence, "Silence", "silence"},
    {Fault::StallMidBlock, "StallMidBlock", "stall"},
    {Fault::ShortBlock, "ShortBlock", "short"},
    {Fault::CloseMidBlock, "CloseMidBlock", "close"},
    {Fault::Trickle, "Trickle", "trickle"},
    {Fault::Reset, "Reset", "reset"},
}};

constexpr std::array<Name<Phase>, 5> kPhaseNames{{
    {Phase::CommandGreeting, "CommandGreeting", "command-greeting"},
    {Phase::DataGreeting, "DataGreeting", "data-greeting"},
    {Phase::Command, "Command", "command"},
    {Phase::ScanSequence, "ScanSequence", "scan"},
    {Phase::DataTransfer, "DataTransfer", "data"},
}};

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

template <typename Enum, size_t N>
const char* nameOf(const std::array<Name<Enum>, N>& names, Enum value) {
    for (const auto& name : names) {
        if (name.value == value)
            return name.full;
    }
    return "?";
}

template <typename Enum, size_t N>
bool parseName(const std::array<Name<Enum>, N>& names, std::string_view text, Enum* value) {
    for (const auto& name : names) {
        if (sameIgnoringCase(text, name.full) || sameIgnoringCase(text, name.shortName)) {
            *value = name.value;
            return true;
        }
    }
    return false;
}

}  // namespace

const char* toString(Fault fault) {
    return nameOf(kFaultNames, fault);
}
const char* toString(Phase phase) {
    return nameOf(kPhaseNames, phase);
}
bool parseFault(std::string_view text, Fault* fault) {
    return parseName(kFaultNames, text, fault);
}
bool parsePhase(std::string_view text, Phase* phase) {
    return parseName(kPhaseNames, text, phase);
}

bool parseFaultSetting(std::string_view text, FaultSetting* rule, std::string* error) {
    std::array<std::string_view, 4> fields{};
    size_t fieldCount = 0;
    size_t start = 0;
    while (fieldCount < fields.size()) {
        size_t colon = fieldCount + 1 < fields.size() ? text.find(':', start) : text.npos;
        fields[fieldCount++] = text.substr(start, colon == text.npos ? colon : colon - start);
        if (colon == text.npos)
            break;
        start = colon + 1;
    }
    FaultSetting parsed;
    std::string problem;
    if (fieldCount < 2) {
        problem = "expected PHASE:FAULT[:PREFIX[:COUNT]]";
    } else if (!parsePhase(fields[0], &parsed.phase)) {
        problem = "unknown phase '" + std::string(fields[0]) + "'";
    } else if (!parseFault(fields[1], &parsed.fault)) {
        problem = "unknown fault '" + std::string(fields[1]) + "'";
    } else {
        parsed.prefix = fieldCount > 2 ? std::string(fields[2]) : std::string();
        if (fieldCount > 3) {
            std::string_view count = fields[3];
            auto [end, status] =
                std::from_chars(count.data(), count.data() + count.size(), parsed.count);
            if (status != std::errc() || end != count.data() + count.size() || parsed.count < -1) {
                problem = "bad count '" + std::string(count) + "'";
            }
        }
    }
    if (!problem.empty()) {
        if (error)
            *error = problem;
        return false;
    }
    *rule = parsed;
    return true;
}

}  // namespace ostrel::sim
