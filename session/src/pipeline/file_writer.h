// Saving acquired files away from the thread that follows the driver's events. The driver keeps
// only the newest file, so the host must fetch each one before the next two are published; disk
// writes (milliseconds each, most of it waiting for the disk) must not delay that. The run's
// thread copies the data out and hands it over here; a small pool of workers computes each
// half's single-beam spectrum in cm^-1 and writes the file's outputs in parallel, adds what the
// run keeps (the archive, the mean) in file order, and hands back each file's summary with an
// event for the observers, in file order.
//
// Files wait in memory up to a limit. When the workers fall behind the instrument (text formats
// of long records cost more than a file's time on a fast link), a queue thread moves the newest
// waiting files to a file on disk from half that limit on, and the workers read them back when
// they get to them: the run then writes every file, later than it acquires them, and loses files
// only when the disk's share is full too or the disk cannot take the raw data as fast as it
// comes. The same thread keeps the buffers for the next fetches ready.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ostrel_session/events.h"
#include "ostrel_session/settings.h"
#include "ostrel_spectra/spectra.h"
#include "outputs/output_files.h"
#include "outputs/spectrum_outputs.h"
#include "pipeline/buffer_pool.h"
#include "pipeline/combined_beam.h"
#include "pipeline/handoff_ring.h"
#include "pipeline/spill_file.h"
#include "run/host_events.h"

namespace ostrel::session {

// One file as fetched from the driver: the halves follow one another in `data`.
struct AcquiredFile {
    uint64_t number = 0;
    uint64_t sequence = 0;  // the order in which it was submitted
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
    int workers = 0;                  // 0: FileWriter::defaultWorkers()
    Directions directions = Directions::Both;
    // Files waiting to be written may hold at most this much memory, and from half of it on they
    // are moved to the disk, up to maxSpillBytes there (0: never; nor without a directory). Past
    // both, files are lost (and reported) rather than memory or disk without bound.
    size_t maxPendingBytes = size_t{512} << 20;
    uint64_t maxSpillBytes = uint64_t{8} << 30;
    // Spilling stops while the disk has less than this free, which keeps room for the outputs.
    uint64_t spillReserveBytes = uint64_t{1} << 30;
};

// A file the writer has finished: its summary and the event that shows it.
struct WrittenFile {
    FileSummary summary;
    std::shared_ptr<FileEvent> event;
};

std::string numberedFileName(const char* stem, uint64_t number, OutputFormat format);

class FileWriter {
  public:
    // The cores of the machine, at least 2 (writing is mostly waiting for the disk) and at most 4.
    static int defaultWorkers();

    // outputs (may be null) takes each file's single beams after the tables are written.
    explicit FileWriter(FileSettings settings, std::unique_ptr<SpectrumOutputs> outputs = nullptr);
    ~FileWriter();  // finish()
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Called for each file written by the workers, in file order, once its outputs are complete
    // and before the run's thread can take it: what the run records of every file (files.jsonl)
    // is written here rather than on the thread that fetches files from the driver, where a write
    // held up by the kernel (dirty pages throttled while the workers write hundreds of MB a
    // second) would let the driver replace the next file. False, with a text, fails the file as
    // a write error does. Set before start().
    using FileRecorder = std::function<bool(const FileSummary& file, std::string* error)>;
    void recordEachFile(FileRecorder recorder) { recorder_ = std::move(recorder); }

    bool start(std::string* error);
    // Readable (an eventfd) whenever files were written or writing failed.
    int readyDescriptor() const { return ready_.descriptor(); }
    int workers() const { return settings_.workers; }
    size_t maxPendingBytes() const { return settings_.maxPendingBytes; }
    // 0 when files never wait on disk.
    uint64_t maxSpillBytes() const { return spillEnabled_ ? settings_.maxSpillBytes : 0; }

    // False when the files waiting in memory would hold more than maxPendingBytes; the file is
    // then dropped.
    bool submit(AcquiredFile file);
    // A buffer for the next file's data (its contents unspecified): the buffers of files written
    // come back here once their events are released.
    std::vector<double> takeBuffer(size_t values) { return buffers_->take(values); }
    size_t pendingBytes();    // in memory
    size_t pendingFiles();    // submitted and not yet written
    uint64_t spilledBytes();  // on disk now
    uint64_t filesSpilled();  // moved to the disk so far
    // Why files are no longer moved to the disk, empty while they are.
    std::string spillProblem();
    // Writes what is still waiting, ends the workers and finishes the outputs (a failure then is
    // reported by failure()).
    void finish();

    // The files written since the last call, in order.
    std::vector<WrittenFile> takeWritten();
    // The first failure to write, empty while there is none.
    std::string failure();

    // The outputs, for what they computed over the run (the mean single beam); use after
    // finish().
    const SpectrumOutputs* outputs() const { return outputs_.get(); }

    // Writes one file on the calling thread (the pipeline of a reprocessed run); not while the
    // workers run.
    bool saveNow(AcquiredFile file, WrittenFile* written, std::string* error);

  private:
    // What one worker reuses from file to file.
    struct Worker {
        explicit Worker(const ostrel::spectra::Settings& spectraSettings)
            : processor(spectraSettings) {}
        ostrel::spectra::Processor processor;
        std::vector<ostrel::spectra::Spectrum> spectra;
        std::vector<ostrel::spectra::HalfQuality> quality;
        std::vector<double> wavenumbers;  // the axis of the spectrum file being written
        SpectrumInput input;
        FileSpectra fileSpectra;
        CombinedBeam combined;
    };

    // A submitted file, in memory or on disk.
    struct Pending {
        enum class Place { Memory, Spilling, Disk };
        AcquiredFile file;  // no data unless in memory
        size_t values = 0;
        Place place = Place::Memory;
        uint64_t spillOffset = 0;
    };

    // Files handed over and not yet moved to the queue: the queue thread moves them at once, so
    // this many only pile up while it and every worker are held up.
    static constexpr size_t kInboxFiles = 4096;

    void run();
    void serveQueue();
    void drainInbox();  // with mutex_ held
    void recordFailure(const std::string& error);
    bool shouldSpill() const;  // with mutex_ held
    bool takeNext(AcquiredFile* file, std::string* error);
    bool writeOwnOutputs(Worker& worker, AcquiredFile& file, WrittenFile* written,
                         std::string* error);
    bool addToRun(Worker& worker, const AcquiredFile& file, WrittenFile* written,
                  std::string* error);

    FileSettings settings_;
    std::unique_ptr<SpectrumOutputs> outputs_;
    FileRecorder recorder_;                 // called in the in-order part only
    std::unique_ptr<Worker> callerWorker_;  // saveNow's
    // Enough for the files in the workers' hands and those the observers hold for a moment.
    std::shared_ptr<BufferPool> buffers_ = std::make_shared<BufferPool>(16, 8);

    // The fetching thread takes no lock that a worker may hold: it hands files over through
    // inbox_ (drained into pending_ under mutex_ by the queue thread or a worker), counts their
    // memory in pendingBytes_, and takes the written files with a try-lock on doneMutex_.
    HandoffRing<AcquiredFile> inbox_{kInboxFiles};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable committed_;
    std::condition_variable queueWake_;
    std::deque<Pending> pending_;
    // In memory, of the files submitted and not yet taken by takeWritten().
    std::atomic<size_t> pendingBytes_{0};
    uint64_t spilledBytes_ = 0;
    uint64_t spillEnd_ = 0;  // where the next record goes
    uint64_t filesSpilled_ = 0;
    std::string spillProblem_;
    SpillFile spillFile_;
    std::atomic<uint64_t> nextSubmitted_{0};  // the next submitted file's sequence
    std::atomic<uint64_t> nextCommitted_{0};  // the sequence whose in-order part comes next
    std::mutex doneMutex_;
    std::vector<WrittenFile> written_;  // guarded by doneMutex_
    std::string failure_;               // guarded by doneMutex_; set once
    std::atomic<bool> failed_{false};
    bool finishing_ = false;
    bool finished_ = false;

    WakeEvent ready_;
    std::vector<std::thread> threads_;
    bool spillEnabled_ = false;  // set before the threads start
    std::thread queueThread_;
};

}  // namespace ostrel::session
