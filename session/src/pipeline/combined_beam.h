// One spectrum per file from both scan directions: each half is transformed on its own (its own
// ZPD and phase), then the two single beams are averaged on their common axis, as spectroscopy
// software reports a two-direction measurement. A half that fails a quality gate is left out,
// and halves that differ by more than their noise allows are flagged: a phase or alignment
// problem shows there first.
#pragma once

#include <string>
#include <vector>

#include "ostrel_spectra/quality.h"
#include "ostrel_spectra/spectra.h"

namespace ostrel::session {

// The RMS difference of the two halves over the detector band, in units of the noise their
// difference would have from noise alone. Noise alone gives about 1; the simulator's halves,
// which share their spectrum and instrument phase, give 1 to 2 at any noise level. 5 leaves room
// for the residual phase error of a sound record and is still well below what a half-fringe slip
// or a lost phase gives (tens to hundreds).
inline constexpr double kHalvesDisagreementLimit = 5.0;
// The noise floor, as a fraction of the larger half's peak, for records with little or no noise
// (a noise-free simulator): differences below it are rounding and interpolation, not physics.
inline constexpr double kHalvesNoiseFloor = 1e-4;

struct CombinedBeam {
    std::vector<double> values;  // on the halves' axis
    std::string used;            // "both", "forward" or "reverse"
    double disagreement = 0.0;   // see kHalvesDisagreementLimit; 0 when one half was used
    std::string note;            // why a half was left out, or that the halves disagree
};

// Combines the two halves' single beams (same axis). A half that fails a gate of its own is left
// out unless both do (then both are used, and the note says so).
void combineHalves(const ostrel::spectra::Spectrum& forward,
                   const ostrel::spectra::Spectrum& reverse,
                   const ostrel::spectra::HalfQuality& forwardQuality,
                   const ostrel::spectra::HalfQuality& reverseQuality,
                   const ostrel::spectra::Settings& settings, CombinedBeam* combined);

}  // namespace ostrel::session
