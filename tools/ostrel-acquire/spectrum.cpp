#include "spectrum.h"

#include <fftw3.h>

#include <cmath>
#include <numbers>

namespace ostrel::acquire {

struct SpectrumCalculator::Plan {
    size_t length = 0;
    double* input = nullptr;
    fftw_complex* output = nullptr;
    fftw_plan plan = nullptr;

    ~Plan() { release(); }

    void release() {
        if (plan != nullptr) {
            fftw_destroy_plan(plan);
        }
        fftw_free(input);
        fftw_free(output);
        plan = nullptr;
        input = nullptr;
        output = nullptr;
        length = 0;
    }

    // FFTW_ESTIMATE plans without trial transforms and leaves the arrays alone, so planning
    // costs microseconds and the input may be filled afterwards.
    void prepare(size_t transformLength) {
        if (transformLength == length) {
            return;
        }
        release();
        length = transformLength;
        input = fftw_alloc_real(length);
        output = fftw_alloc_complex(length / 2 + 1);
        plan = fftw_plan_dft_r2c_1d(static_cast<int>(length), input, output, FFTW_ESTIMATE);
    }
};

const char* apodizationName(Apodization apodization) {
    switch (apodization) {
        case Apodization::HappGenzel:
            return "happ-genzel";
        case Apodization::BlackmanHarris:
            return "blackman-harris";
        case Apodization::Boxcar:
            return "boxcar";
    }
    return "happ-genzel";
}

bool parseApodization(std::string_view text, Apodization* apodization) {
    for (Apodization candidate :
         {Apodization::HappGenzel, Apodization::BlackmanHarris, Apodization::Boxcar}) {
        if (text == apodizationName(candidate)) {
            *apodization = candidate;
            return true;
        }
    }
    return false;
}

double apodizationWeight(Apodization apodization, size_t k, size_t count) {
    if (count < 2 || apodization == Apodization::Boxcar) {
        return 1.0;
    }
    const double phase =
        2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(count - 1);
    if (apodization == Apodization::HappGenzel) {
        return 0.54 - 0.46 * std::cos(phase);
    }
    // Four-term Blackman-Harris: side lobes below -92 dB.
    return 0.35875 - 0.48829 * std::cos(phase) + 0.14128 * std::cos(2.0 * phase) -
           0.01168 * std::cos(3.0 * phase);
}

size_t nextPowerOfTwo(size_t count) {
    size_t length = 1;
    while (length < count) {
        length *= 2;
    }
    return length;
}

SpectrumCalculator::SpectrumCalculator(Apodization apodization)
    : apodization_(apodization), plan_(std::make_unique<Plan>()) {}

SpectrumCalculator::~SpectrumCalculator() = default;

void SpectrumCalculator::compute(const double* samples, size_t count,
                                 std::vector<double>* magnitude) {
    magnitude->clear();
    if (count == 0) {
        return;
    }
    plan_->prepare(transformLength(count));
    double mean = 0.0;
    for (size_t k = 0; k < count; ++k) {
        mean += samples[k];
    }
    mean /= static_cast<double>(count);
    double weightSum = 0.0;
    for (size_t k = 0; k < count; ++k) {
        const double weight = apodizationWeight(apodization_, k, count);
        plan_->input[k] = (samples[k] - mean) * weight;
        weightSum += weight;
    }
    for (size_t k = count; k < plan_->length; ++k) {
        plan_->input[k] = 0.0;
    }
    fftw_execute(plan_->plan);
    const size_t bins = plan_->length / 2 + 1;
    magnitude->resize(bins);
    for (size_t k = 0; k < bins; ++k) {
        (*magnitude)[k] = std::hypot(plan_->output[k][0], plan_->output[k][1]) / weightSum;
    }
}

CurveStatistics curveStatistics(const double* values, size_t count) {
    CurveStatistics statistics;
    if (count == 0) {
        return statistics;
    }
    statistics.minimum = values[0];
    statistics.maximum = values[0];
    double sum = 0.0;
    for (size_t k = 0; k < count; ++k) {
        statistics.minimum = std::fmin(statistics.minimum, values[k]);
        statistics.maximum = std::fmax(statistics.maximum, values[k]);
        sum += values[k];
    }
    statistics.mean = sum / static_cast<double>(count);
    double farthest = -1.0;
    for (size_t k = 0; k < count; ++k) {
        const double distance = std::fabs(values[k] - statistics.mean);
        if (distance > farthest) {
            farthest = distance;
            statistics.peakIndex = k;
        }
    }
    return statistics;
}

size_t largestIndex(const double* values, size_t count) {
    size_t best = 0;
    for (size_t k = 1; k < count; ++k) {
        if (values[k] > values[best]) {
            best = k;
        }
    }
    return best;
}

}  // namespace ostrel::acquire
