// The quality gates of a half and of a two-direction pair, and the hint built from them.
#include "ostrel_spectra/quality.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "quality_gates.h"

namespace ostrel::spectra {
namespace {

// Room for the longest reason, reserved once so that later reasons are written in place.
constexpr size_t kReasonCapacity = 256;
// Normal deviations per median absolute deviation of Gaussian noise.
constexpr double kMadToDeviation = 1.4826;
// A record without any noise (synthesised) would divide by zero; its ratio is reported as this.
constexpr double kNoiselessRatio = 1e9;

enum GateIndex : size_t { kBurst = 0, kZpdEdge = 1, kClipped = 2, kOutOfBand = 3, kHalfGates = 4 };

// Formats into the gate's reason without allocating once its storage has been reserved.
template <typename... Args>
void setReason(Gate* gate, const char* format, Args... args) {
    char text[kReasonCapacity];
    const int length = std::snprintf(text, sizeof text, format, args...);
    const size_t kept = length < 0 ? 0 : std::min(static_cast<size_t>(length), sizeof text - 1);
    gate->reason.assign(text, kept);
}

void setGate(Gate* gate, GateStatus status, double value, double threshold) {
    gate->status = status;
    gate->value = value;
    gate->threshold = threshold;
}

Gate* findGate(HalfQuality* quality, std::string_view gateName) {
    for (Gate& gate : quality->gates) {
        if (gate.name == gateName) {
            return &gate;
        }
    }
    return nullptr;
}

GateStatus worstOf(const std::vector<Gate>& gates) {
    GateStatus worst = GateStatus::Ok;
    for (const Gate& gate : gates) {
        worst = std::max(worst, gate.status);
    }
    return worst;
}

}  // namespace

std::string_view name(GateStatus status) {
    switch (status) {
        case GateStatus::Ok:
            return "ok";
        case GateStatus::Warning:
            return "warning";
        case GateStatus::Fail:
            return "fail";
    }
    return "fail";
}

const Gate* HalfQuality::find(std::string_view gateName) const {
    for (const Gate& gate : gates) {
        if (gate.name == gateName) {
            return &gate;
        }
    }
    return nullptr;
}

namespace gates {

void prepare(HalfQuality* quality) {
    std::vector<Gate>& list = quality->gates;
    if (list.size() > kHalfGates) {
        quality->spareAgreement = std::move(list[kHalfGates]);
        list.resize(kHalfGates);
    }
    if (list.size() < kHalfGates) {
        // The first half: one more slot for the pair's gate, so that adding it never reallocates.
        list.reserve(kHalfGates + 1);
        list.resize(kHalfGates);
        const std::string_view names[kHalfGates] = {kBurstGate, kZpdEdgeGate, kClippedGate,
                                                    kOutOfBandGate};
        for (size_t i = 0; i < kHalfGates; ++i) {
            list[i].name = names[i];
            list[i].reason.reserve(kReasonCapacity);
        }
    }
}

// The noise comes from the quarter of the record farthest from ZPD, by the median absolute
// deviation, which the wing's remaining fringes and a spike or two barely move; the quarter
// nearest ZPD would hold the burst's own decaying fringes. In a record without a burst the
// largest value is one of the wing's own: a few deviations for noise alone (the largest of
// 32768 Gaussian values is about 4.5 deviations), so the ratio says whether there is a burst.
void evaluateBurst(const double* centred, size_t count, size_t peak, std::vector<double>* scratch,
                   HalfQuality* quality) {
    const size_t wingLength = std::max<size_t>(count / 4, 1);
    // After turning, the long side follows ZPD, so the far wing is the record's end.
    const size_t wingStart = count - wingLength;
    std::vector<double>& wing = *scratch;
    wing.assign(centred + wingStart, centred + count);
    const auto middle = wing.begin() + static_cast<std::ptrdiff_t>(wingLength / 2);
    std::nth_element(wing.begin(), middle, wing.end());
    const double median = *middle;
    for (double& value : wing) {
        value = std::fabs(value - median);
    }
    std::nth_element(wing.begin(), middle, wing.end());
    const double noise = kMadToDeviation * *middle;
    const double height = std::fabs(centred[peak]);
    const double ratio = noise > 0.0 ? std::min(height / noise, kNoiselessRatio)
                                     : (height > 0.0 ? kNoiselessRatio : 0.0);
    quality->burstHeight = height;
    quality->noise = noise;

    Gate* gate = &quality->gates[kBurst];
    if (ratio < kBurstFailRatio) {
        setGate(gate, GateStatus::Fail, ratio, kBurstFailRatio);
        setReason(gate,
                  "the record holds no centre burst: its largest value is %.3g times the noise "
                  "(needs %.0f)",
                  ratio, kBurstFailRatio);
    } else if (ratio < kBurstWarningRatio) {
        setGate(gate, GateStatus::Warning, ratio, kBurstWarningRatio);
        setReason(gate,
                  "the centre burst is weak: %.3g times the noise (%.0f for a clear one); the "
                  "spectrum will be noisy",
                  ratio, kBurstWarningRatio);
    } else {
        setGate(gate, GateStatus::Ok, ratio, kBurstWarningRatio);
        setReason(gate, "the centre burst stands %.3g times above the noise", ratio);
    }
}

void evaluateZpdEdge(size_t shortSide, size_t phasePoints, bool turned, double phaseResolution,
                     HalfQuality* quality) {
    quality->shortSide = shortSide;
    quality->phasePoints = phasePoints;
    const auto wanted = static_cast<double>(phasePoints);
    const double okPoints = std::ceil(kPhaseSectionWarningShare * wanted);
    const double failPoints = std::max(std::ceil(kPhaseSectionFailShare * wanted),
                                       static_cast<double>(kMinimumShortSide));
    const auto side = static_cast<double>(shortSide);
    const char* edge = turned ? "end" : "start";
    Gate* gate = &quality->gates[kZpdEdge];
    // The phase section has as many points either side as the short side holds, so its
    // resolution is that many times coarser than asked.
    const double achieved = side > 0.0 ? phaseResolution * wanted / side : 0.0;
    if (side < failPoints) {
        setGate(gate, GateStatus::Fail, side, failPoints);
        setReason(gate,
                  "ZPD lies %.0f point%s from the record's %s: the phase needs at least %.0f "
                  "there (%.0f for the %.3g cm^-1 phase resolution asked)",
                  side, side == 1.0 ? "" : "s", edge, failPoints, wanted, phaseResolution);
    } else if (side < okPoints) {
        setGate(gate, GateStatus::Warning, side, okPoints);
        setReason(gate,
                  "ZPD lies %.0f points from the record's %s: the phase comes from a %.3g cm^-1 "
                  "section instead of the %.3g cm^-1 asked (needs %.0f points)",
                  side, edge, achieved, phaseResolution, okPoints);
    } else {
        setGate(gate, GateStatus::Ok, side, okPoints);
        setReason(gate, "ZPD lies %.0f points from the record's %s, enough for the phase (%.0f)",
                  side, edge, okPoints);
    }
}

// A channel at its limit repeats one count for as long as the signal stays beyond it. The driver
// blends the two gain channels: it takes the low-gain samples wherever the high-gain ones exceed
// 20000 counts per scan, maps the high-gain ones by a line fitted outside that stretch and
// divides by the scan count. A high-gain channel that clips above that level never reaches the
// blend; one that clips at or below it (a burst too bright for the high-gain range while the
// blend keeps it), or a low-gain channel at its own limit, does: every clipped sample is the
// same count, mapped by the same line and divided by the same scan count, so the blended doubles
// are exactly equal. Near ZPD the clipped samples are the burst's top and the bottoms of its
// first fringes, so the window's largest (or smallest) value occurs several times, not in a row
// but wherever the signal passed the limit. An unclipped burst has one largest and one smallest
// value there; a ZPD exactly halfway between two points of a noiseless record can give two. Only
// an extreme that stands as far above the noise as a burst must (kBurstFailRatio) is counted:
// without a burst the window holds noise, whose values repeat by the counts' quantisation.
void evaluateClipped(const double* centred, size_t count, size_t peak, HalfQuality* quality) {
    const size_t from = peak > kClippedWindow ? peak - kClippedWindow : 0;
    const size_t to = std::min(count, peak + kClippedWindow + 1);
    double highest = centred[from];
    double lowest = centred[from];
    for (size_t k = from; k < to; ++k) {
        highest = std::max(highest, centred[k]);
        lowest = std::min(lowest, centred[k]);
    }
    size_t atHighest = 0;
    size_t atLowest = 0;
    for (size_t k = from; k < to; ++k) {
        atHighest += centred[k] == highest ? 1 : 0;
        atLowest += centred[k] == lowest ? 1 : 0;
    }
    const double burstLevel = kBurstFailRatio * quality->noise;
    atHighest = highest > burstLevel ? atHighest : 0;
    atLowest = -lowest > burstLevel ? atLowest : 0;
    const auto points = static_cast<double>(highest > lowest ? std::max(atHighest, atLowest) : 0);
    Gate* gate = &quality->gates[kClipped];
    if (points >= kClippedPoints) {
        setGate(gate, GateStatus::Warning, points, kClippedPoints);
        setReason(gate,
                  "the burst is clipped: %.0f points near ZPD hold the same extreme value (a "
                  "channel at its limit), so the spectrum is distorted",
                  points);
    } else {
        setGate(gate, GateStatus::Ok, points, kClippedPoints);
        setReason(gate, "the burst is not clipped (%.0f points at the extreme value near ZPD)",
                  points);
    }
}

// The power of each bin, |F|^2, summed inside and outside the band. A spectrum on the right axis
// has its energy where the detector sees; one whose axis is wrong (laser wavenumber,
// undersampling) or whose signal folds over from beyond the highest wavenumber has much of it
// elsewhere, and so has a record that is all noise or a drifting baseline.
void evaluateOutOfBand(const double* bins, size_t binCount, double binsPerWavenumber, double low,
                       double high, HalfQuality* quality) {
    const double firstInside = std::ceil(low * binsPerWavenumber);
    const double lastInside = std::floor(high * binsPerWavenumber);
    const size_t first =
        static_cast<size_t>(std::clamp(firstInside, 0.0, static_cast<double>(binCount)));
    const size_t end =
        high < low ? first
                   : static_cast<size_t>(std::clamp(lastInside + 1.0, static_cast<double>(first),
                                                    static_cast<double>(binCount)));
    auto power = [bins](size_t from, size_t to) {
        double sum = 0.0;
        for (size_t j = from; j < to; ++j) {
            sum += bins[2 * j] * bins[2 * j] + bins[2 * j + 1] * bins[2 * j + 1];
        }
        return sum;
    };
    const double outside = power(0, first) + power(end, binCount);
    const double inside = power(first, end);
    const double total = inside + outside;
    const double share = total > 0.0 ? outside / total : 0.0;
    Gate* gate = &quality->gates[kOutOfBand];
    const double percent = 100.0 * share;
    if (share > kOutOfBandFailShare || share > kOutOfBandWarningShare) {
        const bool fails = share > kOutOfBandFailShare;
        setGate(gate, fails ? GateStatus::Fail : GateStatus::Warning, share,
                fails ? kOutOfBandFailShare : kOutOfBandWarningShare);
        setReason(gate,
                  "%.3g%% of the spectrum's energy lies outside %.0f .. %.0f cm^-1, where the "
                  "detector has no signal: check the laser wavenumber and the undersampling, "
                  "or the signal is aliased or buried in noise",
                  percent, low, high);
    } else {
        setGate(gate, GateStatus::Ok, share, kOutOfBandWarningShare);
        setReason(gate, "%.3g%% of the spectrum's energy lies outside %.0f .. %.0f cm^-1", percent,
                  low, high);
    }
}

void finish(HalfQuality* quality) {
    quality->worst = worstOf(quality->gates);
}

}  // namespace gates

void evaluateZpdAgreement(double forwardZpd, double reverseZpd, size_t points, Gate* gate) {
    gate->name = kZpdAgreementGate;
    if (gate->reason.capacity() < kReasonCapacity) {
        gate->reason.reserve(kReasonCapacity);
    }
    // The reverse half runs the same path backwards and is laid out as recorded, so its point k
    // is the forward half's point (points - 1 - k).
    const double expected = static_cast<double>(points) - 1.0 - forwardZpd;
    const double apart = std::fabs(reverseZpd - expected);
    if (apart > kZpdAgreementFailPoints) {
        setGate(gate, GateStatus::Fail, apart, kZpdAgreementFailPoints);
        setReason(gate,
                  "the halves disagree on ZPD by %.3g points (forward %.1f, reverse %.1f, where "
                  "%.1f was expected): they did not find the same burst",
                  apart, forwardZpd, reverseZpd, expected);
    } else if (apart > kZpdAgreementWarningPoints) {
        setGate(gate, GateStatus::Warning, apart, kZpdAgreementWarningPoints);
        setReason(gate,
                  "the halves disagree on ZPD by %.3g points (forward %.1f, reverse %.1f, where "
                  "%.1f was expected): one direction is sampled at other positions",
                  apart, forwardZpd, reverseZpd, expected);
    } else {
        setGate(gate, GateStatus::Ok, apart, kZpdAgreementWarningPoints);
        setReason(gate, "the halves agree on ZPD within %.3g points", apart);
    }
}

void checkZpdAgreement(HalfQuality* forward, HalfQuality* reverse) {
    Gate* gates[2] = {findGate(forward, kZpdAgreementGate), findGate(reverse, kZpdAgreementGate)};
    HalfQuality* halves[2] = {forward, reverse};
    for (size_t i = 0; i < 2; ++i) {
        if (gates[i] == nullptr) {
            halves[i]->gates.push_back(std::move(halves[i]->spareAgreement));
            gates[i] = &halves[i]->gates.back();
        }
    }
    evaluateZpdAgreement(forward->zpdIndex, reverse->zpdIndex, forward->points, gates[0]);
    *gates[1] = *gates[0];
    forward->worst = worstOf(forward->gates);
    reverse->worst = worstOf(reverse->gates);
}

int64_t skipChange(const HalfQuality& quality, HalfDirection direction) {
    const double forwardZpd = direction == HalfDirection::Forward
                                  ? quality.zpdIndex
                                  : static_cast<double>(quality.points) - 1.0 - quality.zpdIndex;
    return static_cast<int64_t>(std::llround(forwardZpd)) - kCalibratedZpdPoints;
}

std::string hint(const HalfQuality& quality, HalfDirection direction, int64_t currentSkip) {
    // Failures first; among gates of one status, the cause that explains the others first.
    // A clipped burst puts energy out of band, a missing one makes the halves disagree.
    const std::string_view order[] = {kBurstGate, kZpdEdgeGate, kClippedGate, kZpdAgreementGate,
                                      kOutOfBandGate};
    const Gate* chosen = nullptr;
    for (const GateStatus status : {GateStatus::Fail, GateStatus::Warning}) {
        for (const std::string_view gateName : order) {
            const Gate* gate = quality.find(gateName);
            if (chosen == nullptr && gate != nullptr && gate->status == status) {
                chosen = gate;
            }
        }
    }
    if (chosen == nullptr) {
        return {};
    }
    char text[400];
    const auto points = static_cast<unsigned long long>(quality.points);
    const auto skip = static_cast<long long>(currentSkip);
    if (chosen->name == kBurstGate && chosen->status == GateStatus::Fail) {
        std::snprintf(text, sizeof text,
                      "no centre burst in the %llu points recorded from skip %lld: run with "
                      "--calibrate to find it (or check the source and the detector if the "
                      "calibration finds none either)",
                      points, skip);
    } else if (chosen->name == kBurstGate) {
        std::snprintf(text, sizeof text,
                      "the centre burst is weak: check the alignment and the source, raise the "
                      "gain or co-add more scans");
    } else if (chosen->name == kZpdEdgeGate) {
        const long long suggested = std::max<long long>(0, skip + skipChange(quality, direction));
        std::snprintf(text, sizeof text,
                      "the centre burst is at the edge of the record (ZPD at point %.1f of "
                      "%llu): run with --calibrate, or use --skip %lld to put ZPD %lld points "
                      "into the scan",
                      quality.zpdIndex, points, suggested,
                      static_cast<long long>(kCalibratedZpdPoints));
    } else if (chosen->name == kOutOfBandGate) {
        std::snprintf(text, sizeof text,
                      "the spectrum lies largely outside the detector's band: check the laser "
                      "wavenumber and the undersampling (--laser-wavenumber, --undersampling)");
    } else if (chosen->name == kZpdAgreementGate) {
        std::snprintf(text, sizeof text,
                      "the forward and reverse halves put ZPD at different places: the fringe "
                      "count may have slipped in one direction; check the reference laser's "
                      "signal, or record one direction");
    } else {
        std::snprintf(text, sizeof text,
                      "the centre burst is clipped: lower the gain (--gain) or the light level");
    }
    return std::string(chosen->name) + ": " + text;
}

}  // namespace ostrel::spectra
