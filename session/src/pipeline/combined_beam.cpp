#include "pipeline/combined_beam.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace ostrel::session {
namespace {

// Robust deviation (1.4826 x the median absolute deviation) of the values outside the band the
// detector sees: there a single beam is noise only.
double outOfBandNoise(const ostrel::spectra::Spectrum& spectrum,
                      const ostrel::spectra::Settings& settings, std::vector<double>* scratch) {
    scratch->clear();
    const double highest = ostrel::spectra::highestWavenumber(settings);
    for (size_t j = 0; j < spectrum.values.size(); ++j) {
        const double wavenumber = spectrum.wavenumber(j);
        if ((wavenumber < settings.detectorLow || wavenumber > settings.detectorHigh) &&
            wavenumber < highest && std::isfinite(spectrum.values[j])) {
            scratch->push_back(spectrum.values[j]);
        }
    }
    if (scratch->size() < 8) {
        return 0.0;
    }
    const auto middle = scratch->begin() + static_cast<std::ptrdiff_t>(scratch->size() / 2);
    std::nth_element(scratch->begin(), middle, scratch->end());
    const double median = *middle;
    for (double& value : *scratch) {
        value = std::fabs(value - median);
    }
    std::nth_element(scratch->begin(), middle, scratch->end());
    return 1.4826 * *middle;
}

double peakMagnitude(const std::vector<double>& values) {
    double peak = 0.0;
    for (const double value : values) {
        if (std::isfinite(value)) {
            peak = std::max(peak, std::fabs(value));
        }
    }
    return peak;
}

// Whether the half fails a gate of its own. zpd_agreement is the pair's: when one half is lost it
// fails both, and must not cost the sound half its place.
bool failsItsOwnGates(const ostrel::spectra::HalfQuality& quality) {
    for (const ostrel::spectra::Gate& gate : quality.gates) {
        if (gate.status == ostrel::spectra::GateStatus::Fail &&
            gate.name != ostrel::spectra::kZpdAgreementGate) {
            return true;
        }
    }
    return false;
}

}  // namespace

void combineHalves(const ostrel::spectra::Spectrum& forward,
                   const ostrel::spectra::Spectrum& reverse,
                   const ostrel::spectra::HalfQuality& forwardQuality,
                   const ostrel::spectra::HalfQuality& reverseQuality,
                   const ostrel::spectra::Settings& settings, CombinedBeam* combined) {
    using ostrel::spectra::GateStatus;
    const size_t count = std::min(forward.values.size(), reverse.values.size());
    const bool forwardFails = failsItsOwnGates(forwardQuality);
    const bool reverseFails = failsItsOwnGates(reverseQuality);
    combined->values.resize(count);
    combined->note.clear();
    combined->disagreement = 0.0;
    if (forwardFails != reverseFails) {
        const ostrel::spectra::Spectrum& kept = forwardFails ? reverse : forward;
        std::copy(kept.values.begin(), kept.values.begin() + static_cast<std::ptrdiff_t>(count),
                  combined->values.begin());
        combined->used = forwardFails ? "reverse" : "forward";
        combined->note = std::string("the ") + (forwardFails ? "forward" : "reverse") +
                         " half failed its quality gates and was left out: this is the " +
                         combined->used + " half alone";
        return;
    }
    combined->used = "both";
    for (size_t j = 0; j < count; ++j) {
        combined->values[j] = 0.5 * (forward.values[j] + reverse.values[j]);
    }
    if (forwardFails) {
        combined->note = "both halves failed their quality gates: do not trust this spectrum";
        return;
    }
    if (forwardQuality.worst == GateStatus::Fail) {
        combined->note = "the halves do not agree on where ZPD is: do not trust this spectrum";
        return;
    }
    std::vector<double> scratch;
    scratch.reserve(count);
    const double floor =
        kHalvesNoiseFloor * std::max(peakMagnitude(forward.values), peakMagnitude(reverse.values));
    const double forwardNoise = std::max(outOfBandNoise(forward, settings, &scratch), floor);
    const double reverseNoise = std::max(outOfBandNoise(reverse, settings, &scratch), floor);
    const double expected = std::sqrt(forwardNoise * forwardNoise + reverseNoise * reverseNoise);
    double sum = 0.0;
    size_t inBand = 0;
    for (size_t j = 0; j < count; ++j) {
        const double wavenumber = forward.wavenumber(j);
        const double difference = forward.values[j] - reverse.values[j];
        if (wavenumber >= settings.detectorLow && wavenumber <= settings.detectorHigh &&
            std::isfinite(difference)) {
            sum += difference * difference;
            ++inBand;
        }
    }
    if (inBand == 0 || !(expected > 0.0)) {
        return;
    }
    combined->disagreement = std::sqrt(sum / static_cast<double>(inBand)) / expected;
    if (combined->disagreement > kHalvesDisagreementLimit) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the halves differ by %.3g times what their noise allows (limit %g): a "
                      "phase or alignment problem",
                      combined->disagreement, kHalvesDisagreementLimit);
        combined->note = text;
    }
}

}  // namespace ostrel::session
