// The per-half gates as the processor evaluates them, from what it has computed anyway.
#pragma once

#include <cstddef>
#include <vector>

#include "ostrel_spectra/quality.h"

namespace ostrel::spectra::gates {

// Makes `quality` hold the four per-half gates in order, keeping their storage; a zpd_agreement
// gate from an earlier pair is moved into quality->spareAgreement.
void prepare(HalfQuality* quality);

// `centred` is the half without its mean, turned so that ZPD (the largest magnitude, at `peak`)
// has its long side after it; `turned` says whether it was. `scratch` is kept work storage.
void evaluateBurst(const double* centred, size_t count, size_t peak, std::vector<double>* scratch,
                   HalfQuality* quality);
void evaluateZpdEdge(size_t shortSide, size_t phasePoints, bool turned, double phaseResolution,
                     HalfQuality* quality);
// After evaluateBurst, whose noise it uses.
void evaluateClipped(const double* centred, size_t count, size_t peak, HalfQuality* quality);
// `bins` interleaved real and imaginary parts of the transform, bin j at j / binsPerWavenumber
// cm^-1; the band is low .. high cm^-1.
void evaluateOutOfBand(const double* bins, size_t binCount, double binsPerWavenumber, double low,
                       double high, HalfQuality* quality);

// The worst status of the gates present.
void finish(HalfQuality* quality);

}  // namespace ostrel::spectra::gates
