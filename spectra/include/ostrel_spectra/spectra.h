// Interferogram to spectrum: one half of a scan (recorded at equal steps of optical path
// difference) becomes a single-beam spectrum on a uniform wavenumber axis in cm^-1.
//
// Conventions shared by the whole project: the reference laser has wavenumber laserWavenumber
// (cm^-1) and the instrument samples every `undersampling`-th laser fringe zero crossing, so
// adjacent points are dx = undersampling / (2 * laserWavenumber) cm apart and the highest
// wavenumber is laserWavenumber / undersampling. Bin j of an N-point transform lies at j / (N dx).
//
// The path per half: the mean is removed; zero path difference (ZPD) is the largest magnitude,
// refined to a fraction of a point; the record is turned so that its long side follows ZPD (a
// reverse half runs the path backwards); the double-sided part is weighted by the Mertz ramp and
// the whole by the apodisation window from ZPD to the end of the long side; it is zero-filled and
// transformed with ZPD at the origin; the phase comes from a short double-sided section around
// ZPD, interpolated onto the output grid and carried over from the band that has signal to the
// bins that have none.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::spectra {

enum class Apodization {
    Boxcar,
    Triangular,
    HappGenzel,
    BlackmanHarris3,
    BlackmanHarris4,
    NortonBeerWeak,
    NortonBeerMedium,
    NortonBeerStrong,
};

// Output modes: the phase-corrected real single beam, or the modulus (no phase needed) or its
// square.
enum class PhaseMode { Mertz, Magnitude, Power };

// The option spelling: "boxcar", "triangular", "happ-genzel", "blackman-harris-3",
// "blackman-harris-4", "norton-beer-weak", "norton-beer-medium", "norton-beer-strong".
std::string_view name(Apodization apodization);
// "mertz", "magnitude", "power".
std::string_view name(PhaseMode mode);
// Accept the names above; "blackman-harris" is also the 4-term window.
bool parseApodization(std::string_view text, Apodization* apodization);
bool parsePhaseMode(std::string_view text, PhaseMode* mode);
// Every apodisation, in the order of the enumeration (for option lists and tests).
const std::vector<Apodization>& allApodizations();

// Weight of the window at `distance` from ZPD as a fraction of the longest path difference
// (0 at ZPD, 1 at the end of the long side); 1 at ZPD for every window, 0 beyond 1.
double apodizationWeight(Apodization apodization, double distance);

struct Settings {
    double laserWavenumber = 15798.0;  // cm^-1
    int undersampling = 2;             // integer >= 1
    Apodization apodization = Apodization::HappGenzel;
    int zeroFill = 2;  // 1, 2, 4 or 8: transform length = factor x the next power of two
    PhaseMode phase = PhaseMode::Mertz;
    double phaseResolution = 32.0;  // cm^-1, of the section the phase is taken from
    // The part of the spectrum kept in the output, cm^-1 (clamped to 0 .. the highest
    // wavenumber).
    double rangeLow = 0.0;
    double rangeHigh = 1.0e300;
    // Where the detector can have signal, cm^-1 (further limited by the highest wavenumber);
    // the out_of_band gate measures the share of the spectrum's energy outside it. The defaults
    // hold a mid-infrared detector's band with its roll-offs: the simulator's detector is at half
    // response at 500 and 5000 cm^-1 and below a seventh of it outside 400 .. 6000 cm^-1.
    double detectorLow = 400.0;
    double detectorHigh = 6000.0;
};

// Empty when the settings can be used, otherwise what is wrong with them.
std::string checkSettings(const Settings& settings);

// Optical path difference between adjacent points, cm.
double pointSpacing(const Settings& settings);
// The highest wavenumber of the axis, cm^-1.
double highestWavenumber(const Settings& settings);
// The transform length used for a half of `count` points.
size_t transformLength(const Settings& settings, size_t count);

struct Spectrum {
    double firstWavenumber = 0.0;  // cm^-1 of values[0]
    double wavenumberStep = 0.0;   // cm^-1 between values
    // Spectral density B(nu) such that the interferogram is the integral of B(nu) cos(2 pi nu x)
    // over nu (interferogram units x cm); magnitude and power modes give |B| and |B|^2.
    std::vector<double> values;
    double zpdIndex = 0.0;    // ZPD in points from the start of the half, to a fraction
    double resolution = 0.0;  // nominal: 1 / longest path difference after ZPD, cm^-1
    size_t transformLength = 0;

    double wavenumber(size_t index) const {
        return firstWavenumber + wavenumberStep * static_cast<double>(index);
    }
};

// Computes spectra with one group of settings. Work buffers are kept between calls and FFTW
// plans are shared per length, so repeated halves of one length allocate nothing once `out`
// has been filled once. One Processor per thread; separate Processors may run in parallel.
struct HalfQuality;

class Processor {
  public:
    explicit Processor(const Settings& settings = {});
    ~Processor();
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;

    const Settings& settings() const { return settings_; }
    // False with *error when the settings are unusable or the half is too short (fewer than 8
    // points, or no side of ZPD with at least 2 points) or not finite.
    bool process(const double* samples, size_t count, Spectrum* out, std::string* error);
    // The same, and the half's quality gates (see quality.h) in *quality. Once `quality` has
    // been filled once, repeated halves of one length allocate nothing for it either; a
    // zpd_agreement gate from an earlier pair is taken out (checkZpdAgreement adds it again).
    bool process(const double* samples, size_t count, Spectrum* out, HalfQuality* quality,
                 std::string* error);

  private:
    struct Work;
    Settings settings_;
    std::unique_ptr<Work> work_;
};

struct Band {
    double wavenumber = 0.0;  // cm^-1, refined between bins
    // Above (> 0, an emission band) or below (< 0, an absorption band) the spectrum's smooth
    // course, a running mean over 20 x minimumSeparation.
    double height = 0.0;
};

// The `count` bands that stand out most from the spectrum's smooth course, strongest first,
// each at least `minimumSeparation` cm^-1 from every stronger one kept and more than 5 noise
// deviations (from the median absolute departure) from the smooth course; fewer when there are
// no more.
std::vector<Band> strongestBands(const Spectrum& spectrum, size_t count, double minimumSeparation);

}  // namespace ostrel::spectra
