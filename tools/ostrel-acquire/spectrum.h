// The spectrum of an interferogram: mean removed, apodised, zero-filled to a power of two and
// transformed with FFTW; the result is the magnitude per frequency bin (bin k is k cycles over the
// transform length). Also the plain statistics that the run summary reports per curve.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace ostrel::acquire {

enum class Apodization { HappGenzel, BlackmanHarris, Boxcar };

const char* apodizationName(Apodization apodization);
// Accepts the names that apodizationName gives ("happ-genzel", "blackman-harris", "boxcar").
bool parseApodization(std::string_view text, Apodization* apodization);

// Weight of sample k of count samples; the window is symmetric about the middle of the record.
double apodizationWeight(Apodization apodization, size_t k, size_t count);

// The smallest power of two not below count (1 for 0 and 1).
size_t nextPowerOfTwo(size_t count);

// Computes magnitude spectra. One FFTW plan per transform length is kept and reused, so a run of
// equal-sized files plans once. Not thread-safe (FFTW planning is not).
class SpectrumCalculator {
  public:
    explicit SpectrumCalculator(Apodization apodization);
    ~SpectrumCalculator();
    SpectrumCalculator(const SpectrumCalculator&) = delete;
    SpectrumCalculator& operator=(const SpectrumCalculator&) = delete;

    // Writes nextPowerOfTwo(count) / 2 + 1 magnitudes into *magnitude. They are divided by the
    // sum of the window weights, so a cosine of amplitude A that falls on a bin reads A / 2
    // whichever window is chosen. An empty curve gives an empty spectrum.
    void compute(const double* samples, size_t count, std::vector<double>* magnitude);

    Apodization apodization() const { return apodization_; }
    // The transform length used for a curve of count samples.
    static size_t transformLength(size_t count) { return nextPowerOfTwo(count); }

  private:
    struct Plan;
    Apodization apodization_;
    std::unique_ptr<Plan> plan_;
};

struct CurveStatistics {
    double minimum = 0.0;
    double maximum = 0.0;
    double mean = 0.0;
    // The sample farthest from the mean: the centre burst of an interferogram, the line of a
    // spectrum. The lowest index wins among equals.
    size_t peakIndex = 0;
};

CurveStatistics curveStatistics(const double* values, size_t count);

// The index of the largest value (the lowest among equals); 0 for an empty range.
size_t largestIndex(const double* values, size_t count);

}  // namespace ostrel::acquire
