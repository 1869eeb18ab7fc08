// The background (empty-beam single beam) that a run's spectra are divided by, and the ratios:
// transmittance T = sample / background and absorbance A = -log10 T.
//
// Where the background is weak (below a fraction of its peak: outside the source's range it is
// only noise around zero) a ratio means nothing, so T and A are not-a-number there, never an
// infinity; an absorbance of a T that noise made 0 or negative is not-a-number too.
#pragma once

#include <string>
#include <vector>

#include "outputs/spectrum_axis.h"

namespace ostrel::session {

// "mean-single-beam-forward.jdx": the file every run leaves for each half, and the one an
// earlier run's directory stands for.
std::string meanSingleBeamName(const std::string& half);

struct Background {
    std::vector<std::string> sources;         // the file each half came from
    std::vector<std::vector<double>> halves;  // in the order of the run's halves
};

// Loads a background for each of the run's halves from the paths: a single-beam JCAMP-DX file
// (for the half it names) or a run's output directory (its mean single beams). Refuses, naming the
// differing setting, a background whose axis or settings differ from the run's, and a run half
// left without one.
bool loadBackground(const std::vector<std::string>& paths, const std::vector<std::string>& halves,
                    const SpectrumAxis& axis, Background* background, std::string* error);

// count values each; threshold is the fraction of the background's peak below which the ratio
// is not-a-number.
void divideByBackground(const double* sample, const double* background, size_t count,
                        double threshold, double* transmittance, double* absorbance);

}  // namespace ostrel::session
