#include "ostrel_session/settings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>

#include "ostrel_session/events.h"
#include "ostreltcp.h"

namespace ostrel::session {
namespace {

bool finite(double value) {
    return std::isfinite(value);
}

// How one JSON member is read into the settings: false with *problem when its type or text is
// wrong (the range is checkSettings' business).
using MemberReader = std::function<bool(const JsonValue&, Settings*, std::string*)>;

MemberReader integer(int AcquisitionSettings::*field) {
    return [field](const JsonValue& value, Settings* settings, std::string* problem) {
        if (!value.is_number_integer() || value.get<int64_t>() < INT32_MIN ||
            value.get<int64_t>() > INT32_MAX) {
            *problem = "must be a whole number";
            return false;
        }
        settings->acquisition.*field = static_cast<int>(value.get<int64_t>());
        return true;
    };
}

MemberReader mebibytes(int OutputSettings::*field) {
    return [field](const JsonValue& value, Settings* settings, std::string* problem) {
        if (!value.is_number_integer() || value.get<int64_t>() < 0 ||
            value.get<int64_t>() > INT32_MAX) {
            *problem = "must be a whole number of MiB";
            return false;
        }
        settings->outputs.*field = static_cast<int>(value.get<int64_t>());
        return true;
    };
}

MemberReader spectralInteger(int ostrel::spectra::Settings::*field) {
    return [field](const JsonValue& value, Settings* settings, std::string* problem) {
        if (!value.is_number_integer() || value.get<int64_t>() < INT32_MIN ||
            value.get<int64_t>() > INT32_MAX) {
            *problem = "must be a whole number";
            return false;
        }
        settings->spectra.*field = static_cast<int>(value.get<int64_t>());
        return true;
    };
}

MemberReader spectralNumber(double ostrel::spectra::Settings::*field) {
    return [field](const JsonValue& value, Settings* settings, std::string* problem) {
        if (!value.is_number()) {
            *problem = "must be a number";
            return false;
        }
        settings->spectra.*field = value.get<double>();
        return true;
    };
}

const std::vector<std::pair<const char*, MemberReader>>& memberReaders() {
    static const std::vector<std::pair<const char*, MemberReader>> readers = {
        {"points", integer(&AcquisitionSettings::points)},
        {"scans", integer(&AcquisitionSettings::scans)},
        {"direction", integer(&AcquisitionSettings::direction)},
        {"gain", integer(&AcquisitionSettings::gain)},
        {"skip", integer(&AcquisitionSettings::skip)},
        {"laser_wavenumber", spectralNumber(&ostrel::spectra::Settings::laserWavenumber)},
        {"undersampling", spectralInteger(&ostrel::spectra::Settings::undersampling)},
        {"apodization",
         [](const JsonValue& value, Settings* settings, std::string* problem) {
             if (!value.is_string() ||
                 !ostrel::spectra::parseApodization(value.get<std::string>(),
                                                    &settings->spectra.apodization)) {
                 *problem = "must be one of the window names (boxcar, happ-genzel, ...)";
                 return false;
             }
             return true;
         }},
        {"zero_fill", spectralInteger(&ostrel::spectra::Settings::zeroFill)},
        {"phase",
         [](const JsonValue& value, Settings* settings, std::string* problem) {
             if (!value.is_string() || !ostrel::spectra::parsePhaseMode(value.get<std::string>(),
                                                                        &settings->spectra.phase)) {
                 *problem = "must be mertz, magnitude or power";
                 return false;
             }
             return true;
         }},
        {"phase_resolution", spectralNumber(&ostrel::spectra::Settings::phaseResolution)},
        {"range_low", spectralNumber(&ostrel::spectra::Settings::rangeLow)},
        {"range_high", spectralNumber(&ostrel::spectra::Settings::rangeHigh)},
        {"format",
         [](const JsonValue& value, Settings* settings, std::string* problem) {
             if (!value.is_string()) {
                 *problem = "must be a list such as \"csv,jcamp\"";
                 return false;
             }
             return parseOutputFormats(value.get<std::string>(), &settings->outputs.formats,
                                       problem);
         }},
        {"jcamp_form",
         [](const JsonValue& value, Settings* settings, std::string* problem) {
             if (!value.is_string() ||
                 (value.get<std::string>() != "affn" && value.get<std::string>() != "difdup")) {
                 *problem = "must be affn or difdup";
                 return false;
             }
             settings->outputs.jcampForm =
                 value.get<std::string>() == "difdup" ? JcampForm::Difdup : JcampForm::Affn;
             return true;
         }},
        {"background_threshold_percent",
         [](const JsonValue& value, Settings* settings, std::string* problem) {
             if (!value.is_number()) {
                 *problem = "must be a number";
                 return false;
             }
             settings->outputs.backgroundThresholdPercent = value.get<double>();
             return true;
         }},
        {"queue_memory_mib", mebibytes(&OutputSettings::queueMemoryMiB)},
        {"queue_disk_mib", mebibytes(&OutputSettings::queueDiskMiB)},
        {"directions",
         [](const JsonValue& value, Settings* settings, std::string* problem) {
             if (!value.is_string() ||
                 !parseDirections(value.get<std::string>(), &settings->outputs.directions)) {
                 *problem = "must be combined, separate or both";
                 return false;
             }
             return true;
         }},
        {"plot",
         [](const JsonValue& value, Settings* settings, std::string* problem) {
             if (!value.is_boolean()) {
                 *problem = "must be true or false";
                 return false;
             }
             settings->outputs.plot = value.get<bool>();
             return true;
         }},
    };
    return readers;
}

}  // namespace

FieldErrors checkSettings(const Settings& settings) {
    FieldErrors errors;
    const AcquisitionSettings& acquisition = settings.acquisition;
    if (acquisition.points < 1 || acquisition.points > OSTRELTCP_MAX_POINTS) {
        errors["points"] =
            "points must be 1 to " + std::to_string(OSTRELTCP_MAX_POINTS) + " per direction";
    }
    if (acquisition.scans < 1) {
        errors["scans"] = "scans must be 1 or more";
    }
    if (acquisition.direction < 1 || acquisition.direction > 3) {
        errors["direction"] = "direction must be 1 (forward), 2 (reverse) or 3 (both)";
    }
    if (acquisition.gain < 0) {
        errors["gain"] = "gain must be 0 or more";
    }
    if (acquisition.skip < 0) {
        errors["skip"] = "skip points must be 0 or more";
    }
    const ostrel::spectra::Settings& spectra = settings.spectra;
    if (!finite(spectra.laserWavenumber) || spectra.laserWavenumber <= 0.0) {
        errors["laser_wavenumber"] = "the laser wavenumber must be a number above 0 cm-1";
    }
    if (spectra.undersampling < 1 || spectra.undersampling > 64) {
        errors["undersampling"] = "the undersampling ratio must be 1 to 64";
    }
    if (spectra.zeroFill != 1 && spectra.zeroFill != 2 && spectra.zeroFill != 4 &&
        spectra.zeroFill != 8) {
        errors["zero_fill"] = "the zero-fill factor must be 1, 2, 4 or 8";
    }
    if (!finite(spectra.phaseResolution) || spectra.phaseResolution <= 0.0) {
        errors["phase_resolution"] = "the phase resolution must be a number above 0 cm-1";
    }
    if (std::isnan(spectra.rangeLow)) {
        errors["range_low"] = "the range's low end must be a number of cm-1";
    }
    if (std::isnan(spectra.rangeHigh) || spectra.rangeHigh <= spectra.rangeLow) {
        errors["range_high"] = "the range's high end must be above its low end";
    }
    if (errors.empty()) {
        // Whatever the spectral library refuses beyond the checks above.
        const std::string problem = ostrel::spectra::checkSettings(spectra);
        if (!problem.empty()) {
            errors["spectra"] = problem;
        }
    }
    const OutputSettings& outputs = settings.outputs;
    if (!outputs.formats.csv && !outputs.formats.json && !outputs.formats.jcamp &&
        !outputs.formats.hdf5) {
        errors["format"] = "at least one format is needed";
    }
    if (outputs.queueMemoryMiB < 1) {
        errors["queue_memory_mib"] = "the queue's memory must be 1 MiB or more";
    }
    if (outputs.queueDiskMiB < 0) {
        errors["queue_disk_mib"] = "the queue's disk share must be 0 MiB (none) or more";
    }
    if (outputs.writers < 0 || outputs.writers > 64) {
        errors["writers"] = "writers must be 0 (one per core) to 64";
    }
    if (!finite(outputs.backgroundThresholdPercent) || outputs.backgroundThresholdPercent < 0.0 ||
        outputs.backgroundThresholdPercent > 100.0) {
        errors["background_threshold_percent"] = "the background threshold must be 0 to 100 %";
    }
    return errors;
}

JsonValue settingsJson(const Settings& settings) {
    JsonValue json;
    const AcquisitionSettings& acquisition = settings.acquisition;
    json["points"] = acquisition.points;
    json["scans"] = acquisition.scans;
    json["direction"] = acquisition.direction;
    json["gain"] = acquisition.gain;
    json["skip"] = acquisition.skip;
    const ostrel::spectra::Settings& spectra = settings.spectra;
    json["laser_wavenumber"] = spectra.laserWavenumber;
    json["undersampling"] = spectra.undersampling;
    json["apodization"] = std::string(ostrel::spectra::name(spectra.apodization));
    json["zero_fill"] = spectra.zeroFill;
    json["phase"] = std::string(ostrel::spectra::name(spectra.phase));
    json["phase_resolution"] = spectra.phaseResolution;
    json["range_low"] = spectra.rangeLow;
    json["range_high"] = std::min(spectra.rangeHigh, ostrel::spectra::highestWavenumber(spectra));
    json["format"] = outputFormatsText(settings.outputs.formats);
    json["jcamp_form"] = settings.outputs.jcampForm == JcampForm::Difdup ? "difdup" : "affn";
    json["background_threshold_percent"] = settings.outputs.backgroundThresholdPercent;
    json["plot"] = settings.outputs.plot;
    json["queue_memory_mib"] = settings.outputs.queueMemoryMiB;
    json["queue_disk_mib"] = settings.outputs.queueDiskMiB;
    json["directions"] = std::string(name(settings.outputs.directions));
    return json;
}

bool applySettingsJson(const JsonValue& json, Settings* settings, FieldErrors* errors) {
    if (!json.is_object()) {
        (*errors)["settings"] = "the settings must be a JSON object";
        return false;
    }
    Settings changed = *settings;
    FieldErrors found;
    for (const auto& [key, value] : json.items()) {
        const auto& readers = memberReaders();
        const auto reader =
            std::find_if(readers.begin(), readers.end(),
                         [&key = key](const auto& entry) { return key == entry.first; });
        if (reader == readers.end()) {
            found[key] = "unknown setting";
            continue;
        }
        std::string problem;
        if (!reader->second(value, &changed, &problem)) {
            found[key] = problem;
        }
    }
    if (found.empty()) {
        found = checkSettings(changed);
    }
    if (!found.empty()) {
        errors->insert(found.begin(), found.end());
        return false;
    }
    *settings = changed;
    return true;
}

std::string describeSpectralSettings(const ostrel::spectra::Settings& settings) {
    char text[256];
    std::snprintf(text, sizeof text, "%s, %s, zero fill %d, phase resolution %g cm-1",
                  std::string(ostrel::spectra::name(settings.phase)).c_str(),
                  std::string(ostrel::spectra::name(settings.apodization)).c_str(),
                  settings.zeroFill, settings.phaseResolution);
    return text;
}

std::string_view name(Directions directions) {
    switch (directions) {
        case Directions::Combined:
            return "combined";
        case Directions::Separate:
            return "separate";
        case Directions::Both:
            break;
    }
    return "both";
}

bool parseDirections(std::string_view text, Directions* directions) {
    for (const Directions each : {Directions::Both, Directions::Combined, Directions::Separate}) {
        if (text == name(each)) {
            *directions = each;
            return true;
        }
    }
    return false;
}

std::string_view name(RunKind kind) {
    switch (kind) {
        case RunKind::Acquire:
            return "acquire";
        case RunKind::Align:
            return "align";
        case RunKind::Background:
            return "background";
        case RunKind::Sample:
            return "sample";
        case RunKind::Series:
            return "series";
    }
    return "acquire";
}

bool parseRunKind(std::string_view text, RunKind* kind) {
    for (const RunKind each : {RunKind::Acquire, RunKind::Align, RunKind::Background,
                               RunKind::Sample, RunKind::Series}) {
        if (text == name(each)) {
            *kind = each;
            return true;
        }
    }
    return false;
}

}  // namespace ostrel::session
