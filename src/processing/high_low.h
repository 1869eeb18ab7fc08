// Combination of a scan half's high-gain and low-gain channels into one curve in the units of
// the low-gain channel: the low-gain samples where the high-gain ones are large, the high-gain
// samples mapped by a fitted line elsewhere, cross-faded over sine-squared ramps in between.
#pragma once

#include <cstdint>

#include "platform/annotations.h"
#include "state/locks.h"

namespace ostrel {

inline constexpr double kThresholdPerScan = 20000.0;
inline constexpr int32_t kRampLength = 64;
inline constexpr int32_t kPlateauExtension = 2;

struct Transitions {
    int32_t rampStart;
    int32_t plateauStart;
    int32_t plateauEnd;
    int32_t rampEnd;
};

// The indices and weights of the half processed last (kept between calls, shared work storage).
const Transitions& lastTransitions() OSTREL_REQUIRES(workStorageLock());
const double* blendWeights() OSTREL_REQUIRES(workStorageLock());

void findTransitions(const int32_t* samples, int32_t count, double threshold,
                     Transitions* transitions, int32_t rampLength);
void makeWeights(double* weights, int32_t count, const Transitions& transitions);

// Fits y = M x + B over the indices outside [lo, hi]. Returns false (M 1, B 0) when the fit is
// degenerate: nothing summed or a zero denominator.
bool fitLine(const int32_t* x, const int32_t* y, int32_t count, double* M, double* B, int32_t lo,
             int32_t hi);
void scaleChannel(int32_t* samples, int32_t count, double M, double B);
void blendChannels(const int32_t* low, const int32_t* high, const double* weights, int32_t count,
                   double* out);

// Both combinations keep the transitions and weights of the half in the shared work storage.
void combineHighLow(int32_t* high, const int32_t* low, double* out, int32_t npts, int32_t scount,
                    int32_t recompute) OSTREL_REQUIRES(workStorageLock());

// combineHighLow with every output value multiplied by factor in the same pass, as unglomData
// divides each half by its scan count; factor 1.0 gives exactly combineHighLow's output.
void combineHighLowScaledBy(int32_t* high, const int32_t* low, double* out, int32_t npts,
                            int32_t scount, int32_t recompute, double factor)
    OSTREL_REQUIRES(workStorageLock());

}  // namespace ostrel
