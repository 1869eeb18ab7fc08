// FFTW plans shared by every Processor in the process, one per transform length. FFTW's planner
// is not thread-safe, so plans are made under one lock; executing a plan on other arrays of the
// same alignment (fftw_execute_dft_r2c) is, so each Processor runs the shared plan on its own
// buffers without the lock.
#pragma once

#include <fftw3.h>

#include <cstddef>

namespace ostrel::spectra {

// The real-to-complex plan of `length` points (out of place, arrays from fftw_alloc_*). Plans
// live until the process ends.
fftw_plan realToComplexPlan(size_t length);

}  // namespace ostrel::spectra
