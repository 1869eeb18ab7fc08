#include "outputs/spectrum_axis.h"

#include <charconv>
#include <cmath>

namespace ostrel::session {

std::string numberText(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// The axis depends on the settings and the number of points only, so the spectrum of any
// interferogram of that length shows it: here a narrow centre burst, as a real one is.
bool spectrumAxisFor(size_t points, const ostrel::spectra::Settings& settings, SpectrumAxis* axis,
                     std::string* error) {
    std::vector<double> burst(points);
    for (size_t index = 0; index < points; ++index) {
        const double offset = (static_cast<double>(index) - static_cast<double>(points / 2)) / 2.0;
        burst[index] = std::exp(-offset * offset);
    }
    ostrel::spectra::Processor processor(settings);
    ostrel::spectra::Spectrum spectrum;
    if (!processor.process(burst.data(), points, &spectrum, error)) {
        return false;
    }
    axis->points = points;
    axis->laserWavenumber = settings.laserWavenumber;
    axis->undersampling = settings.undersampling;
    axis->zeroFilling = settings.zeroFill;
    axis->apodization = std::string(ostrel::spectra::name(settings.apodization));
    axis->phaseCorrection = std::string(ostrel::spectra::name(settings.phase));
    axis->firstWavenumber = spectrum.firstWavenumber;
    axis->wavenumberStep = spectrum.wavenumberStep;
    axis->count = spectrum.values.size();
    axis->resolution = spectrum.resolution;
    return true;
}

std::vector<JcampLabel> axisLabels(const SpectrumAxis& axis, const std::string& half) {
    return {
        {"LASER WAVENUMBER", numberText(axis.laserWavenumber)},
        {"UNDERSAMPLING", std::to_string(axis.undersampling)},
        {"POINTS", std::to_string(axis.points)},
        {"APODIZATION", axis.apodization},
        {"ZERO FILLING", std::to_string(axis.zeroFilling)},
        {"PHASE CORRECTION", axis.phaseCorrection},
        {"SCAN DIRECTION", half},
    };
}

}  // namespace ostrel::session
