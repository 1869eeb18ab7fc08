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
    /* Where the detector can have signal, cm^-1, for the out_of_band gate; default 400 .. 6000.
     * Both 0: the default band. */
    double detector_low;
    double detector_high;
} ostrel_spectra_settings;

typedef struct ostrel_spectra_info {
    double first_wavenumber; /* cm^-1 of values[0] */
    double wavenumber_step;  /* cm^-1 between values */
    size_t count;            /* values written (or needed, with OSTREL_SPECTRA_ERR_CAPACITY) */
    double zpd_index;        /* ZPD in points from the start, to a fraction */
    double resolution;       /* nominal: 1 / longest path difference after ZPD, cm^-1 */
} ostrel_spectra_info;

/* Quality gates (see ostrel_spectra/quality.h): a status, the value measured, the threshold that
 * decided the status and a reason in words, per gate. */
#define OSTREL_SPECTRA_GATE_OK 0
#define OSTREL_SPECTRA_GATE_WARNING 1
#define OSTREL_SPECTRA_GATE_FAIL 2
#define OSTREL_SPECTRA_MAX_GATES 5 /* burst, zpd_edge, clipped, out_of_band, zpd_agreement */
#define OSTREL_SPECTRA_GATE_NAME_SIZE 16
#define OSTREL_SPECTRA_GATE_REASON_SIZE 256

typedef struct ostrel_spectra_gate {
    char name[OSTREL_SPECTRA_GATE_NAME_SIZE]; /* "burst", "zpd_edge", ..., NUL-terminated */
    int32_t status;                           /* OSTREL_SPECTRA_GATE_* */
    double value;
    double threshold;
    char reason[OSTREL_SPECTRA_GATE_REASON_SIZE]; /* NUL-terminated, cut to fit */
} ostrel_spectra_gate;

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

/* ostrel_spectra_single_beam, and the half's quality gates into gates[0 .. gate_capacity - 1]
 * (*gate_count receives how many the half has: 4). With fewer than 4 slots the spectrum is
 * still written, the first gate_capacity gates too, and OSTREL_SPECTRA_ERR_CAPACITY returned;
 * nothing is written past either array. *worst receives the worst status (may be null). */
OSTREL_SPECTRA_EXPORT int32_t ostrel_spectra_single_beam_gated(
    const ostrel_spectra_settings* settings, const double* samples, size_t points, double* values,
    size_t capacity, ostrel_spectra_info* info, ostrel_spectra_gate* gates, size_t gate_capacity,
    size_t* gate_count, int32_t* worst, char* error, size_t error_size);

/* The zpd_agreement gate of a two-direction record from the ZPDs (zpd_index) of its forward and
 * reverse halves of `points` points each. */
OSTREL_SPECTRA_EXPORT int32_t ostrel_spectra_zpd_agreement(double forward_zpd, double reverse_zpd,
                                                           size_t points,
                                                           ostrel_spectra_gate* gate);

/* A sentence about the worst of `gates` (as filled above, with the zpd_agreement gate appended
 * when there is one) and what to try, for a half of `points` points with ZPD at zpd_index,
 * recorded in direction `reverse` (0 forward, 1 reverse) at skip points `current_skip`. Empty
 * when every gate is ok. Cut to text_size - 1 characters. */
OSTREL_SPECTRA_EXPORT int32_t ostrel_spectra_hint(const ostrel_spectra_gate* gates,
                                                  size_t gate_count, double zpd_index,
                                                  size_t points, int32_t reverse,
                                                  int64_t current_skip, char* text,
                                                  size_t text_size);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_SPECTRA_H */
