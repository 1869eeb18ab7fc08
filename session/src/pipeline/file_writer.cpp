#include "pipeline/file_writer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "ostrel_session/curve_statistics.h"
#include "platform/threads.h"

namespace ostrel::session {

ostrel::spectra::GateStatus FileSummary::worstQuality() const {
    ostrel::spectra::GateStatus worst = ostrel::spectra::GateStatus::Ok;
    for (const HalfSummary& half : halves) {
        worst = std::max(worst, half.quality.worst);
    }
    return worst;
}

namespace {

constexpr int kWorkerNiceness = 10;
// The fetching thread wakes the queue thread and the workers without taking their lock, so a
// wake-up can come between a thread's look at the inbox and its wait: their waits end after this
// long and look again.
constexpr auto kHandoffWait = std::chrono::milliseconds(10);

}  // namespace

std::string numberedFileName(const char* stem, uint64_t number, OutputFormat format) {
    char text[64];
    std::snprintf(text, sizeof text, "%s-%04llu.%s", stem, static_cast<unsigned long long>(number),
                  formatExtension(format));
    return text;
}

int FileWriter::defaultWorkers() {
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 2u, 4u));
}

FileWriter::FileWriter(FileSettings settings, std::unique_ptr<SpectrumOutputs> outputs)
    : settings_(std::move(settings)), outputs_(std::move(outputs)) {
    if (settings_.workers < 1) {
        settings_.workers = defaultWorkers();
    }
}

FileWriter::~FileWriter() {
    finish();
}

bool FileWriter::start(std::string* error) {
    if (!ready_.valid()) {
        *error = std::string("cannot create an event: ") + std::strerror(errno);
        return false;
    }
    if (outputs_ != nullptr && !outputs_->start(error)) {
        return false;
    }
    for (int index = 0; index < settings_.workers; ++index) {
        threads_.emplace_back(&FileWriter::run, this);
    }
    spillEnabled_ = settings_.maxSpillBytes > 0 && !settings_.directory.empty();
    queueThread_ = std::thread(&FileWriter::serveQueue, this);
    return true;
}

bool FileWriter::submit(AcquiredFile file) {
    const size_t bytes = file.data.size() * sizeof(double);
    // The queue is bounded by memory, not by a count: at least one file always fits, so a small
    // limit slows nothing down that would otherwise fit.
    size_t taken = pendingBytes_.load();
    do {
        if (taken > 0 && taken + bytes > settings_.maxPendingBytes) {
            return false;
        }
    } while (!pendingBytes_.compare_exchange_weak(taken, taken + bytes));
    // Counted before a worker can see it, so that pendingFiles() never runs below zero.
    file.sequence = nextSubmitted_++;
    if (!inbox_.push(file)) {
        --nextSubmitted_;
        pendingBytes_ -= bytes;
        return false;
    }
    queueWake_.notify_one();
    wake_.notify_one();
    return true;
}

// Moves the files handed over into the queue, in order.
void FileWriter::drainInbox() {
    AcquiredFile file;
    while (inbox_.pop(&file)) {
        Pending entry;
        entry.values = file.data.size();
        entry.file = std::move(file);
        pending_.push_back(std::move(entry));
    }
}

size_t FileWriter::pendingBytes() {
    return pendingBytes_.load();
}

size_t FileWriter::pendingFiles() {
    const uint64_t committed = nextCommitted_.load();
    return static_cast<size_t>(nextSubmitted_.load() - committed);
}

uint64_t FileWriter::spilledBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return spilledBytes_;
}

uint64_t FileWriter::filesSpilled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return filesSpilled_;
}

std::string FileWriter::spillProblem() {
    std::lock_guard<std::mutex> lock(mutex_);
    return spillProblem_;
}

// Spilling keeps the other half of the memory for the files that arrive while the disk is slow
// for a moment. The file next in line stays in memory: a worker takes it soon.
bool FileWriter::shouldSpill() const {
    if (!spillEnabled_ || finishing_ || !spillProblem_.empty() ||
        pendingBytes_ <= settings_.maxPendingBytes / 2 || pending_.size() < 2) {
        return false;
    }
    const Pending& newest = pending_.back();
    return newest.place == Pending::Place::Memory &&
           spilledBytes_ + SpillFile::recordBytes(newest.values) <= settings_.maxSpillBytes;
}

// The queue thread, until finish(): moves the newest file waiting in memory to the disk while
// too much memory is taken (each record is then written once and read once), and otherwise keeps
// buffers for the next files ready.
void FileWriter::serveQueue() {
    platform::nameThisThread("ostrel-queue");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        drainInbox();
        if (finishing_) {
            return;
        }
        if (!shouldSpill()) {
            const size_t stockSize = buffers_->wantsStock();
            if (stockSize == 0) {
                queueWake_.wait_for(lock, kHandoffWait);
                continue;
            }
            // Workers may wait for the files just moved in.
            wake_.notify_all();
            lock.unlock();
            buffers_->stockOne(stockSize);
            lock.lock();
            continue;
        }
        // References to a deque's elements stay valid while others are added or removed at its
        // ends; a worker leaves a file that is being spilled where it is until it is on disk.
        Pending& entry = pending_.back();
        entry.place = Pending::Place::Spilling;
        std::vector<double> data = std::move(entry.file.data);
        const uint64_t offset = spillEnd_;
        const uint64_t recordBytes = SpillFile::recordBytes(data.size());
        const size_t bytes = data.size() * sizeof(double);
        lock.unlock();
        std::string error;
        bool written = spillFile_.isOpen() || spillFile_.open(settings_.directory, &error);
        const uint64_t free = written ? spillFile_.freeBytes() : 0;
        if (written && free < recordBytes + settings_.spillReserveBytes) {
            error = "the disk has " + std::to_string(free >> 20) + " MiB free";
            written = false;
        }
        written = written && spillFile_.write(offset, entry.file.number, entry.file.timestampMs,
                                              data.data(), data.size(), &error);
        if (written) {
            buffers_->give(std::move(data));
        }
        lock.lock();
        if (written) {
            entry.place = Pending::Place::Disk;
            entry.spillOffset = offset;
            spillEnd_ += recordBytes;
            spilledBytes_ += recordBytes;
            pendingBytes_ -= bytes;
            ++filesSpilled_;
        } else {
            entry.file.data = std::move(data);
            entry.place = Pending::Place::Memory;
            spillProblem_ = "files no longer wait on disk: " + error;
        }
        wake_.notify_all();
    }
}

// The next file in line, in memory: a file on disk is read back first. False with `error` when
// nothing is left to write (error empty) or a spilled file cannot be read.
bool FileWriter::takeNext(AcquiredFile* file, std::string* error) {
    Pending entry;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            drainInbox();
            if (!pending_.empty() && pending_.front().place != Pending::Place::Spilling) {
                break;
            }
            if (finishing_ && pending_.empty()) {
                return false;
            }
            wake_.wait_for(lock, kHandoffWait);
        }
        entry = std::move(pending_.front());
        pending_.pop_front();
    }
    *file = std::move(entry.file);
    if (entry.place == Pending::Place::Memory) {
        return true;
    }
    file->data = buffers_->take(entry.values);
    const bool read =
        spillFile_.read(entry.spillOffset, file->number, file->data.data(), entry.values, error);
    spillFile_.release(entry.spillOffset, entry.values);
    std::lock_guard<std::mutex> lock(mutex_);
    spilledBytes_ -= SpillFile::recordBytes(entry.values);
    pendingBytes_ += entry.values * sizeof(double);
    if (!read) {
        *error = "file " + std::to_string(file->number) + " is lost: " + *error;
    }
    return true;
}

void FileWriter::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) {
            return;
        }
        finished_ = true;
        finishing_ = true;
    }
    wake_.notify_all();
    queueWake_.notify_all();
    if (queueThread_.joinable()) {
        queueThread_.join();
    }
    for (std::thread& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    spillFile_.close();
    std::string error;
    if (outputs_ != nullptr && !outputs_->finish(&error)) {
        recordFailure(error);
    }
}

void FileWriter::recordFailure(const std::string& error) {
    std::lock_guard<std::mutex> lock(doneMutex_);
    if (failure_.empty() && !error.empty()) {
        failure_ = error;
        failed_ = true;
    }
}

std::vector<WrittenFile> FileWriter::takeWritten() {
    std::vector<WrittenFile> taken;
    // A worker holds the lock only to add a file; should it lose the processor meanwhile, the
    // files are taken at the next call instead of waiting for it here. The ready event is raised
    // again so that the next call comes. After finish() no worker is left to hold it.
    std::unique_lock<std::mutex> lock(doneMutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        ready_.signal();
        return taken;
    }
    taken.swap(written_);
    lock.unlock();
    for (const WrittenFile& file : taken) {
        pendingBytes_ -= file.event->data.size() * sizeof(double);
    }
    return taken;
}

std::string FileWriter::failure() {
    if (!failed_.load()) {
        return "";
    }
    std::lock_guard<std::mutex> lock(doneMutex_);
    return failure_;
}

// Each worker runs until finish() with nothing left to write. The files' own outputs are written
// in parallel; what the run keeps of them is added in file order, so the archive's rows and the
// records follow the files' numbers and the mean is the same sum however many workers there are.
// After a failure the workers drop what arrives, since the run's thread stops the run as soon as
// it sees the failure.
void FileWriter::run() {
    platform::nameThisThread("ostrel-writer");
    // The workers yield the processor to the thread that fetches files from the driver (and to
    // the driver's own threads): a file the fetch is late for is lost, while a file a worker is
    // late for only waits in the queue.
    platform::makeThisThreadBackground(kWorkerNiceness);
    Worker worker(settings_.spectra);
    for (;;) {
        AcquiredFile file;
        std::string error;
        if (!takeNext(&file, &error)) {
            return;
        }
        const size_t bytes = file.data.size() * sizeof(double);
        WrittenFile written;
        // The time the file keeps a worker busy, without its wait for its turn: what the
        // rate the pool can sustain is worked out from.
        auto started = std::chrono::steady_clock::now();
        bool saved =
            error.empty() && failure().empty() && writeOwnOutputs(worker, file, &written, &error);
        double busySeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        {
            std::unique_lock<std::mutex> lock(mutex_);
            committed_.wait(lock, [&] { return nextCommitted_.load() == file.sequence; });
        }
        // Only this worker is between the wait and the increment below: the ordered part needs
        // no lock of its own.
        started = std::chrono::steady_clock::now();
        saved = saved && failure().empty() && addToRun(worker, file, &written, &error);
        busySeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (saved) {
            written.summary.writeSeconds = busySeconds;
            saved = !recorder_ || recorder_(written.summary, &error);
        }
        if (saved) {
            written.event->summary = written.summary;
            written.event->data = std::move(file.data);
        }
        // A written file still holds its data until the run's thread takes it, so it counts
        // against the limit until then.
        if (saved) {
            std::lock_guard<std::mutex> lock(doneMutex_);
            written_.push_back(std::move(written));
        } else {
            pendingBytes_ -= bytes;
            recordFailure(error);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++nextCommitted_;
        }
        committed_.notify_all();
        ready_.signal();
    }
}

bool FileWriter::saveNow(AcquiredFile file, WrittenFile* written, std::string* error) {
    if (callerWorker_ == nullptr) {
        callerWorker_ = std::make_unique<Worker>(settings_.spectra);
    }
    const auto started = std::chrono::steady_clock::now();
    const bool saved = writeOwnOutputs(*callerWorker_, file, written, error) &&
                       addToRun(*callerWorker_, file, written, error);
    written->summary.writeSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (saved) {
        written->event->summary = written->summary;
        written->event->data = std::move(file.data);
    }
    return saved;
}

// The file's own work, on any worker: spectra, gates, tables, JCAMP-DX files and ratios.
bool FileWriter::writeOwnOutputs(Worker& worker, AcquiredFile& file, WrittenFile* written,
                                 std::string* error) {
    FileSummary* summary = &written->summary;
    const size_t halves = settings_.halves.size();
    const size_t points = file.data.size() / halves;
    summary->number = file.number;
    summary->timestampMs = file.timestampMs;

    const std::vector<HeaderEntry> header = {
        {"file", static_cast<int64_t>(file.number)},
        {"timestamp", formatTimestamp(file.timestampMs)},
        {"timestamp_ms", file.timestampMs},
        {"address", settings_.address},
        {"points", static_cast<int64_t>(points)},
        {"scans", static_cast<int64_t>(settings_.scans)},
        {"direction", static_cast<int64_t>(settings_.direction)},
        {"gain", static_cast<int64_t>(settings_.gain)},
        {"skip", static_cast<int64_t>(settings_.skip)},
    };
    Table interferogram{"ostrel-acquire interferogram", header, "index", {}, points};
    worker.spectra.resize(halves);
    worker.quality.resize(halves);
    std::string spectrumError;
    for (size_t half = 0; half < halves; ++half) {
        const double* curve = file.data.data() + half * points;
        interferogram.columns.push_back({settings_.halves[half], curve});
        HalfSummary statistics;
        statistics.name = settings_.halves[half];
        statistics.interferogram = curveStatistics(curve, points);
        ostrel::spectra::Spectrum& spectrum = worker.spectra[half];
        std::string problem;
        if (worker.processor.process(curve, points, &spectrum, &worker.quality[half], &problem)) {
            statistics.quality = worker.quality[half];
            statistics.zpdIndex = spectrum.zpdIndex;
            statistics.resolution = spectrum.resolution;
            // Bands closer than twice the resolution are one band to a reader of the summary.
            // Absorption lines in a single beam are reported with a negative height.
            statistics.bands = ostrel::spectra::strongestBands(spectrum, kReportedBands,
                                                               2.0 * spectrum.resolution);
        } else {
            spectrum.values.clear();
            if (spectrumError.empty()) {
                spectrumError = settings_.halves[half] + " half: " + problem;
            }
        }
        summary->halves.push_back(statistics);
    }
    if (halves == 2 && spectrumError.empty()) {
        // The reverse half runs the forward half's path backwards: their bursts must agree.
        ostrel::spectra::checkZpdAgreement(&worker.quality[0], &worker.quality[1]);
        summary->halves[0].quality = worker.quality[0];
        summary->halves[1].quality = worker.quality[1];
    }
    for (size_t half = 0; half < halves && spectrumError.empty(); ++half) {
        HalfSummary& statistics = summary->halves[half];
        statistics.hint = ostrel::spectra::hint(statistics.quality,
                                                statistics.name == "reverse"
                                                    ? ostrel::spectra::HalfDirection::Reverse
                                                    : ostrel::spectra::HalfDirection::Forward,
                                                settings_.skip);
    }
    // An interferogram that gives no spectrum (too few points, a value that is not a number) is
    // still saved; the summary says why its spectrum is missing.
    const bool hasSpectrum = spectrumError.empty();
    const ostrel::spectra::Settings& spectra = settings_.spectra;
    const ostrel::spectra::Spectrum& first = worker.spectra.front();
    // Both halves have the same length, so they share one axis.
    worker.wavenumbers.resize(hasSpectrum ? first.values.size() : 0);
    for (size_t j = 0; j < worker.wavenumbers.size(); ++j) {
        worker.wavenumbers[j] = first.wavenumber(j);
    }
    Table spectrum{"ostrel-acquire spectrum", header, "wavenumber", {}, worker.wavenumbers.size()};
    spectrum.indexValues = worker.wavenumbers.data();
    spectrum.header.push_back({"wavenumber_unit", std::string("cm^-1")});
    spectrum.header.push_back({"laser_wavenumber", spectra.laserWavenumber});
    spectrum.header.push_back({"undersampling", static_cast<int64_t>(spectra.undersampling)});
    spectrum.header.push_back(
        {"apodization", std::string(ostrel::spectra::name(spectra.apodization))});
    spectrum.header.push_back({"phase", std::string(ostrel::spectra::name(spectra.phase))});
    spectrum.header.push_back({"phase_resolution", spectra.phaseResolution});
    spectrum.header.push_back({"zero_fill", static_cast<int64_t>(spectra.zeroFill)});
    spectrum.header.push_back({"transform_length", static_cast<int64_t>(first.transformLength)});
    // Two halves make one combined single beam per file; --directions says which of the three
    // spectra the files hold.
    const bool combine = hasSpectrum && halves == 2;
    if (combine) {
        combineHalves(worker.spectra[0], worker.spectra[1], worker.quality[0], worker.quality[1],
                      settings_.spectra, &worker.combined);
        summary->combined = {true, worker.combined.used, worker.combined.disagreement,
                             worker.combined.note};
    }
    const bool halvesWritten = !(combine && settings_.directions == Directions::Combined);
    for (size_t half = 0; half < halves && hasSpectrum && halvesWritten; ++half) {
        spectrum.columns.push_back({settings_.halves[half], worker.spectra[half].values.data()});
    }
    if (combine && settings_.directions != Directions::Separate) {
        spectrum.columns.push_back({"combined", worker.combined.values.data()});
    }
    for (const OutputFormat format : settings_.tables) {
        const std::string interferogramName =
            numberedFileName("interferogram", file.number, format);
        const std::string spectrumName = numberedFileName("spectrum", file.number, format);
        if (summary->interferogramName.empty()) {
            summary->interferogramName = interferogramName;
            summary->spectrumName = hasSpectrum ? spectrumName : "";
        }
        if (!writeTable(settings_.directory, interferogramName, format, interferogram, error) ||
            (hasSpectrum &&
             !writeTable(settings_.directory, spectrumName, format, spectrum, error))) {
            *error = "cannot save file " + std::to_string(file.number) + ": " + *error;
            return false;
        }
    }
    if (!hasSpectrum) {
        summary->spectrumError = spectrumError;
    }
    worker.input = SpectrumInput{file.number, file.timestampMs, file.data.data(), {}, {}};
    for (size_t half = 0; half < halves && hasSpectrum; ++half) {
        worker.input.singleBeams.push_back(&worker.spectra[half].values);
        worker.input.quality.push_back(&summary->halves[half].quality);
    }
    if (combine && settings_.directions != Directions::Separate) {
        worker.input.combined = &worker.combined.values;
        worker.input.combinedUsed = worker.combined.used;
        worker.input.combinedNote = worker.combined.note;
    }
    if (outputs_ != nullptr) {
        std::vector<std::string> names;
        if (!outputs_->writeFile(worker.input, &worker.fileSpectra, &names, error)) {
            *error = "cannot save file " + std::to_string(file.number) + ": " + *error;
            return false;
        }
        if (summary->interferogramName.empty() && !names.empty()) {
            summary->interferogramName = names.front();
        }
    }
    // The event takes the file's data and a copy of what was computed from it: the pipeline's
    // buffers are reused for the next file.
    // Its data goes back to the pool when the last observer lets go of it.
    std::shared_ptr<FileEvent> event(
        new FileEvent, [pool = std::weak_ptr<BufferPool>(buffers_)](FileEvent* released) {
            if (const std::shared_ptr<BufferPool> buffers = pool.lock()) {
                buffers->give(std::move(released->data));
            }
            delete released;
        });
    event->number = file.number;
    event->timestampMs = file.timestampMs;
    event->coaddEventMs = file.coaddEventMs;
    event->scans = settings_.scans;
    event->halves = settings_.halves;
    event->pointsPerHalf = points;
    event->spectra = worker.spectra;
    if (outputs_ != nullptr && !worker.fileSpectra.absorbance.empty() && hasSpectrum) {
        event->transmittance = worker.fileSpectra.transmittance;
        event->absorbance = worker.fileSpectra.absorbance;
    }
    if (combine) {
        // The halves' axis with the combined values (not a copy of a half's values first).
        const ostrel::spectra::Spectrum& axis = worker.spectra[0];
        event->combined.firstWavenumber = axis.firstWavenumber;
        event->combined.wavenumberStep = axis.wavenumberStep;
        event->combined.zpdIndex = axis.zpdIndex;
        event->combined.resolution = axis.resolution;
        event->combined.transformLength = axis.transformLength;
        event->combined.values = worker.combined.values;
        if (outputs_ != nullptr) {
            event->combinedTransmittance = worker.fileSpectra.combinedTransmittance;
            event->combinedAbsorbance = worker.fileSpectra.combinedAbsorbance;
        }
    }
    written->event = std::move(event);
    return true;
}

// In file order, one file at a time: what the run keeps of the file (the archive's rows, the
// mean's sums).
bool FileWriter::addToRun(Worker& worker, const AcquiredFile& file, WrittenFile* written,
                          std::string* error) {
    if (outputs_ == nullptr) {
        return true;
    }
    std::vector<std::string> names;
    worker.input.interferograms = file.data.data();
    if (!outputs_->addToRun(worker.input, worker.fileSpectra, &names, error)) {
        *error = "cannot save file " + std::to_string(file.number) + ": " + *error;
        return false;
    }
    if (written->summary.interferogramName.empty() && !names.empty()) {
        written->summary.interferogramName = names.front();
    }
    return true;
}

}  // namespace ostrel::session
