// What makes two single beams comparable point by point: the interferogram they come from and
// the processing that turned it into a spectrum, and the wavenumber axis that results. A
// background is usable for a run only when all of it agrees. The same labels go into every
// JCAMP-DX file, so a file names the settings it was made with.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ostrel_spectra/spectra.h"
#include "outputs/jcamp_writer.h"

namespace ostrel::session {

struct SpectrumAxis {
    size_t points = 0;  // interferogram points per half
    double laserWavenumber = 15798.0;
    int undersampling = 2;
    int zeroFilling = 1;
    std::string apodization;
    std::string phaseCorrection;
    double firstWavenumber = 0.0;  // cm-1
    double wavenumberStep = 0.0;   // cm-1
    size_t count = 0;              // points of the spectrum
    double resolution = 0.0;       // cm-1

    double wavenumber(size_t index) const {
        return firstWavenumber + static_cast<double>(index) * wavenumberStep;
    }
};

// The user labels that describe the axis, in the order they are written. The half's label is
// "SCAN DIRECTION".
std::vector<JcampLabel> axisLabels(const SpectrumAxis& axis, const std::string& half);

// The axis and settings of the spectra that the spectral library makes of halves of `points`
// points with these settings. False with *error when it makes none (too few points).
bool spectrumAxisFor(size_t points, const ostrel::spectra::Settings& settings, SpectrumAxis* axis,
                     std::string* error);

// The shortest text that reads back as the same double.
std::string numberText(double value);

}  // namespace ostrel::session
