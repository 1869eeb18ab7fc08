// Quality gates of one half: whether its interferogram can give a spectrum worth trusting, each
// with a status, the value measured, the threshold it was held to and a reason in words.
//
// The gates of a half are computed with its spectrum (Processor::process with a HalfQuality):
//   burst        the centre burst stands clearly above the record's noise;
//   zpd_edge     the short side of ZPD holds enough points for the phase section;
//   clipped      the burst's top is not a run of identical values (a channel at its limit);
//   out_of_band  little of the spectrum's energy lies where the instrument can have no signal.
// A two-direction record adds zpd_agreement to both halves (checkZpdAgreement): the reverse half
// runs the forward half's path backwards, so its ZPD must lie where the forward one does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::spectra {

enum class GateStatus { Ok, Warning, Fail };

// "ok", "warning", "fail".
std::string_view name(GateStatus status);

struct Gate {
    std::string name;  // one of the k...Gate names below
    GateStatus status = GateStatus::Ok;
    double value = 0.0;      // what was measured, in the gate's unit (see the thresholds below)
    double threshold = 0.0;  // the limit that decided the status (for ok: the warning limit)
    std::string reason;      // plain words, for every status
};

inline constexpr std::string_view kBurstGate = "burst";
inline constexpr std::string_view kZpdEdgeGate = "zpd_edge";
inline constexpr std::string_view kClippedGate = "clipped";
inline constexpr std::string_view kOutOfBandGate = "out_of_band";
inline constexpr std::string_view kZpdAgreementGate = "zpd_agreement";

// The thresholds. The figures quoted are measured on the simulator's records (docs/quality-gates.md
// has the table); the field's practice is the ground-based solar FTS network's interferogram
// screening, which rejects a record whose signal level is below a minimum or varies by more than a
// set fraction during the scan, and flags rather than drops what is doubtful.
//
// burst: the largest magnitude of the centred record over the robust noise deviation of its far
// wing. Noise alone reaches about 4.5 deviations somewhere in 32768 points, and records without a
// burst (512 to 4096 points at skip 0) measure 2.3 to 3.1; 10 is more than twice either, so a
// record below it holds no burst the spectrum could be computed from. The warning level keeps a
// factor of three above that, so a series whose burst fades (a drifting alignment, a source going
// out, clouds for a solar instrument) warns before it fails; the simulator's default burst stands
// about 20000 deviations high.
inline constexpr double kBurstFailRatio = 10.0;
inline constexpr double kBurstWarningRatio = 30.0;
// zpd_edge: the points on the short side of ZPD against the points either side that the phase
// section asks for (1 / (phase resolution x point spacing): 494 at 32 cm^-1 with the default laser
// and undersampling). The section takes what the short side holds, and the spectrum's error grows
// as the short side shrinks: on the simulator's records, against a record with 1000 points on the
// short side, the largest difference is 0.10 % of the peak at 256 points (where a calibration puts
// ZPD: half the points asked for), 0.23 % at 128, 0.51 % at 62 and 2 % at 16. Half the points
// asked for is ok; below an eighth the error exceeds the 0.5 % of the peak the spectra tests hold
// the library to, and so does a burst at the very start or end of the record.
inline constexpr double kPhaseSectionWarningShare = 0.5;
inline constexpr double kPhaseSectionFailShare = 0.125;
inline constexpr size_t kMinimumShortSide = 8;
// clipped: the number of points within kClippedWindow of ZPD that hold exactly the largest (or the
// smallest) value there. An unclipped burst has one, or two when ZPD lies exactly halfway between
// points of a noiseless record; three cannot happen without a limit. A clipped burst is warned
// about, not failed: its spectrum is distorted (the simulator's at four times the limit puts 12 %
// of its energy outside the band) but still shows where the bands are, which is what alignment
// needs.
inline constexpr double kClippedPoints = 3.0;
inline constexpr size_t kClippedWindow = 32;
// out_of_band: the share of the spectrum's power (|F|^2 of every bin) outside the detector band
// (Settings::detectorLow .. detectorHigh, cut at the highest wavenumber). The simulator's records
// have 0.004 % there, 0.2 % at 33 times the default noise; white noise alone spreads evenly and
// puts the axis's share outside the band there (29 % at the defaults), a record processed with
// twice the right laser wavenumber over undersampling 32 %. Above a tenth the spectrum is
// dominated by noise or misplaced signal: a warning. Above half, no reading of the axis fits.
inline constexpr double kOutOfBandWarningShare = 0.1;
inline constexpr double kOutOfBandFailShare = 0.5;
// zpd_agreement: |reverse ZPD - (points - 1 - forward ZPD)| in points. The parabola through the
// peak and its neighbours places a clear burst within a few hundredths of a point (the simulator's
// halves agree within 0.0001 points, 0.1 at a burst only 5 deviations high); a whole point means
// one direction is sampled at other positions (a fringe lost or counted twice, a sampling delay
// that differs between directions). More than 8 points is more than twice the width of the
// burst's central fringe: the halves did not find the same burst.
inline constexpr double kZpdAgreementWarningPoints = 1.0;
inline constexpr double kZpdAgreementFailPoints = 8.0;
// Where a calibration puts ZPD in the forward half, and where a suggested skip puts it.
inline constexpr int64_t kCalibratedZpdPoints = 256;

struct HalfQuality {
    // burst, zpd_edge, clipped, out_of_band, then zpd_agreement once checkZpdAgreement has run.
    std::vector<Gate> gates;
    GateStatus worst = GateStatus::Ok;
    size_t points = 0;
    double zpdIndex = 0.0;     // the largest point, to a fraction: the burst when there is one
    double burstHeight = 0.0;  // its magnitude above the record's mean
    double noise = 0.0;        // robust deviation of the far wing (1.4826 x the median deviation)
    size_t shortSide = 0;      // points on the short side of ZPD
    size_t phasePoints = 0;    // points either side of ZPD the phase section asks for

    // The gate of that name, or null.
    const Gate* find(std::string_view gateName) const;

    // Storage for the zpd_agreement gate while a half has none, so that repeated halves reuse
    // its text and allocate nothing (see Processor::process).
    Gate spareAgreement;
};

enum class HalfDirection { Forward, Reverse };

// Adds (or updates) the zpd_agreement gate of both halves of one two-direction record and their
// worst status.
void checkZpdAgreement(HalfQuality* forward, HalfQuality* reverse);
// The gate alone, from the two ZPDs and the points per half.
void evaluateZpdAgreement(double forwardZpd, double reverseZpd, size_t points, Gate* gate);

// The change of the skip-points setting that would put ZPD kCalibratedZpdPoints into the
// forward half: a skip moves the burst towards the start of the forward half (and towards the
// end of the reverse half, which runs the same path backwards).
int64_t skipChange(const HalfQuality& quality, HalfDirection direction);

// One sentence for the person at the instrument about the worst gate (failures before
// warnings; among equals in the order burst, zpd_edge, clipped, zpd_agreement, out_of_band):
// what is wrong and what to try, with a --skip value computed from `currentSkip` where the burst
// is at an edge. Empty when every gate is ok.
std::string hint(const HalfQuality& quality, HalfDirection direction, int64_t currentSkip);

}  // namespace ostrel::spectra
