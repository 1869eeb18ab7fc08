// What a run makes of each file's single beams beyond the tables: the JCAMP-DX files (single
// beam, and with a background transmittance and absorbance, one file per spectrum and half), the
// run archive, and the run's mean single beam per half, written when the run ends (always as
// JCAMP-DX, since a later run may take it as its background).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ostrel_session/formats.h"
#include "ostrel_session/settings.h"
#include "ostrel_spectra/quality.h"
#include "outputs/background.h"
#include "outputs/jcamp_writer.h"
#include "outputs/run_archive.h"
#include "outputs/spectrum_axis.h"

namespace ostrel::session {

struct SpectrumOutputSettings {
    std::string directory;
    OutputFormats formats;
    JcampForm jcampForm = JcampForm::Affn;
    std::vector<std::string> halves;
    SpectrumAxis axis;
    int scans = 0;
    std::string origin;  // the instrument's address
    bool hasBackground = false;
    Background background;
    double backgroundThreshold = 0.01;
    std::vector<ArchiveAttribute> attributes;  // the run's settings, for the archive
    // False: nothing is written (an alignment run), the ratios and the mean are still computed.
    bool writeFiles = true;
    // Which spectra of a two-direction file are written (a one-direction run has no combined).
    Directions directions = Directions::Both;
};

// One file as the outputs take it: halves x points of interferogram and a single beam per half
// on the run's axis (none when the file gave no spectrum).
struct SpectrumInput {
    SpectrumInput() = default;
    SpectrumInput(uint64_t fileNumber, double stampMs, const double* fileInterferograms,
                  std::vector<const std::vector<double>*> beams = {},
                  std::vector<const ostrel::spectra::HalfQuality*> gates = {})
        : number(fileNumber),
          timestampMs(stampMs),
          interferograms(fileInterferograms),
          singleBeams(std::move(beams)),
          quality(std::move(gates)) {}

    uint64_t number = 0;
    double timestampMs = 0.0;
    const double* interferograms = nullptr;
    std::vector<const std::vector<double>*> singleBeams;
    // The quality gates of each half (with its single beam): a failed half's JCAMP-DX files say
    // why it must not be trusted.
    std::vector<const ostrel::spectra::HalfQuality*> quality;
    // The combined single beam of a two-direction file (null otherwise), the halves it was made
    // from ("both", "forward", "reverse") and what its files say about it.
    const std::vector<double>* combined = nullptr;
    std::string combinedUsed;
    std::string combinedNote;
};

// What one file's single beams make: each half's beam on the run's axis (not-a-number when the
// file gave no spectrum) and, with a background, its ratios.
struct FileSpectra {
    std::vector<std::vector<double>> beams;
    std::vector<std::vector<double>> transmittance;
    std::vector<std::vector<double>> absorbance;
    std::vector<double> combined;  // empty when the file has none
    std::vector<double> combinedTransmittance;
    std::vector<double> combinedAbsorbance;
    bool hasSpectrum = false;
};

// writeFile() may run on several threads at once (each with its own FileSpectra); addToRun() runs
// on one thread at a time, in file order, and so do start() and finish().
class SpectrumOutputs {
  public:
    explicit SpectrumOutputs(SpectrumOutputSettings settings);

    // Creates run.h5 when HDF5 is asked for.
    bool start(std::string* error);
    // Writes the file's outputs; *names receives the names of the files written. Both steps below,
    // on the calling thread.
    bool add(const SpectrumInput& input, std::vector<std::string>* names, std::string* error);
    // The file's own outputs: its ratios into *spectra and its JCAMP-DX files.
    bool writeFile(const SpectrumInput& input, FileSpectra* spectra,
                   std::vector<std::string>* names, std::string* error) const;
    // What the run keeps of the file, in file order: the mean's sums and the archive's rows.
    bool addToRun(const SpectrumInput& input, const FileSpectra& spectra,
                  std::vector<std::string>* names, std::string* error);
    // The mean single beams and the archive's end; also when no file came (then no mean).
    bool finish(std::string* error);

    uint64_t filesAdded() const { return filesAdded_; }
    // The ratios of the file added last, per half (empty without a background).
    const std::vector<std::vector<double>>& lastAbsorbance() const { return last_.absorbance; }
    const std::vector<std::vector<double>>& lastTransmittance() const {
        return last_.transmittance;
    }
    // The mean single beam per half of the files added, once finish() has run (empty when no
    // file had a spectrum).
    const std::vector<std::vector<double>>& meanSingleBeams() const { return means_; }

  private:
    bool writeJcamp(const std::string& name, const std::string& title, JcampYUnits units,
                    const std::string& half, const std::vector<double>& values, double timestampMs,
                    const ostrel::spectra::HalfQuality* quality, std::vector<std::string>* names,
                    std::string* error, const std::vector<JcampLabel>& extraLabels = {}) const;

    const SpectrumOutputSettings settings_;
    std::unique_ptr<RunArchive> archive_;
    std::vector<std::vector<double>> sums_;
    FileSpectra last_;  // the file add() took last
    std::vector<std::vector<double>> means_;
    std::vector<double> combinedSums_;
    uint64_t combinedAdded_ = 0;
    uint64_t filesAdded_ = 0;
    bool finished_ = false;
};

// Refuses a run that would destroy an earlier run's data: an existing run.h5 in the directory
// (with HDF5 output), or a background that is a mean single beam in the directory (each run
// writes its own there at its end).
bool checkNothingIsOverwritten(const std::string& directory, const OutputFormats& formats,
                               const std::vector<std::string>& backgroundSources,
                               std::string* error);

// "single-beam-0003-forward.jdx".
std::string spectrumFileName(const char* kind, uint64_t number, const std::string& half);

}  // namespace ostrel::session
