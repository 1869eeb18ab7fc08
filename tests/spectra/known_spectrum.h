// Interferograms synthesised by direct summation from a known spectrum, so that the spectral
// library is checked against an answer that never went through an FFT.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <numbers>
#include <random>
#include <vector>

namespace ostrel::spectra::testing {

struct Instrument {
    double laserWavenumber = 15798.0;
    int undersampling = 2;
    double spacing() const { return undersampling / (2.0 * laserWavenumber); }
    double highest() const { return laserWavenumber / undersampling; }
};

// A smooth band: a Gaussian of height 1.
inline double smoothBand(double wavenumber) {
    const double offset = (wavenumber - 2500.0) / 600.0;
    return std::exp(-0.5 * offset * offset);
}

// The instrument's phase: a small dispersion that grows with wavenumber.
inline double instrumentPhase(double wavenumber, double highest) {
    const double share = wavenumber / highest;
    return 0.4 * share * share;
}

// I(x_k) = sum over a fine grid of B(nu) cos(2 pi nu x_k + phase(nu)) d nu, with
// x_k = (k - centre) dx: the cosine transform the library inverts. `centre` may fall between
// points. Offset and noise are added afterwards.
inline std::vector<double> synthesise(const Instrument& instrument, size_t count, double centre,
                                      const std::function<double(double)>& spectrum,
                                      double offset = 0.0, double noise = 0.0, unsigned seed = 1) {
    const double step = 1.0;
    std::vector<double> wavenumbers;
    std::vector<double> weights;
    std::vector<double> phases;
    for (double nu = 0.5 * step; nu < instrument.highest(); nu += step) {
        const double value = spectrum(nu);
        if (std::fabs(value) > 1e-12) {
            wavenumbers.push_back(nu);
            weights.push_back(value * step);
            phases.push_back(instrumentPhase(nu, instrument.highest()));
        }
    }
    std::mt19937 generator(seed);
    std::normal_distribution<double> gauss(0.0, noise > 0.0 ? noise : 1.0);
    std::vector<double> samples(count, offset);
    for (size_t k = 0; k < count; ++k) {
        const double x = (static_cast<double>(k) - centre) * instrument.spacing();
        double sum = 0.0;
        for (size_t i = 0; i < wavenumbers.size(); ++i) {
            sum += weights[i] * std::cos(2.0 * std::numbers::pi * wavenumbers[i] * x + phases[i]);
        }
        samples[k] += sum + (noise > 0.0 ? gauss(generator) : 0.0);
    }
    return samples;
}

}  // namespace ostrel::spectra::testing
