// The spectrum the simulated instrument sees: a source (a hot blackbody seen by a detector, or a
// tabulated spectrum read from a file) times the transmittance of optional absorption lines.
// The simulator's interferograms are the cosine transform of this spectrum, so tests can compare
// what the spectral processing recovers with `value()`.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ostrel::sim {

// One absorption line, Lorentzian in absorbance: A(v) = peakAbsorbance * hwhm^2 /
// ((v - centre)^2 + hwhm^2), all wavenumbers in cm^-1.
struct Absorber {
    double centre = 0.0;
    double hwhm = 1.0;
    double peakAbsorbance = 0.0;
    bool operator==(const Absorber&) const = default;
};

// "CENTRE:HWHM:PEAK_ABSORBANCE", e.g. "2350:2:0.8". CENTRE and PEAK_ABSORBANCE >= 0, HWHM > 0.
bool parseAbsorber(std::string_view text, Absorber* absorber, std::string* error);

class SpectrumModel {
  public:
    // The default source: a 1200 K blackbody times a detector response that falls off below
    // about 500 and above about 5000 cm^-1.
    explicit SpectrumModel(std::vector<Absorber> absorbers = {});
    // A tabulated source (ascending wavenumbers, values >= 0), linearly interpolated and 0 outside
    // its range.
    SpectrumModel(std::vector<double> wavenumbers, std::vector<double> values,
                  std::vector<Absorber> absorbers = {});

    // Reads a source table from CSV lines "wavenumber,value" (a first line that is not numeric is
    // taken as a header). False, with the reason naming the file and line, on any bad row.
    static bool fromCsvFile(const std::string& path, std::vector<Absorber> absorbers,
                            SpectrumModel* model, std::string* error);

    double source(double wavenumber) const;
    double transmittance(double wavenumber) const;  // 10^-A(wavenumber)
    double value(double wavenumber) const;          // source x transmittance

    const std::vector<Absorber>& absorbers() const { return absorbers_; }

  private:
    std::vector<double> tableWavenumbers_;  // empty: the default source
    std::vector<double> tableValues_;
    std::vector<Absorber> absorbers_;
};

// Writes "wavenumber,value" rows of `model.value()` from 0 to `highest` cm^-1 every `step`.
bool writeSpectrumCsv(const SpectrumModel& model, double highest, double step,
                      const std::string& path, std::string* error);

}  // namespace ostrel::sim

// The spelling other parts of the project use for the simulator's spectrum types.
namespace ostrel_sim = ostrel::sim;
