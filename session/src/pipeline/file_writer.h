// Saving acquired files away from the thread that follows the driver's events. The driver keeps
// only the newest file, so the host must fetch each one before the next two are published; disk
// writes (some milliseconds each) must not delay that. The run's thread copies the data out and
// hands it over here; this thread computes each half's single-beam spectrum in cm^-1, writes the
// file's outputs, and hands back the file's summary with an event for the observers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ostrel_session/events.h"
#include "ostrel_spectra/spectra.h"
#include "outputs/output_files.h"
#include "outputs/spectrum_outputs.h"
#include "run/host_events.h"

namespace ostrel::session {

// One file as fetched from the driver: the halves follow one another in `data`.
struct AcquiredFile {
    uint64_t number = 0;
    double timestampMs = 0.0;
    double coaddEventMs = 0.0;  // when the host saw the co-add event, ms since 1970 UTC
    std::vector<double> data;
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
};

// A file the writer has finished: its summary and the event that shows it.
struct WrittenFile {
    FileSummary summary;
    std::shared_ptr<FileEvent> event;
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
    int readyDescriptor() const { return ready_.descriptor(); }

    // False when kMaxPending files are still waiting; the file is then dropped.
    bool submit(AcquiredFile file);
    // Writes what is still waiting, ends the thread and finishes the outputs (a failure then is
    // reported by failure()).
    void finish();

    // The files written since the last call, in order.
    std::vector<WrittenFile> takeWritten();
    // The first failure to write, empty while there is none.
    std::string failure();

    // The outputs, for what they computed over the run (the mean single beam); use after
    // finish().
    const SpectrumOutputs* outputs() const { return outputs_.get(); }

    // Writes one file on the calling thread (the pipeline of a reprocessed run).
    bool saveNow(AcquiredFile file, WrittenFile* written, std::string* error);

  private:
    void run();
    bool save(AcquiredFile& file, WrittenFile* written, std::string* error);

    const FileSettings settings_;
    std::unique_ptr<SpectrumOutputs> outputs_;
    ostrel::spectra::Processor processor_;
    // The writer thread's own until it has ended: the spectra being computed.
    std::vector<ostrel::spectra::Spectrum> working_;
    std::vector<ostrel::spectra::HalfQuality> quality_;
    std::vector<double> wavenumbers_;  // the axis of the spectrum file being written

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<AcquiredFile> pending_;
    std::vector<WrittenFile> written_;
    std::string failure_;
    bool finishing_ = false;
    bool finished_ = false;

    WakeEvent ready_;
    std::thread thread_;
};

}  // namespace ostrel::session
