#include "processing/high_low.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "diag/clocks.h"
#include "diag/trace.h"
#include "processing/data_block.h"

namespace ostrel {

namespace {

// The double nearest pi/2, written out so that every build computes the same weights.
constexpr double kHalfPi = 1.5707963267948966;

// The per-sample loops take kLanes samples per step as straight-line code, which the compiler
// turns into vector instructions even at the default optimisation level; the remainder goes one
// sample at a time. Every lane computes the same formula, so the results do not depend on it.
constexpr int32_t kLanes = 4;

// Transition state and blend weights of the half processed last. A call with recompute 0 reuses
// them, so they outlive the call; zero at load means "all high-gain" until the first recompute.
Transitions transitionState OSTREL_GUARDED_BY(workStorageLock()){};
double blendWeightTable[kMaxPoints] OSTREL_GUARDED_BY(workStorageLock());

int32_t clampIndex(int64_t value, int32_t count) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, 0, std::max(count, 0)));
}

// The sums of the fit, one partial sum per lane so that the additions do not form one long
// dependency chain. The x and y sums are exact in any order (integers far below 2^53); the
// squares and products differ from a single running sum only by rounding.
struct FitSums {
    double sx[kLanes];
    double sxx[kLanes];
    double sy[kLanes];
    double sxy[kLanes];
};

void accumulate(const int32_t* x, const int32_t* y, int32_t begin, int32_t end, FitSums* sums) {
    int32_t i = begin;
    for (; i + kLanes <= end; i += kLanes) {
        for (int32_t lane = 0; lane < kLanes; ++lane) {
            const double xv = x[i + lane];
            const double yv = y[i + lane];
            sums->sx[lane] += xv;
            sums->sxx[lane] += xv * xv;
            sums->sy[lane] += yv;
            sums->sxy[lane] += xv * yv;
        }
    }
    for (; i < end; ++i) {
        const double xv = x[i];
        const double yv = y[i];
        sums->sx[0] += xv;
        sums->sxx[0] += xv * xv;
        sums->sy[0] += yv;
        sums->sxy[0] += xv * yv;
    }
}

double total(const double (&lanes)[kLanes]) {
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

// Fills weights[begin, end) with sin^2 (rising) or cos^2 (falling) of a quarter period spread over
// the range. Only the ramps pay for the trigonometry.
template <bool rising>
void fillRamp(double* weights, int32_t begin, int32_t end) {
    const double length = static_cast<double>(end - begin);
    for (int32_t i = begin; i < end; ++i) {
        const double angle = static_cast<double>(i - begin) * kHalfPi / length;
        const double wave = rising ? std::sin(angle) : std::cos(angle);
        weights[i] = wave * wave;
    }
}

// Nearest int32 to the truncated value; NaN maps to 0. The bounds are exact doubles, and every
// value between INT32_MAX and INT32_MAX + 1 truncates to INT32_MAX anyway. Free of branches so
// that the loops around it vectorise.
int32_t saturateToInt32(double value) {
    constexpr double kLowest = static_cast<double>(std::numeric_limits<int32_t>::min());
    constexpr double kHighest = static_cast<double>(std::numeric_limits<int32_t>::max());
    double bounded = value == value ? value : 0.0;
    bounded = bounded < kLowest ? kLowest : bounded;
    bounded = bounded > kHighest ? kHighest : bounded;
    return static_cast<int32_t>(bounded);
}

// True when no int32 sample can map outside the int32 range, so that truncation alone is safe and
// the loops need no clamping: |x| <= 2^31 and rounding is monotonic, so |x * M + B| computed in
// doubles never exceeds 2^31 |M| + |B| computed in doubles. False for a non-finite M or B.
bool staysInRange(double M, double B) {
    return std::fabs(M) * 2147483648.0 + std::fabs(B) < 2147483647.0;
}

template <bool saturate>
int32_t scaledSample(int32_t sample, double M, double B) {
    const double value = static_cast<double>(sample) * M + B;
    if constexpr (saturate) {
        return saturateToInt32(value);
    } else {
        return static_cast<int32_t>(value);
    }
}

double blendedSample(int32_t low, int32_t high, double weight) {
    return static_cast<double>(low) * weight + static_cast<double>(high) * (1.0 - weight);
}

template <bool saturate>
void scaleSamples(int32_t* samples, int32_t count, double M, double B) {
    int32_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        int32_t scaled[kLanes];
        for (int32_t lane = 0; lane < kLanes; ++lane) {
            scaled[lane] = scaledSample<saturate>(samples[i + lane], M, B);
        }
        for (int32_t lane = 0; lane < kLanes; ++lane) {
            samples[i + lane] = scaled[lane];
        }
    }
    for (; i < count; ++i) {
        samples[i] = scaledSample<saturate>(samples[i], M, B);
    }
}

// scaleChannel and blendChannels in one pass over the samples, with the blend multiplied by
// factor (1.0 leaves it exactly as blendChannels computes it).
template <bool saturate>
void scaleAndBlend(int32_t* high, const int32_t* low, const double* weights, int32_t count,
                   double M, double B, double factor, double* out) {
    int32_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        int32_t scaled[kLanes];
        double blended[kLanes];
        for (int32_t lane = 0; lane < kLanes; ++lane) {
            scaled[lane] = scaledSample<saturate>(high[i + lane], M, B);
            blended[lane] = blendedSample(low[i + lane], scaled[lane], weights[i + lane]) * factor;
        }
        for (int32_t lane = 0; lane < kLanes; ++lane) {
            high[i + lane] = scaled[lane];
            out[i + lane] = blended[lane];
        }
    }
    for (; i < count; ++i) {
        high[i] = scaledSample<saturate>(high[i], M, B);
        out[i] = blendedSample(low[i], high[i], weights[i]) * factor;
    }
}

}  // namespace

const Transitions& lastTransitions() {
    return transitionState;
}

const double* blendWeights() {
    return blendWeightTable;
}

void findTransitions(const int32_t* samples, int32_t count, double threshold,
                     Transitions* transitions, int32_t rampLength) {
    *transitions = Transitions{};
    int32_t first = 0;
    while (first < count && !(std::fabs(static_cast<double>(samples[first])) > threshold)) {
        ++first;
    }
    if (first < count) {
        transitions->plateauStart = std::max(first - kPlateauExtension, 0);
        transitions->rampStart = std::max(transitions->plateauStart - rampLength, 0);
    }
    int32_t last = count - 1;
    while (last > transitions->plateauStart &&
           !(std::fabs(static_cast<double>(samples[last])) > threshold)) {
        --last;
    }
    if (last > transitions->plateauStart) {
        transitions->plateauEnd = clampIndex(int64_t{last} + kPlateauExtension, count);
        transitions->rampEnd = clampIndex(int64_t{transitions->plateauEnd} + rampLength, count);
    }
}

void makeWeights(double* weights, int32_t count, const Transitions& transitions) {
    // Indices reused from a call with more points may lie beyond count; clamp and order them.
    const int32_t a = clampIndex(transitions.rampStart, count);
    const int32_t b = std::max(a, clampIndex(transitions.plateauStart, count));
    const int32_t c = std::max(b, clampIndex(transitions.plateauEnd, count));
    const int32_t d = std::max(c, clampIndex(transitions.rampEnd, count));
    std::fill(weights, weights + a, 0.0);
    fillRamp<true>(weights, a, b);
    std::fill(weights + b, weights + c, 1.0);
    fillRamp<false>(weights, c, d);
    std::fill(weights + d, weights + std::max(count, 0), 0.0);
}

bool fitLine(const int32_t* x, const int32_t* y, int32_t count, double* M, double* B, int32_t lo,
             int32_t hi) {
    // The indices summed are i < lo and i > hi: [0, lowEnd) and [highBegin, count). When hi < lo
    // the two overlap and together cover everything, so the second starts where the first ends.
    const int32_t lowEnd = clampIndex(lo, count);
    const int32_t highBegin = std::max(lowEnd, clampIndex(int64_t{hi} + 1, count));
    const int32_t summed = lowEnd + (std::max(count, 0) - highBegin);

    FitSums sums{};
    accumulate(x, y, 0, lowEnd, &sums);
    accumulate(x, y, highBegin, count, &sums);

    // Means over the points actually summed: dividing by all points would bias the line whenever
    // the plateau is left out, and the stitched curve would step at the ramps.
    const double points = static_cast<double>(summed);
    const double mx = total(sums.sx) / points;
    const double mxx = total(sums.sxx) / points;
    const double my = total(sums.sy) / points;
    const double mxy = total(sums.sxy) / points;
    const double denominator = mx * mx - mxx;
    const double slope = (my * mx - mxy) / denominator;
    const double offset = (mxy * mx - my * mxx) / denominator;

    // The denominator is minus the variance of x, never positive in exact arithmetic; zero or
    // positive means no spread (or only rounding noise), and the line is undefined.
    const bool defined =
        summed > 0 && denominator < 0.0 && std::isfinite(slope) && std::isfinite(offset);
    *M = defined ? slope : 1.0;
    *B = defined ? offset : 0.0;
    return defined;
}

void scaleChannel(int32_t* samples, int32_t count, double M, double B) {
    if (staysInRange(M, B)) {
        scaleSamples<false>(samples, count, M, B);
    } else {
        scaleSamples<true>(samples, count, M, B);
    }
}

void blendChannels(const int32_t* low, const int32_t* high, const double* weights, int32_t count,
                   double* out) {
    int32_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        double blended[kLanes];
        for (int32_t lane = 0; lane < kLanes; ++lane) {
            blended[lane] = blendedSample(low[i + lane], high[i + lane], weights[i + lane]);
        }
        for (int32_t lane = 0; lane < kLanes; ++lane) {
            out[i + lane] = blended[lane];
        }
    }
    for (; i < count; ++i) {
        out[i] = blendedSample(low[i], high[i], weights[i]);
    }
}

void combineHighLowScaledBy(int32_t* high, const int32_t* low, double* out, int32_t npts,
                            int32_t scount, int32_t recompute, double factor) {
    const double t0 = monotonicMs();
    const double threshold = kThresholdPerScan * scount;
    trace("OstrelTCP CombineHighLow: npts= %d; scount= %d @%f", npts, scount, clockMs());
    // The weight table holds kMaxPoints entries; more points would run past it.
    if (npts < 0 || npts > kMaxPoints) {
        trace("OstrelTCP CombineHighLow: npts= %d outside 0..%d, nothing combined", npts,
              kMaxPoints);
        return;
    }
    if (recompute != 0) {
        findTransitions(high, npts, threshold, &transitionState, kRampLength);
        trace("OstrelTCP CombineHighLow: transitions at %d, %d, %d, %d", transitionState.rampStart,
              transitionState.plateauStart, transitionState.plateauEnd, transitionState.rampEnd);
        makeWeights(blendWeightTable, npts, transitionState);
    }
    double M = 1.0;
    double B = 0.0;
    if (!fitLine(high, low, npts, &M, &B, transitionState.plateauStart,
                 transitionState.plateauEnd)) {
        trace("OstrelTCP CombineHighLow: no line fits outside %d..%d, high-gain values kept",
              transitionState.plateauStart, transitionState.plateauEnd);
    }
    trace("OstrelTCP CombineHighLow: M= %f; B= %f", M, B);
    if (staysInRange(M, B)) {
        scaleAndBlend<false>(high, low, blendWeightTable, npts, M, B, factor, out);
    } else {
        scaleAndBlend<true>(high, low, blendWeightTable, npts, M, B, factor, out);
    }
    trace("OstrelTCP: combineHighLow took %f ms", monotonicMs() - t0);
}

void combineHighLow(int32_t* high, const int32_t* low, double* out, int32_t npts, int32_t scount,
                    int32_t recompute) {
    combineHighLowScaledBy(high, low, out, npts, scount, recompute, 1.0);
}

}  // namespace ostrel
