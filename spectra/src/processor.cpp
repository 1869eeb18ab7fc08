// The interferogram-to-spectrum path of one half (see the header for the steps).
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "ostrel_spectra/quality.h"
#include "ostrel_spectra/spectra.h"
#include "plan_cache.h"
#include "quality_gates.h"

namespace ostrel::spectra {
namespace {

// Bins of the phase section whose modulus reaches this share of the largest one count as
// signal; outside them the phase of the noise would bias the corrected spectrum, so the phase is
// carried over from the signal band instead.
constexpr double kSignalShare = 0.05;
constexpr size_t kMinimumPoints = 8;

size_t nextPowerOfTwo(size_t count) {
    size_t length = 1;
    while (length < count) {
        length *= 2;
    }
    return length;
}

// An FFTW-aligned buffer that grows when needed and is otherwise kept.
template <typename T>
class AlignedBuffer {
  public:
    AlignedBuffer() = default;
    ~AlignedBuffer() { fftw_free(data_); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;

    T* reserve(size_t count) {
        if (count > capacity_) {
            fftw_free(data_);
            data_ = static_cast<T*>(fftw_malloc(sizeof(T) * count));
            capacity_ = count;
        }
        return data_;
    }

  private:
    T* data_ = nullptr;
    size_t capacity_ = 0;
};

// Fraction of a point by which the true extremum lies beside sample `peak` (a parabola through
// the peak and its neighbours), within +-0.5.
double refinePeak(const double* values, size_t count, size_t peak) {
    if (peak == 0 || peak + 1 >= count) {
        return 0.0;
    }
    const double left = values[peak - 1];
    const double centre = values[peak];
    const double right = values[peak + 1];
    const double curvature = left - 2.0 * centre + right;
    if (curvature == 0.0) {
        return 0.0;
    }
    return std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5);
}

}  // namespace

struct Processor::Work {
    std::vector<double> centred;  // the half without its mean, long side after ZPD
    std::vector<double> phase;    // unwrapped phase per bin of the phase section
    std::vector<double> wing;     // the far wing, for the quality gates' noise estimate
    // Window x ramp at path difference +k and -k; kept while ZPD stays where it was, since the
    // window's cosines cost more than the transform's own arithmetic.
    std::vector<double> positiveWeight;
    std::vector<double> negativeWeight;
    size_t weightsLongSide = 0;
    size_t weightsShortSide = 0;
    bool weightsValid = false;
    AlignedBuffer<double> input;
    AlignedBuffer<fftw_complex> output;
    AlignedBuffer<double> phaseInput;
    AlignedBuffer<fftw_complex> phaseOutput;

    // Fills `phase` from the double-sided section of +-halfWidth points about ZPD at `zpd`.
    void measurePhase(size_t zpd, size_t halfWidth);
    void prepareWeights(Apodization apodization, size_t shortSide, size_t longSide);
    // values[j - firstBin] = scale * Re(transformed[j] exp(-i phase(j))), firstBin <= j <= lastBin,
    // with the phase interpolated linearly between the bins of the phase section.
    void correctPhase(const fftw_complex* transformed, size_t length, size_t firstBin,
                      size_t lastBin, double scale, double* values) const;
};

// The Mertz ramp weighs path difference k and -k so that the two add up to 1 (0.5 each at ZPD):
// every path difference counts once, and the double-sided part carries no more weight than the
// single-sided rest.
void Processor::Work::prepareWeights(Apodization apodization, size_t shortSide, size_t longSide) {
    if (weightsValid && weightsShortSide == shortSide && weightsLongSide == longSide) {
        return;
    }
    positiveWeight.resize(longSide + 1);
    negativeWeight.resize(shortSide + 1);
    for (size_t k = 0; k <= longSide; ++k) {
        const double window =
            apodizationWeight(apodization, static_cast<double>(k) / static_cast<double>(longSide));
        double ramp = 1.0;
        if (shortSide == 0 && k == 0) {
            ramp = 0.5;
        } else if (k <= shortSide) {
            ramp = 0.5 + 0.5 * static_cast<double>(k) / static_cast<double>(shortSide);
        }
        positiveWeight[k] = window * ramp;
        if (k <= shortSide) {
            negativeWeight[k] = window * (1.0 - ramp);
        }
    }
    weightsShortSide = shortSide;
    weightsLongSide = longSide;
    weightsValid = true;
}

// Between two bins of the phase section the phasor exp(i phase) is interpolated along the chord;
// its length falls short of 1 by at most d^2 / 8 for a phase step of d between section bins
// (under 1e-5 for the smooth phase of an instrument), and no bin needs trigonometry of its own.
void Processor::Work::correctPhase(const fftw_complex* transformed, size_t length, size_t firstBin,
                                   size_t lastBin, double scale, double* values) const {
    const size_t sectionBins = phase.size();
    const size_t perSectionBin = length / (2 * (sectionBins - 1));
    const double perBin = 1.0 / static_cast<double>(perSectionBin);
    size_t j = firstBin;
    while (j <= lastBin) {
        const size_t m = std::min(j / perSectionBin, sectionBins - 1);
        const size_t next = std::min(m + 1, sectionBins - 1);
        const double cosine = scale * std::cos(phase[m]);
        const double sine = scale * std::sin(phase[m]);
        const double cosineStep = (scale * std::cos(phase[next]) - cosine) * perBin;
        const double sineStep = (scale * std::sin(phase[next]) - sine) * perBin;
        const size_t base = m * perSectionBin;
        const size_t end = std::min(lastBin + 1, base + perSectionBin);
        for (; j < end; ++j) {
            const auto offset = static_cast<double>(j - base);
            values[j - firstBin] = transformed[j][0] * (cosine + offset * cosineStep) +
                                   transformed[j][1] * (sine + offset * sineStep);
        }
    }
}

void Processor::Work::measurePhase(size_t zpd, size_t halfWidth) {
    if (halfWidth == 0) {
        phase.assign(2, 0.0);
        return;
    }
    const size_t length = nextPowerOfTwo(2 * halfWidth);
    const size_t bins = length / 2 + 1;
    double* in = phaseInput.reserve(length);
    fftw_complex* out = phaseOutput.reserve(bins);
    std::fill(in, in + length, 0.0);
    // A triangle about ZPD: the section's ends enter softly, so the phase spectrum has no ripple.
    for (size_t k = 0; k < halfWidth; ++k) {
        const double weight = 1.0 - static_cast<double>(k) / static_cast<double>(halfWidth);
        in[k] = centred[zpd + k] * weight;
        if (k > 0) {
            in[length - k] = centred[zpd - k] * weight;
        }
    }
    fftw_execute_dft_r2c(realToComplexPlan(length), in, out);

    phase.resize(bins);
    double largest = 0.0;
    for (size_t m = 0; m < bins; ++m) {
        largest = std::max(largest, std::hypot(out[m][0], out[m][1]));
    }
    if (largest == 0.0) {
        std::fill(phase.begin(), phase.end(), 0.0);
        return;
    }
    size_t first = bins;
    size_t last = 0;
    for (size_t m = 0; m < bins; ++m) {
        if (std::hypot(out[m][0], out[m][1]) >= kSignalShare * largest) {
            first = std::min(first, m);
            last = m;
        }
    }
    // Unwrapped across the signal band, so that interpolation between bins never crosses a jump
    // of 2 pi.
    phase[first] = std::atan2(out[first][1], out[first][0]);
    for (size_t m = first + 1; m <= last; ++m) {
        const double wrapped = std::atan2(out[m][1], out[m][0]);
        phase[m] = wrapped + 2.0 * std::numbers::pi *
                                 std::round((phase[m - 1] - wrapped) / (2.0 * std::numbers::pi));
    }
    // The slope of the band's phase (a ZPD between samples is a linear phase), weighted by the
    // power of each bin, carries the phase on from either edge of the band.
    double sumWeight = 0.0;
    double sumM = 0.0;
    double sumPhase = 0.0;
    double sumMM = 0.0;
    double sumMPhase = 0.0;
    for (size_t m = first; m <= last; ++m) {
        const double weight = out[m][0] * out[m][0] + out[m][1] * out[m][1];
        const double position = static_cast<double>(m);
        sumWeight += weight;
        sumM += weight * position;
        sumPhase += weight * phase[m];
        sumMM += weight * position * position;
        sumMPhase += weight * position * phase[m];
    }
    const double spread = sumWeight * sumMM - sumM * sumM;
    const double slope = spread > 0.0 ? (sumWeight * sumMPhase - sumM * sumPhase) / spread : 0.0;
    for (size_t m = 0; m < first; ++m) {
        phase[m] = phase[first] - slope * static_cast<double>(first - m);
    }
    for (size_t m = last + 1; m < bins; ++m) {
        phase[m] = phase[last] + slope * static_cast<double>(m - last);
    }
}

std::string checkSettings(const Settings& settings) {
    if (!(settings.laserWavenumber > 0.0) || !std::isfinite(settings.laserWavenumber)) {
        return "the laser wavenumber must be a positive number of cm^-1";
    }
    if (settings.undersampling < 1) {
        return "the undersampling ratio must be an integer of at least 1";
    }
    if (settings.zeroFill != 1 && settings.zeroFill != 2 && settings.zeroFill != 4 &&
        settings.zeroFill != 8) {
        return "the zero-fill factor must be 1, 2, 4 or 8";
    }
    if (!(settings.phaseResolution > 0.0) || !std::isfinite(settings.phaseResolution)) {
        return "the phase resolution must be a positive number of cm^-1";
    }
    if (!(settings.detectorLow >= 0.0) || !(settings.detectorHigh > settings.detectorLow) ||
        !std::isfinite(settings.detectorHigh)) {
        return "the detector band must be LOW:HIGH cm^-1 with 0 <= LOW < HIGH";
    }
    if (std::isnan(settings.rangeLow) || std::isnan(settings.rangeHigh) ||
        !(settings.rangeLow < settings.rangeHigh) || settings.rangeHigh <= 0.0) {
        return "the wavenumber range must be LOW:HIGH with LOW < HIGH and HIGH > 0";
    }
    if (settings.rangeLow > highestWavenumber(settings)) {
        return "the wavenumber range lies above the highest wavenumber";
    }
    return "";
}

double pointSpacing(const Settings& settings) {
    return static_cast<double>(settings.undersampling) / (2.0 * settings.laserWavenumber);
}

double highestWavenumber(const Settings& settings) {
    return settings.laserWavenumber / static_cast<double>(settings.undersampling);
}

size_t transformLength(const Settings& settings, size_t count) {
    return nextPowerOfTwo(count) * static_cast<size_t>(std::max(settings.zeroFill, 1));
}

Processor::Processor(const Settings& settings)
    : settings_(settings), work_(std::make_unique<Work>()) {}

Processor::~Processor() = default;

bool Processor::process(const double* samples, size_t count, Spectrum* out, std::string* error) {
    return process(samples, count, out, nullptr, error);
}

bool Processor::process(const double* samples, size_t count, Spectrum* out, HalfQuality* quality,
                        std::string* error) {
    const std::string problem = checkSettings(settings_);
    if (!problem.empty()) {
        *error = problem;
        return false;
    }
    if (samples == nullptr || count < kMinimumPoints) {
        *error = "an interferogram needs at least " + std::to_string(kMinimumPoints) + " points";
        return false;
    }
    // Four running sums and maxima: one would chain every addition to the one before it, which
    // costs more than the transform's own arithmetic on a half of 32768 points.
    double sum0 = 0.0;
    double sum1 = 0.0;
    double sum2 = 0.0;
    double sum3 = 0.0;
    size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        sum0 += samples[k];
        sum1 += samples[k + 1];
        sum2 += samples[k + 2];
        sum3 += samples[k + 3];
    }
    for (; k < count; ++k) {
        sum0 += samples[k];
    }
    const double total = (sum0 + sum1) + (sum2 + sum3);
    if (!std::isfinite(total)) {
        size_t bad = 0;
        while (bad < count && std::isfinite(samples[bad])) {
            ++bad;
        }
        *error = bad < count ? "the interferogram has a value that is not a finite number at "
                               "point " +
                                   std::to_string(bad)
                             : "the interferogram's values are too large to be summed";
        return false;
    }
    const double mean = total / static_cast<double>(count);

    // ZPD is where the centred half is largest in magnitude; the record is turned when the long
    // side lies before it (a reverse half), so that the transform always sees it after ZPD.
    std::vector<double>& centred = work_->centred;
    centred.resize(count);
    for (k = 0; k < count; ++k) {
        centred[k] = samples[k] - mean;
    }
    double largest0 = 0.0;
    double largest1 = 0.0;
    double largest2 = 0.0;
    double largest3 = 0.0;
    for (k = 0; k + 4 <= count; k += 4) {
        largest0 = std::max(largest0, std::fabs(centred[k]));
        largest1 = std::max(largest1, std::fabs(centred[k + 1]));
        largest2 = std::max(largest2, std::fabs(centred[k + 2]));
        largest3 = std::max(largest3, std::fabs(centred[k + 3]));
    }
    for (; k < count; ++k) {
        largest0 = std::max(largest0, std::fabs(centred[k]));
    }
    const double peakMagnitude =
        std::max(std::max(largest0, largest1), std::max(largest2, largest3));
    size_t peak = 0;
    while (std::fabs(centred[peak]) != peakMagnitude) {
        ++peak;
    }
    out->zpdIndex = static_cast<double>(peak) + refinePeak(centred.data(), count, peak);
    const bool turned = peak > count - 1 - peak;
    if (turned) {
        std::reverse(centred.begin(), centred.end());
        peak = count - 1 - peak;
    }
    const size_t shortSide = peak;
    const size_t longSide = count - 1 - peak;
    const double dx = pointSpacing(settings_);
    const auto phasePoints = static_cast<size_t>(std::ceil(1.0 / (settings_.phaseResolution * dx)));
    if (quality != nullptr) {
        gates::prepare(quality);
        quality->points = count;
        quality->zpdIndex = out->zpdIndex;
        gates::evaluateBurst(centred.data(), count, peak, &work_->wing, quality);
        gates::evaluateZpdEdge(shortSide, phasePoints, turned, settings_.phaseResolution, quality);
        gates::evaluateClipped(centred.data(), count, peak, quality);
    }

    const size_t length = transformLength(settings_, count);
    const size_t bins = length / 2 + 1;
    double* in = work_->input.reserve(length);
    fftw_complex* transformed = work_->output.reserve(bins);
    work_->prepareWeights(settings_.apodization, shortSide, longSide);
    const double* positive = work_->positiveWeight.data();
    const double* negative = work_->negativeWeight.data();
    for (k = 0; k <= longSide; ++k) {
        in[k] = centred[peak + k] * positive[k];
    }
    std::fill(in + longSide + 1, in + length - shortSide, 0.0);
    for (k = 1; k <= shortSide; ++k) {
        in[length - k] = centred[peak - k] * negative[k];
    }
    fftw_execute_dft_r2c(realToComplexPlan(length), in, transformed);

    const double top = highestWavenumber(settings_);
    const double binsPerWavenumber = static_cast<double>(length) * dx;
    const double low = std::max(settings_.rangeLow, 0.0);
    const double high = std::min(settings_.rangeHigh, top);
    const auto firstBin = static_cast<size_t>(std::ceil(low * binsPerWavenumber - 1e-9));
    const size_t lastBin =
        std::min(bins - 1, static_cast<size_t>(std::floor(high * binsPerWavenumber + 1e-9)));
    if (firstBin > lastBin) {
        *error = "no bin of the spectrum lies in the wavenumber range";
        return false;
    }

    if (quality != nullptr) {
        gates::evaluateOutOfBand(&transformed[0][0], bins, binsPerWavenumber,
                                 std::max(settings_.detectorLow, 0.0),
                                 std::min(settings_.detectorHigh, top), quality);
        gates::finish(quality);
    }
    if (settings_.phase == PhaseMode::Mertz) {
        work_->measurePhase(peak, std::min({phasePoints, shortSide, longSide}));
    }
    // 2 dx per point of a double-sided sum; the ramp's single-sided sum is half of that.
    const double scale = 4.0 * dx;
    out->values.resize(lastBin - firstBin + 1);
    double* values = out->values.data();
    if (settings_.phase == PhaseMode::Mertz) {
        work_->correctPhase(transformed, length, firstBin, lastBin, scale, values);
    } else {
        for (size_t j = firstBin; j <= lastBin; ++j) {
            double value = scale * std::hypot(transformed[j][0], transformed[j][1]);
            if (settings_.phase == PhaseMode::Power) {
                value *= value;
            }
            values[j - firstBin] = value;
        }
    }
    out->firstWavenumber = static_cast<double>(firstBin) / binsPerWavenumber;
    out->wavenumberStep = 1.0 / binsPerWavenumber;
    out->resolution = 1.0 / (static_cast<double>(std::max<size_t>(longSide, 1)) * dx);
    out->transformLength = length;
    return true;
}

}  // namespace ostrel::spectra
