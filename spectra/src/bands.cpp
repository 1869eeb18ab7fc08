// The strongest bands of a spectrum, for summaries.
#include <algorithm>
#include <cmath>

#include "ostrel_spectra/spectra.h"

namespace ostrel::spectra {

std::vector<Band> strongestBands(const Spectrum& spectrum, size_t count, double minimumSeparation) {
    const std::vector<double>& values = spectrum.values;
    const size_t bins = values.size();
    if (bins < 3 || spectrum.wavenumberStep <= 0.0) {
        return {};
    }
    // The smooth course of the spectrum: a running mean over 20 separations. A band is where the
    // spectrum stands out from it, upwards (an emission band) or downwards (an absorption band);
    // the broad maximum of a source is no band, and noise on it stands out far less than a line.
    const auto halfWidth = static_cast<size_t>(
        std::max(4.0, std::ceil(10.0 * minimumSeparation / spectrum.wavenumberStep)));
    // A summary asks for the bands of every file, and fresh buffers of a long spectrum cost more
    // (zeroed pages) than the work on them; each thread keeps its own.
    thread_local struct {
        std::vector<double> residual, prefix, spread, clipped;
        std::vector<Band> extremes;
    } work;
    std::vector<double>& residual = work.residual;
    std::vector<double>& prefix = work.prefix;
    std::vector<double>& spread = work.spread;
    std::vector<double>& clipped = work.clipped;
    residual.resize(bins);
    prefix.resize(bins + 1);
    spread.resize(bins);
    clipped.resize(bins);
    prefix[0] = 0.0;
    auto subtractRunningMean = [&](const std::vector<double>& course) {
        for (size_t j = 0; j < bins; ++j) {
            prefix[j + 1] = prefix[j] + course[j];
        }
        for (size_t j = 0; j < bins; ++j) {
            const size_t from = j > halfWidth ? j - halfWidth : 0;
            const size_t to = std::min(bins, j + halfWidth + 1);
            residual[j] = values[j] - (prefix[to] - prefix[from]) / static_cast<double>(to - from);
        }
    };
    subtractRunningMean(values);
    // A strong line pulls the running mean towards itself and so raises false bands beside it;
    // the mean is taken again with every point held within 3 noise deviations (from the median
    // absolute residual) of the first mean.
    std::transform(residual.begin(), residual.end(), spread.begin(),
                   [](double r) { return std::fabs(r); });
    std::nth_element(spread.begin(), spread.begin() + static_cast<std::ptrdiff_t>(bins / 2),
                     spread.end());
    const double limit = 3.0 * 1.4826 * spread[bins / 2];
    for (size_t j = 0; j < bins; ++j) {
        clipped[j] = values[j] - residual[j] + std::clamp(residual[j], -limit, limit);
    }
    subtractRunningMean(clipped);
    std::vector<Band>& extremes = work.extremes;
    extremes.clear();
    for (size_t j = 1; j + 1 < bins; ++j) {
        const double left = std::fabs(residual[j - 1]);
        const double middle = std::fabs(residual[j]);
        const double right = std::fabs(residual[j + 1]);
        // Only what stands out of the noise (5 deviations) counts as a band.
        if (middle > left && middle >= right && middle > 5.0 / 3.0 * limit) {
            // A parabola through the extreme and its neighbours places the band between bins.
            const double a = values[j - 1];
            const double b = values[j];
            const double c = values[j + 1];
            const double curvature = a - 2.0 * b + c;
            const double offset =
                curvature != 0.0 ? std::clamp(0.5 * (a - c) / curvature, -0.5, 0.5) : 0.0;
            extremes.push_back({spectrum.wavenumber(j) + offset * spectrum.wavenumberStep,
                                residual[j] - 0.25 * (a - c) * offset});
        }
    }
    // Strongest first; equal heights by wavenumber, so that the choice does not depend on the
    // sort. Where the noise is tiny (a noise-free record, a band-limited spectrum) thousands of
    // extremes pass the test, and only the strongest few are wanted: they are ordered in rounds
    // of a few times the count asked for, and the rest only when those do not give enough bands.
    const auto stronger = [](const Band& first, const Band& second) {
        const double a = std::fabs(first.height);
        const double b = std::fabs(second.height);
        return a != b ? a > b : first.wavenumber < second.wavenumber;
    };
    std::vector<Band> kept;
    auto sortedEnd = extremes.begin();
    for (auto next = extremes.begin(); next != extremes.end() && kept.size() < count; ++next) {
        if (next == sortedEnd) {
            const size_t left = static_cast<size_t>(extremes.end() - next);
            sortedEnd = next + static_cast<std::ptrdiff_t>(std::min(left, 8 * count + 8));
            std::partial_sort(next, sortedEnd, extremes.end(), stronger);
        }
        const Band& band = *next;
        const bool apart = std::none_of(kept.begin(), kept.end(), [&](const Band& strongerBand) {
            return std::fabs(strongerBand.wavenumber - band.wavenumber) < minimumSeparation;
        });
        if (apart) {
            kept.push_back(band);
        }
    }
    return kept;
}

}  // namespace ostrel::spectra
