// Synthesis of the interferogram from the spectrum. The interferogram at path difference x is
//   I(x) = integral over 0 .. v_max of S(v) cos(2 pi v x - phi(v)) dv,
// sampled at multiples of the spacing dx = u / (2 v_L); v_max = v_L / u is the highest wavenumber
// those samples represent. On an N-point grid of wavenumbers j / (N dx) this sum is one inverse
// real FFT, exact up to the interferogram's wrap-around at N dx / 2, which N is chosen to make
// negligible. phi is the instrument's phase: a ZPD that lies a fraction of a point after the
// burst's sample, and a small dispersion quadratic in wavenumber.
#include "interferogram.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "ostrel_sim/spectrum_model.h"

namespace ostrel::sim {
namespace {

constexpr size_t kMinimumGrid = size_t{1} << 17;
constexpr size_t kMaximumGrid = size_t{1} << 21;
// A Lorentzian line of half-width g rings as exp(-2 pi g x); at this many decay lengths its
// wrap-around is below 1e-8 of the line's contribution.
constexpr double kDecayLengths = 20.0;

// The spectral processing in the same process plans FFTs too, possibly on another thread; FFTW's
// planner is not reentrant unless told to lock.
void makePlannerThreadSafe() {
    static std::once_flag once;
    std::call_once(once, [] { fftw_make_planner_thread_safe(); });
}

bool validate(const Config& config, std::string* error) {
    auto fail = [&](const std::string& text) {
        *error = text;
        return false;
    };
    if (!(std::isfinite(config.laserWavenumber) && config.laserWavenumber > 0.0))
        return fail("the laser wavenumber must be a positive number of cm^-1");
    if (config.undersampling < 1 || config.undersampling > 64)
        return fail("the undersampling ratio must be an integer in 1 .. 64");
    if (!(std::isfinite(config.amplitude) && config.amplitude >= 0.0))
        return fail("the amplitude must be a number >= 0");
    if (!(std::isfinite(config.zpdOffset) && std::fabs(config.zpdOffset) < 1.0))
        return fail("the ZPD offset must be a fraction of a point, -1 < offset < 1");
    if (!std::isfinite(config.dispersion))
        return fail("the dispersion must be a finite number of radians");
    for (const Absorber& line : config.absorbers) {
        if (!(line.centre >= 0.0 && line.hwhm > 0.0 && line.peakAbsorbance >= 0.0 &&
              std::isfinite(line.centre) && std::isfinite(line.hwhm) &&
              std::isfinite(line.peakAbsorbance)))
            return fail("an absorber needs a centre >= 0, a half-width > 0 and an absorbance >= 0");
    }
    return true;
}

// What the interferogram depends on when the spectrum is not read from a file.
struct SynthesisKey {
    double laserWavenumber;
    int undersampling;
    double amplitude;
    double zpdOffset;
    double dispersion;
    int maxPoints;
    std::vector<Absorber> absorbers;
    bool operator==(const SynthesisKey&) const = default;
};

SynthesisKey keyOf(const Config& config) {
    return {config.laserWavenumber, config.undersampling, config.amplitude, config.zpdOffset,
            config.dispersion,      config.maxPoints,     config.absorbers};
}

// The last few interferograms made: tests and tools start many simulators with the same
// configuration, and each would otherwise pay the transform again.
class RecentInterferograms {
  public:
    std::shared_ptr<const Interferogram> find(const SynthesisKey& key) {
        std::lock_guard lock(mutex_);
        for (const auto& [stored, interferogram] : entries_) {
            if (stored == key)
                return interferogram;
        }
        return nullptr;
    }
    void add(SynthesisKey key, std::shared_ptr<const Interferogram> interferogram) {
        std::lock_guard lock(mutex_);
        if (entries_.size() == kKept)
            entries_.erase(entries_.begin());
        entries_.emplace_back(std::move(key), std::move(interferogram));
    }

  private:
    static constexpr size_t kKept = 4;
    std::mutex mutex_;
    std::vector<std::pair<SynthesisKey, std::shared_ptr<const Interferogram>>> entries_;
};

RecentInterferograms& recentInterferograms() {
    static RecentInterferograms recent;
    return recent;
}

struct FftwFree {
    void operator()(void* p) const { fftw_free(p); }
};

}  // namespace

std::shared_ptr<const Interferogram> Interferogram::make(const Config& config, std::string* error) {
    if (!validate(config, error))
        return nullptr;
    // A spectrum file may change between starts, so only the built-in source is reused.
    const bool reusable = config.spectrumFile.empty();
    if (reusable) {
        if (auto known = recentInterferograms().find(keyOf(config)))
            return known;
    }
    SpectrumModel model(config.absorbers);
    if (!config.spectrumFile.empty() &&
        !SpectrumModel::fromCsvFile(config.spectrumFile, config.absorbers, &model, error)) {
        return nullptr;
    }

    const double dx = config.undersampling / (2.0 * config.laserWavenumber);
    const double highest = config.laserWavenumber / config.undersampling;
    // Long enough to hold every point of the largest scan around the burst, and for the
    // narrowest line's ringing to die away before the grid wraps.
    double needed = 4.0 * std::max(config.maxPoints, 1);
    for (const Absorber& line : config.absorbers) {
        needed = std::max(needed, 2.0 * kDecayLengths / (2.0 * std::numbers::pi * line.hwhm * dx));
    }
    size_t n = kMinimumGrid;
    while (static_cast<double>(n) < needed && n < kMaximumGrid) n *= 2;

    const size_t bins = n / 2 + 1;
    std::unique_ptr<fftw_complex, FftwFree> spectrum(fftw_alloc_complex(bins));
    std::unique_ptr<double, FftwFree> samples(fftw_alloc_real(n));
    if (!spectrum || !samples) {
        *error = "out of memory for the interferogram";
        return nullptr;
    }
    for (size_t j = 0; j < bins; ++j) {
        double wavenumber = static_cast<double>(j) / (static_cast<double>(n) * dx);
        double ratio = wavenumber / highest;
        double phase = 2.0 * std::numbers::pi * wavenumber * config.zpdOffset * dx +
                       config.dispersion * ratio * ratio;
        double value = model.value(wavenumber);
        spectrum.get()[j][0] = value * std::cos(phase);
        spectrum.get()[j][1] = -value * std::sin(phase);
    }
    makePlannerThreadSafe();
    fftw_plan plan =
        fftw_plan_dft_c2r_1d(static_cast<int>(n), spectrum.get(), samples.get(), FFTW_ESTIMATE);
    if (plan == nullptr) {
        *error = "cannot plan the interferogram's transform";
        return nullptr;
    }
    fftw_execute(plan);
    fftw_destroy_plan(plan);

    const double* raw = samples.get();
    double peak = 0.0;
    for (size_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(raw[i]));
    if (!(peak > 0.0)) {
        *error = "the spectrum is zero everywhere below the highest wavenumber (" +
                 std::to_string(highest) + " cm^-1)";
        return nullptr;
    }
    const double scale = config.amplitude / peak;

    auto result = std::shared_ptr<Interferogram>(new Interferogram());
    result->half_ = static_cast<int64_t>(n / 2);
    result->spacing_ = dx;
    result->values_.assign(n, 0.0);  // index 0 (offset -N/2) stays 0
    for (int64_t offset = -result->half_ + 1; offset < result->half_; ++offset) {
        size_t wrapped =
            static_cast<size_t>(offset < 0 ? offset + static_cast<int64_t>(n) : offset);
        result->values_[static_cast<size_t>(offset + result->half_)] = raw[wrapped] * scale;
    }
    if (reusable)
        recentInterferograms().add(keyOf(config), result);
    return result;
}

}  // namespace ostrel::sim
