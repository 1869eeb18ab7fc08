// Cost of one half's spectrum (32768 points, zero-fill 2, Mertz phase correction) against bare
// FFTW real transforms planned the same way: of the 65536 points the zero-filled half is
// transformed at (the floor of this spectrum) and of the 32768 recorded points (the floor of any
// spectrum of the half), and the same spectrum with its quality gates against it.
// bench/spectra_report.py prints the ratios.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "ostrel_spectra/quality.h"
#include "ostrel_spectra/spectra.h"

namespace {

constexpr size_t kPoints = 32768;

// A single-sided half as the calibrated instrument records it: ZPD 256 points in, a burst of
// fringes that decays along the long side, on an offset.
std::vector<double> calibratedHalf() {
    std::vector<double> samples(kPoints);
    for (size_t k = 0; k < kPoints; ++k) {
        const double x = static_cast<double>(k) - 256.3;
        samples[k] = 500.0 + 30000.0 * std::exp(-x * x / 200.0) * std::cos(0.6 * x) +
                     40.0 * std::cos(0.11 * x) * std::exp(-std::fabs(x) / 4000.0);
    }
    return samples;
}

void BM_BareRealTransform(benchmark::State& state) {
    const auto length = static_cast<size_t>(state.range(0));
    const std::vector<double> samples = calibratedHalf();
    double* input = fftw_alloc_real(length);
    fftw_complex* output = fftw_alloc_complex(length / 2 + 1);
    const fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(length), input, output,
                                                FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
    for (auto _ : state) {
        std::copy(samples.begin(), samples.end(), input);
        std::fill(input + kPoints, input + length, 0.0);
        fftw_execute(plan);
        benchmark::DoNotOptimize(output);
        benchmark::ClobberMemory();
    }
    fftw_destroy_plan(plan);
    fftw_free(input);
    fftw_free(output);
}

void BM_SingleBeamMertz(benchmark::State& state) {
    const std::vector<double> samples = calibratedHalf();
    ostrel::spectra::Processor processor;
    ostrel::spectra::Spectrum spectrum;
    std::string error;
    for (auto _ : state) {
        if (!processor.process(samples.data(), samples.size(), &spectrum, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        benchmark::DoNotOptimize(spectrum.values.data());
        benchmark::ClobberMemory();
    }
}

// The same with the half's quality gates computed alongside.
void BM_SingleBeamMertzWithGates(benchmark::State& state) {
    const std::vector<double> samples = calibratedHalf();
    ostrel::spectra::Processor processor;
    ostrel::spectra::Spectrum spectrum;
    ostrel::spectra::HalfQuality quality;
    std::string error;
    for (auto _ : state) {
        if (!processor.process(samples.data(), samples.size(), &spectrum, &quality, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        benchmark::DoNotOptimize(spectrum.values.data());
        benchmark::DoNotOptimize(quality.gates.data());
        benchmark::ClobberMemory();
    }
}

}  // namespace

BENCHMARK(BM_BareRealTransform)->Arg(32768)->Arg(65536)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SingleBeamMertz)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SingleBeamMertzWithGates)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
