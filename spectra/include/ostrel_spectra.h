/* The spectral library's C interface: the same interferogram-to-spectrum path as the C++ API
 * (ostrel_spectra/spectra.h), for hosts that cannot use C++ (the Python package loads it with
 * ctypes). Every function returns 0 on success or a negative OSTREL_SPECTRA_ERR_* code, and
 * writes a description of the failure into the caller's error buffer when one is given. */
#ifndef OSTREL_SPECTRA_H
#define OSTREL_SPECTRA_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define OSTREL_SPECTRA_EXPORT __declspec(dllexport)
#else
#define OSTREL_SPECTRA_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define OSTREL_SPECTRA_OK 0
#define OSTREL_SPECTRA_ERR_ARGUMENT (-1) /* a null pointer, an unknown name, a bad setting */
#define OSTREL_SPECTRA_ERR_INPUT (-2)    /* the interferogram cannot be transformed */
#define OSTREL_SPECTRA_ERR_CAPACITY (-3) /* the output array is too small (see *count) */

typedef struct ostrel_spectra_settings {
    double laser_wavenumber; /* cm^-1, default 15798.0 */
    int32_t undersampling;   /* >= 1, default 2 */
    const char* apodization; /* "happ-genzel" (default), "boxcar", "triangular", ... */
    int32_t zero_fill;       /* 1, 2 (default), 4 or 8 */
    const char* phase;       /* "mertz" (default), "magnitude" or "power" */
    double phase_resolution; /* cm^-1, default 32.0 */
    double range_low;        /* cm^-1 kept in the output, default 0 */
    double range_high;       /* default: far above the highest wavenumber */
} ostrel_spectra_settings;

typedef struct ostrel_spectra_info {
    double first_wavenumber; /* cm^-1 of values[0] */
    double wavenumber_step;  /* cm^-1 between values */
    size_t count;            /* values written (or needed, with OSTREL_SPECTRA_ERR_CAPACITY) */
    double zpd_index;        /* ZPD in points from the start, to a fraction */
    double resolution;       /* nominal: 1 / longest path difference after ZPD, cm^-1 */
} ostrel_spectra_info;

/* Fills *settings with the defaults. */
OSTREL_SPECTRA_EXPORT void ostrel_spectra_default_settings(ostrel_spectra_settings* settings);

/* The largest number of values a half of `points` points can give with these settings. */
OSTREL_SPECTRA_EXPORT int32_t ostrel_spectra_max_values(const ostrel_spectra_settings* settings,
                                                        size_t points, size_t* count);

/* Transforms one half of `points` samples into a spectrum of at most `capacity` values. The
 * calling thread keeps its work buffers, so repeated calls of one length allocate nothing. */
OSTREL_SPECTRA_EXPORT int32_t ostrel_spectra_single_beam(const ostrel_spectra_settings* settings,
                                                         const double* samples, size_t points,
                                                         double* values, size_t capacity,
                                                         ostrel_spectra_info* info, char* error,
                                                         size_t error_size);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_SPECTRA_H */
