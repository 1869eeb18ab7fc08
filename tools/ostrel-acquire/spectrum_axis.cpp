#include "spectrum_axis.h"

#include <charconv>

namespace ostrel::acquire {

std::string numberText(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

SpectrumAxis magnitudeSpectrumAxis(size_t points, Apodization apodization, double laserWavenumber,
                                   int undersampling) {
    SpectrumAxis axis;
    axis.points = points;
    axis.laserWavenumber = laserWavenumber;
    axis.undersampling = undersampling;
    axis.zeroFilling = 1;
    axis.apodization = apodizationName(apodization);
    axis.phaseCorrection = "magnitude";
    const size_t length = SpectrumCalculator::transformLength(points);
    const double pathStep = undersampling / (2.0 * laserWavenumber);
    axis.firstWavenumber = 0.0;
    axis.wavenumberStep = 1.0 / (static_cast<double>(length) * pathStep);
    axis.count = length / 2 + 1;
    axis.resolution = points > 1 ? 1.0 / (static_cast<double>(points) / 2.0 * pathStep) : 0.0;
    return axis;
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

}  // namespace ostrel::acquire
