// The C interface over the C++ API: names become enumerations, exceptions never cross.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>

#include "ostrel_spectra.h"
#include "ostrel_spectra/quality.h"
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
    if (from->detector_low != 0.0 || from->detector_high != 0.0) {
        to->detectorLow = from->detector_low;
        to->detectorHigh = from->detector_high;
    }
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
    HalfQuality quality;
};

bool sameSettings(const Settings& a, const Settings& b) {
    return a.laserWavenumber == b.laserWavenumber && a.undersampling == b.undersampling &&
           a.apodization == b.apodization && a.zeroFill == b.zeroFill && a.phase == b.phase &&
           a.phaseResolution == b.phaseResolution && a.rangeLow == b.rangeLow &&
           a.rangeHigh == b.rangeHigh && a.detectorLow == b.detectorLow &&
           a.detectorHigh == b.detectorHigh;
}

// Copies at most size - 1 characters and always terminates.
void copyText(std::string_view text, char* to, size_t size) {
    const size_t length = std::min(text.size(), size - 1);
    std::memcpy(to, text.data(), length);
    to[length] = '\0';
}

void toC(const Gate& gate, ostrel_spectra_gate* to) {
    copyText(gate.name, to->name, sizeof to->name);
    to->status = static_cast<int32_t>(gate.status);
    to->value = gate.value;
    to->threshold = gate.threshold;
    copyText(gate.reason, to->reason, sizeof to->reason);
}

// Processes one half with the calling thread's processor; *spectrum and *quality (when not null)
// point into its storage afterwards.
int32_t processHalf(const ostrel_spectra_settings* settings, const double* samples, size_t points,
                    bool withQuality, const Spectrum** spectrum, const HalfQuality** quality,
                    char* error, size_t errorSize) {
    Settings converted;
    std::string problem;
    if (!convert(settings, &converted, &problem)) {
        return fail(OSTREL_SPECTRA_ERR_ARGUMENT, problem, error, errorSize);
    }
    thread_local ThreadProcessor local;
    if (!local.processor || !sameSettings(local.processor->settings(), converted)) {
        local.processor.emplace(converted);
    }
    if (!local.processor->process(samples, points, &local.spectrum,
                                  withQuality ? &local.quality : nullptr, &problem)) {
        return fail(OSTREL_SPECTRA_ERR_INPUT, problem, error, errorSize);
    }
    *spectrum = &local.spectrum;
    *quality = &local.quality;
    return OSTREL_SPECTRA_OK;
}

int32_t copySpectrum(const Spectrum& spectrum, double* values, size_t capacity,
                     ostrel_spectra_info* info, char* error, size_t errorSize) {
    info->first_wavenumber = spectrum.firstWavenumber;
    info->wavenumber_step = spectrum.wavenumberStep;
    info->count = spectrum.values.size();
    info->zpd_index = spectrum.zpdIndex;
    info->resolution = spectrum.resolution;
    if (spectrum.values.size() > capacity) {
        return fail(OSTREL_SPECTRA_ERR_CAPACITY,
                    "the output holds " + std::to_string(capacity) + " values; " +
                        std::to_string(spectrum.values.size()) + " are needed",
                    error, errorSize);
    }
    std::copy(spectrum.values.begin(), spectrum.values.end(), values);
    return OSTREL_SPECTRA_OK;
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
    settings->detector_low = defaults.detectorLow;
    settings->detector_high = defaults.detectorHigh;
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
    try {
        const Spectrum* spectrum = nullptr;
        const HalfQuality* quality = nullptr;
        const int32_t result =
            processHalf(settings, samples, points, false, &spectrum, &quality, error, error_size);
        if (result != OSTREL_SPECTRA_OK) {
            return result;
        }
        return copySpectrum(*spectrum, values, capacity, info, error, error_size);
    } catch (const std::bad_alloc&) {
        return fail(OSTREL_SPECTRA_ERR_INPUT, "out of memory", error, error_size);
    }
}

int32_t ostrel_spectra_single_beam_gated(const ostrel_spectra_settings* settings,
                                         const double* samples, size_t points, double* values,
                                         size_t capacity, ostrel_spectra_info* info,
                                         ostrel_spectra_gate* gates, size_t gate_capacity,
                                         size_t* gate_count, int32_t* worst, char* error,
                                         size_t error_size) {
    if (settings == nullptr || samples == nullptr || info == nullptr || gate_count == nullptr ||
        (values == nullptr && capacity > 0) || (gates == nullptr && gate_capacity > 0)) {
        return fail(OSTREL_SPECTRA_ERR_ARGUMENT, "a required pointer is null", error, error_size);
    }
    try {
        const Spectrum* spectrum = nullptr;
        const HalfQuality* quality = nullptr;
        const int32_t result =
            processHalf(settings, samples, points, true, &spectrum, &quality, error, error_size);
        if (result != OSTREL_SPECTRA_OK) {
            return result;
        }
        const size_t available = quality->gates.size();
        *gate_count = available;
        for (size_t i = 0; i < std::min(available, gate_capacity); ++i) {
            toC(quality->gates[i], &gates[i]);
        }
        if (worst != nullptr) {
            *worst = static_cast<int32_t>(quality->worst);
        }
        const int32_t copied = copySpectrum(*spectrum, values, capacity, info, error, error_size);
        if (copied != OSTREL_SPECTRA_OK) {
            return copied;
        }
        if (gate_capacity < available) {
            return fail(OSTREL_SPECTRA_ERR_CAPACITY,
                        "the gates hold " + std::to_string(gate_capacity) + " entries; " +
                            std::to_string(available) + " are needed",
                        error, error_size);
        }
    } catch (const std::bad_alloc&) {
        return fail(OSTREL_SPECTRA_ERR_INPUT, "out of memory", error, error_size);
    }
    return OSTREL_SPECTRA_OK;
}

int32_t ostrel_spectra_zpd_agreement(double forward_zpd, double reverse_zpd, size_t points,
                                     ostrel_spectra_gate* gate) {
    if (gate == nullptr || !std::isfinite(forward_zpd) || !std::isfinite(reverse_zpd)) {
        return OSTREL_SPECTRA_ERR_ARGUMENT;
    }
    try {
        thread_local Gate agreement;
        evaluateZpdAgreement(forward_zpd, reverse_zpd, points, &agreement);
        toC(agreement, gate);
    } catch (const std::bad_alloc&) {
        return OSTREL_SPECTRA_ERR_INPUT;
    }
    return OSTREL_SPECTRA_OK;
}

int32_t ostrel_spectra_hint(const ostrel_spectra_gate* gates, size_t gate_count, double zpd_index,
                            size_t points, int32_t reverse, int64_t current_skip, char* text,
                            size_t text_size) {
    if ((gates == nullptr && gate_count > 0) || text == nullptr || text_size == 0 ||
        gate_count > OSTREL_SPECTRA_MAX_GATES) {
        return OSTREL_SPECTRA_ERR_ARGUMENT;
    }
    try {
        HalfQuality quality;
        quality.points = points;
        quality.zpdIndex = zpd_index;
        for (size_t i = 0; i < gate_count; ++i) {
            const ostrel_spectra_gate& from = gates[i];
            if (from.status < OSTREL_SPECTRA_GATE_OK || from.status > OSTREL_SPECTRA_GATE_FAIL) {
                return OSTREL_SPECTRA_ERR_ARGUMENT;
            }
            Gate gate;
            gate.name.assign(from.name, strnlen(from.name, sizeof from.name));
            gate.status = static_cast<GateStatus>(from.status);
            gate.value = from.value;
            gate.threshold = from.threshold;
            quality.gates.push_back(std::move(gate));
        }
        copyText(hint(quality, reverse != 0 ? HalfDirection::Reverse : HalfDirection::Forward,
                      current_skip),
                 text, text_size);
    } catch (const std::bad_alloc&) {
        return OSTREL_SPECTRA_ERR_INPUT;
    }
    return OSTREL_SPECTRA_OK;
}

}  // extern "C"
