// The strongest bands of a spectrum, for summaries.
#include <algorithm>

#include "ostrel_spectra/spectra.h"

namespace ostrel::spectra {

std::vector<Band> strongestBands(const Spectrum& spectrum, size_t count, double minimumSeparation) {
    const std::vector<double>& values = spectrum.values;
    std::vector<Band> maxima;
    for (size_t j = 1; j + 1 < values.size(); ++j) {
        if (values[j] > values[j - 1] && values[j] >= values[j + 1]) {
            // A parabola through the maximum and its neighbours places the band between bins.
            const double curvature = values[j - 1] - 2.0 * values[j] + values[j + 1];
            const double offset =
                curvature < 0.0 ? 0.5 * (values[j - 1] - values[j + 1]) / curvature : 0.0;
            const double height = values[j] - 0.25 * (values[j - 1] - values[j + 1]) * offset;
            maxima.push_back({spectrum.wavenumber(j) + offset * spectrum.wavenumberStep, height});
        }
    }
    std::sort(maxima.begin(), maxima.end(),
              [](const Band& a, const Band& b) { return a.height > b.height; });
    std::vector<Band> kept;
    for (const Band& band : maxima) {
        if (kept.size() == count) {
            break;
        }
        const bool apart = std::none_of(kept.begin(), kept.end(), [&](const Band& taller) {
            return std::abs(taller.wavenumber - band.wavenumber) < minimumSeparation;
        });
        if (apart) {
            kept.push_back(band);
        }
    }
    return kept;
}

}  // namespace ostrel::spectra
