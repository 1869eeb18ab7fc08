#include "device_config.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace ostrel::tango {
namespace {

struct Source {
    const char* property;
    const char* environment;
};

constexpr Source kAddress{"InstrumentAddress", "OSTREL_TANGO_INSTRUMENT_ADDRESS"};
constexpr Source kLaser{"LaserWavenumber", "OSTREL_TANGO_LASER_WAVENUMBER"};
constexpr Source kUndersampling{"Undersampling", "OSTREL_TANGO_UNDERSAMPLING"};
constexpr Source kDataDirectory{"DataDirectory", "OSTREL_TANGO_DATA_DIRECTORY"};

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::string(value);
}

// The property's text, else its environment variable's; with where it came from for messages.
std::optional<std::string> lookUp(const PropertyTexts& properties, const Source& source,
                                  std::string* from) {
    auto found = properties.find(source.property);
    if (found != properties.end()) {
        *from = std::string("property ") + source.property;
        return found->second;
    }
    *from = std::string("environment variable ") + source.environment;
    return environment(source.environment);
}

bool parseNumber(const std::string& text, double* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(parsed)) {
        return false;
    }
    *value = parsed;
    return true;
}

bool parseCount(const std::string& text, int* value) {
    double parsed = 0.0;
    if (!parseNumber(text, &parsed) || parsed != std::floor(parsed) || parsed < 0.0 ||
        parsed > 1.0e9) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(',', start);
        const size_t end = comma == std::string::npos ? text.size() : comma;
        if (end > start) {
            items.push_back(text.substr(start, end - start));
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return items;
}

std::string defaultDataDirectory() {
    const std::optional<std::string> home = environment("HOME");
    return (home ? *home : std::string("/tmp")) + "/ostrel-runs";
}

}  // namespace

const std::vector<std::string>& propertyNames() {
    static const std::vector<std::string> names = {
        kAddress.property, kLaser.property, kUndersampling.property, kDataDirectory.property};
    return names;
}

bool makeDeviceConfig(const PropertyTexts& properties, DeviceConfig* config, std::string* error) {
    DeviceConfig made;
    std::string from;
    if (auto text = lookUp(properties, kAddress, &from)) {
        made.instrumentAddress = *text;
    }
    if (auto text = lookUp(properties, kLaser, &from)) {
        if (!parseNumber(*text, &made.laserWavenumber) || !(made.laserWavenumber > 0.0)) {
            *error = from + ": '" + *text + "' is not a wavenumber above 0 cm^-1";
            return false;
        }
    }
    if (auto text = lookUp(properties, kUndersampling, &from)) {
        if (!parseCount(*text, &made.undersampling) || made.undersampling < 1) {
            *error = from + ": '" + *text + "' is not a whole number of 1 or more";
            return false;
        }
    }
    made.dataDirectory = defaultDataDirectory();
    if (auto text = lookUp(properties, kDataDirectory, &from)) {
        made.dataDirectory = *text;
    }
    struct Timing {
        const char* variable;
        double* value;
    };
    for (const Timing& timing : {Timing{"OSTREL_TANGO_SIM_SCAN_MS", &made.simulator.scanMsAt16k},
                                 Timing{"OSTREL_TANGO_SIM_READY_MS", &made.simulator.readyMs}}) {
        if (auto text = environment(timing.variable)) {
            if (!parseNumber(*text, timing.value) || *timing.value < 0.0) {
                *error = std::string("environment variable ") + timing.variable + ": '" + *text +
                         "' is not a time of 0 ms or more";
                return false;
            }
        }
    }
    // Without a sample of its own the simulator's sample is one band, so that a background then
    // a sample show an absorbance.
    made.simulatorSample = {"1600:12:0.5"};
    if (auto text = environment("OSTREL_TANGO_SIM_SAMPLE")) {
        made.simulatorSample = *text == "none" ? std::vector<std::string>{} : splitList(*text);
    }
    // Faults the simulator injects ("PHASE:FAULT[:PREFIX[:COUNT]]"), for tests of the FAULT state.
    if (auto text = environment("OSTREL_TANGO_SIM_FAULTS")) {
        made.simulator.faults = splitList(*text);
    }
    *config = std::move(made);
    return true;
}

}  // namespace ostrel::tango
