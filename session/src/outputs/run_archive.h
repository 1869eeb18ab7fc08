// run.h5: one HDF5 file per run that grows file by file, so a run of any length (--files 0 for
// hours) lands in one file that analysis programs load as arrays.
//
// Layout (every dataset float64 unless said otherwise):
//   /interferograms      files x halves x points   chunked one file per chunk
//   /single_beam         files x halves x bins     (when spectra are stored)
//   /transmittance       files x halves x bins     (when a background is given)
//   /absorbance          files x halves x bins     (when a background is given)
//   /timestamps          files                     ms since 1970-01-01 UTC, the driver's stamps
//   /file_numbers        files, uint64             the tool's file numbers
//   /wavenumber          bins                      cm-1, the axis of the spectra
//   /background          halves x bins             (when a background is given)
//   /mean_single_beam    halves x bins             written when the run ends
//   /combined_single_beam         files x bins     (two directions) the mean of the halves'
//                                                  single beams, or the one half that passed
//   /combined_transmittance, /combined_absorbance  files x bins (two directions, background)
//   /quality_status      files x halves x gates, int8   (with spectra) each quality gate's status:
//                        0 ok, 1 warning, 2 fail, -1 not evaluated (the half gave no spectrum)
//   /quality_value       files x halves x gates    (with spectra) the value each gate measured
// The quality datasets carry a "gates" attribute naming their third axis.
// The root carries the settings as attributes, and each per-file dataset a "halves" attribute
// naming its second axis.
//
// Crash safety: the file is written in HDF5's single-writer/multiple-reader (SWMR) mode, whose
// ordered metadata writes keep the file openable however the process ends, and a file's rows
// are written and flushed before its entry in /file_numbers and /timestamps: the length of
// /file_numbers is the number of complete files. A reader that finds longer data datasets after a
// kill ignores the rows beyond it. After a kill the file is still marked as open for writing;
// it opens in SWMR read mode (h5py: swmr=True, libver="latest").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace ostrel::session {

struct ArchiveAttribute {
    std::string name;
    std::variant<std::string, double, int64_t> value;
};

struct ArchiveLayout {
    std::vector<std::string> halves;  // "forward", "reverse" in the order of the data
    size_t points = 0;                // per half
    std::vector<double> wavenumbers;  // the spectra's axis; empty: no spectra are stored
    bool ratios = false;              // transmittance and absorbance are stored
    bool combined = false;            // the combined single beam of two halves is stored
    std::vector<double> background;   // halves x bins, with ratios
    std::vector<ArchiveAttribute> attributes;
};

// One acquired file; each pointer covers halves x points (interferograms) or halves x bins.
struct ArchiveFile {
    uint64_t number = 0;
    double timestampMs = 0.0;
    const double* interferograms = nullptr;
    const double* singleBeam = nullptr;             // when spectra are stored
    const double* transmittance = nullptr;          // with ratios
    const double* absorbance = nullptr;             // with ratios
    const double* combined = nullptr;               // bins, with combined
    const double* combinedTransmittance = nullptr;  // bins, with combined and ratios
    const double* combinedAbsorbance = nullptr;
    // halves x kArchiveGates each, in the order of archiveGateNames(); null: not evaluated.
    const int8_t* qualityStatus = nullptr;
    const double* qualityValues = nullptr;
};

// The quality gates the archive keeps per half, in the order of its third axis.
const std::vector<std::string>& archiveGateNames();

class RunArchive {
  public:
    RunArchive();
    ~RunArchive();  // close() when still open
    RunArchive(const RunArchive&) = delete;
    RunArchive& operator=(const RunArchive&) = delete;

    // Creates the file (never over an existing one), writes the fixed parts and starts SWMR
    // writing.
    bool create(const std::string& path, const ArchiveLayout& layout, std::string* error);
    // Adds one file and flushes it to the operating system before returning.
    bool append(const ArchiveFile& file, std::string* error);
    // halves x bins; overwrites what an earlier call wrote.
    bool writeMeanSingleBeam(const double* values, std::string* error);
    bool close(std::string* error);

    uint64_t files() const { return files_; }
    const std::string& path() const { return path_; }

  private:
    struct Handles;
    bool fail(const std::string& what, std::string* error);

    std::unique_ptr<Handles> handles_;
    ArchiveLayout layout_;
    std::string path_;
    uint64_t files_ = 0;
};

}  // namespace ostrel::session
