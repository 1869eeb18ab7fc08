// Saving acquired files away from the thread that follows the driver's events. The driver keeps
// only the newest file, so the host must fetch each one before the next two are published; disk
// writes (synced, some milliseconds each) must not delay that. The event thread copies the data
// out and hands it over here; this thread computes each half's single-beam spectrum in cm^-1 and
// writes both files.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "curve_statistics.h"
#include "ostrel_spectra/spectra.h"
#include "output_files.h"
#include "spectrum_outputs.h"

namespace ostrel::acquire {

// One file as fetched from the driver: the halves follow one another in `data`.
struct AcquiredFile {
    uint64_t number = 0;
    double timestampMs = 0.0;
    double coaddEventMs = 0.0;  // when the host saw the co-add event, ms since 1970 UTC
    std::vector<double> data;
};

// The summary reports this many of each half's strongest bands.
constexpr size_t kReportedBands = 5;

struct HalfSummary {
    std::string name;
    CurveStatistics interferogram;
    double zpdIndex = 0.0;                     // points from the start of the half, to a fraction
    double resolution = 0.0;                   // nominal, cm^-1
    std::vector<ostrel::spectra::Band> bands;  // strongest first
};

struct FileSummary {
    uint64_t number = 0;
    std::string interferogramName;
    std::string spectrumName;  // empty when the spectrum could not be computed
    std::string spectrumError;
    double timestampMs = 0.0;
    double writeSeconds = 0.0;  // the writer thread's time for this file: spectra and outputs
    std::vector<HalfSummary> halves;
};

// What every data file's header says about the run.
struct FileSettings {
    std::string directory;
    std::vector<OutputFormat> tables{OutputFormat::Csv};  // each file's tables, in these formats
    ostrel::spectra::Settings spectra;
    std::string address;
    int scans = 0;
    int direction = 3;
    int gain = 0;
    int skip = 0;
    std::vector<std::string> halves;  // "forward", "reverse" in the order of the data
    // Called on the writer thread with each file, its spectra (one per half; a half whose
    // spectrum could not be computed has no values) and, when the run has a background, its
    // absorbance per half on the same axis (otherwise null), once the file's outputs are
    // written: the live view shows what the files hold.
    std::function<void(const AcquiredFile&, const std::vector<ostrel::spectra::Spectrum>&,
                       const std::vector<std::vector<double>>*)>
        computed;
};

std::string numberedFileName(const char* stem, uint64_t number, OutputFormat format);

class FileWriter {
  public:
    // At most this many files wait to be written; a disk slower than the instrument for that
    // long loses files (reported) rather than memory without bound.
    static constexpr size_t kMaxPending = 64;

    // outputs (may be null) takes each file's single beams after the tables are written.
    explicit FileWriter(FileSettings settings, std::unique_ptr<SpectrumOutputs> outputs = nullptr);
    ~FileWriter();  // finish()
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    bool start(std::string* error);
    // Readable (an eventfd) whenever files were written or writing failed.
    int readyDescriptor() const { return ready_; }

    // False when kMaxPending files are still waiting; the file is then dropped.
    bool submit(AcquiredFile file);
    // Writes what is still waiting, ends the thread and finishes the outputs (a failure then is
    // reported by failure()).
    void finish();

    // The files written since the last call, in order.
    std::vector<FileSummary> takeWritten();
    // The first failure to write, empty while there is none.
    std::string failure();

    // The last file written and its spectra (one per half, empty when it could not be
    // computed), for the plot; use after finish().
    const AcquiredFile& lastFile() const { return last_; }
    const std::vector<ostrel::spectra::Spectrum>& lastSpectra() const { return spectra_; }

  private:
    void run();
    bool save(const AcquiredFile& file, FileSummary* summary, std::string* error);
    void signalReady();

    const FileSettings settings_;
    std::unique_ptr<SpectrumOutputs> outputs_;
    ostrel::spectra::Processor processor_;
    // The writer thread's own until it has ended: the spectra being computed, and the last file
    // written with its spectra.
    std::vector<ostrel::spectra::Spectrum> working_;
    std::vector<ostrel::spectra::Spectrum> spectra_;
    std::vector<double> wavenumbers_;  // the axis of the spectrum file being written
    AcquiredFile last_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<AcquiredFile> pending_;
    std::vector<FileSummary> written_;
    std::string failure_;
    bool finishing_ = false;

    int ready_ = -1;
    std::thread thread_;
};

}  // namespace ostrel::acquire
