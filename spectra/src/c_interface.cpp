// The C interface over the C++ API: names become enumerations, exceptions never cross.
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "ostrel_spectra.h"
#include "ostrel_spectra/spectra.h"

namespace {

using namespace ostrel::spectra;

int32_t fail(int32_t code, const std::string& text, char* error, size_t errorSize) {
    if (error != nullptr && errorSize > 0) {
        const size_t length = std::min(text.size(), errorSize - 1);
        std::memcpy(error, text.data(), length);
        error[length] = '\0';
    }
    return code;
}

bool convert(const ostrel_spectra_settings* from, Settings* to, std::string* problem) {
    to->laserWavenumber = from->laser_wavenumber;
    to->undersampling = from->undersampling;
    to->zeroFill = from->zero_fill;
    to->phaseResolution = from->phase_resolution;
    to->rangeLow = from->range_low;
    to->rangeHigh = from->range_high;
    if (from->apodization != nullptr && !parseApodization(from->apodization, &to->apodization)) {
        *problem = std::string("unknown apodization \"") + from->apodization + "\"";
        return false;
    }
    if (from->phase != nullptr && !parsePhaseMode(from->phase, &to->phase)) {
        *problem = std::string("unknown phase mode \"") + from->phase + "\"";
        return false;
    }
    *problem = checkSettings(*to);
    return problem->empty();
}

// One processor per thread, made again only when the settings change.
struct ThreadProcessor {
    std::optional<Processor> processor;
    Spectrum spectrum;
};

bool sameSettings(const Settings& a, const Settings& b) {
    return a.laserWavenumber == b.laserWavenumber && a.undersampling == b.undersampling &&
           a.apodization == b.apodization && a.zeroFill == b.zeroFill && a.phase == b.phase &&
           a.phaseResolution == b.phaseResolution && a.rangeLow == b.rangeLow &&
           a.rangeHigh == b.rangeHigh;
}

}  // namespace

extern "C" {

void ostrel_spectra_default_settings(ostrel_spectra_settings* settings) {
    if (settings == nullptr) {
        return;
    }
    const Settings defaults;
    settings->laser_wavenumber = defaults.laserWavenumber;
    settings->undersampling = defaults.undersampling;
    settings->apodization = "happ-genzel";
    settings->zero_fill = defaults.zeroFill;
    settings->phase = "mertz";
    settings->phase_resolution = defaults.phaseResolution;
    settings->range_low = defaults.rangeLow;
    settings->range_high = defaults.rangeHigh;
}

int32_t ostrel_spectra_max_values(const ostrel_spectra_settings* settings, size_t points,
                                  size_t* count) {
    Settings converted;
    std::string problem;
    if (settings == nullptr || count == nullptr || !convert(settings, &converted, &problem)) {
        return OSTREL_SPECTRA_ERR_ARGUMENT;
    }
    *count = transformLength(converted, points) / 2 + 1;
    return OSTREL_SPECTRA_OK;
}

int32_t ostrel_spectra_single_beam(const ostrel_spectra_settings* settings, const double* samples,
                                   size_t points, double* values, size_t capacity,
                                   ostrel_spectra_info* info, char* error, size_t error_size) {
    if (settings == nullptr || samples == nullptr || info == nullptr ||
        (values == nullptr && capacity > 0)) {
        return fail(OSTREL_SPECTRA_ERR_ARGUMENT, "a required pointer is null", error, error_size);
    }
    Settings converted;
    std::string problem;
    if (!convert(settings, &converted, &problem)) {
        return fail(OSTREL_SPECTRA_ERR_ARGUMENT, problem, error, error_size);
    }
    try {
        thread_local ThreadProcessor local;
        if (!local.processor || !sameSettings(local.processor->settings(), converted)) {
            local.processor.emplace(converted);
        }
        if (!local.processor->process(samples, points, &local.spectrum, &problem)) {
            return fail(OSTREL_SPECTRA_ERR_INPUT, problem, error, error_size);
        }
        const Spectrum& spectrum = local.spectrum;
        info->first_wavenumber = spectrum.firstWavenumber;
        info->wavenumber_step = spectrum.wavenumberStep;
        info->count = spectrum.values.size();
        info->zpd_index = spectrum.zpdIndex;
        info->resolution = spectrum.resolution;
        if (spectrum.values.size() > capacity) {
            return fail(OSTREL_SPECTRA_ERR_CAPACITY,
                        "the output holds " + std::to_string(capacity) + " values; " +
                            std::to_string(spectrum.values.size()) + " are needed",
                        error, error_size);
        }
        std::copy(spectrum.values.begin(), spectrum.values.end(), values);
    } catch (const std::bad_alloc&) {
        return fail(OSTREL_SPECTRA_ERR_INPUT, "out of memory", error, error_size);
    }
    return OSTREL_SPECTRA_OK;
}

}  // extern "C"
