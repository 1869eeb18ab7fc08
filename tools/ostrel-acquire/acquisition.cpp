#include "acquisition.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "background.h"
#include "error_hints.h"
#include "file_writer.h"
#include "host_events.h"
#include "live_view.h"
#include "page_files.h"
#include "plot.h"
#include "progress.h"
#include "run_summary.h"

namespace ostrel::acquire {
namespace {

using Clock = std::chrono::steady_clock;

// The driver's own limit for a scan sequence is 45 s per scan; this host gives up only if even
// that has passed without any event, so the driver's error is what a person normally sees.
constexpr double kDeadmanPerScanSeconds = 45.0;
constexpr double kInactivityMarginSeconds = 30.0;

// The exports report a run's failure only as the last error's text; the code behind it is the
// driver code whose text is the same (the platform part appended to both is the same too).
int32_t identifyLastError(const host::DriverApi& api) {
    const std::string last = host::lastErrorText(api, 0);
    for (int32_t code = OSTRELTCP_ERR_COMMAND_SOCKET; code <= OSTRELTCP_ERR_SCAN_DIR_RANGE;
         ++code) {
        if (host::lastErrorText(api, code) == last) {
            return code;
        }
    }
    return 0;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double wallClockMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const char* directionText(int direction) {
    switch (direction) {
        case 1:
            return "forward";
        case 2:
            return "reverse";
        default:
            return "both directions";
    }
}

std::vector<std::string> halfNames(int direction) {
    if (direction == 1) {
        return {"forward"};
    }
    if (direction == 2) {
        return {"reverse"};
    }
    return {"forward", "reverse"};
}

enum class Outcome { Complete, Interrupted, Failed };

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Complete:
            return "complete";
        case Outcome::Interrupted:
            return "interrupted";
        default:
            return "failed";
    }
}

class Run {
  public:
    explicit Run(const host::DriverApi& api, const RunOptions& options)
        : api_(api),
          options_(options),
          display_(stdout, options.quiet                ? ProgressMode::Quiet
                           : isatty(STDOUT_FILENO) != 0 ? ProgressMode::Terminal
                                                        : ProgressMode::Lines) {
        report_.options = options;
    }

    int execute();

  private:
    int run();
    int startLiveView();
    void publishProgress();
    void endLiveView(Outcome outcome, const std::string& text);
    void showFile(const AcquiredFile& file, const std::vector<ostrel::spectra::Spectrum>& spectra,
                  const std::vector<std::vector<double>>* absorbance);
    int prepare();
    int connect();
    int calibrate();
    int sendSettings();
    int startRun();
    int startFile();
    bool startNextFileWhenDue();
    std::unique_ptr<SpectrumOutputs> makeSpectrumOutputs() const;
    double cadenceSeconds() const;
    bool driverCall(int32_t result, const std::string& what);
    void reportDriverError(const std::string& what, int32_t code);
    void reportError(const std::string& what, const std::string& detail = "", int32_t code = 0,
                     const std::string& hint = "");
    void warn(const std::string& text);
    int follow();
    void fetchFile(uint64_t signalled);
    bool collectWritten();
    void shutDown();
    void removeDirectoryIfEmpty();
    void drawLastPlot();
    std::string printFinalLine(Outcome outcome);
    ProgressState progress() const;

    const host::DriverApi& api_;
    const RunOptions& options_;
    ProgressDisplay display_;
    HostEvents events_;
    std::unique_ptr<FileWriter> writer_;
    std::vector<std::string> halves_;
    RunReport report_;
    SpectrumAxis axis_;
    Background background_;

    bool opened_ = false;
    bool createdDirectory_ = false;
    bool writeFailureReported_ = false;
    int scan_ = 0;
    std::vector<double> lastData_;  // the file fetched last
    std::unique_ptr<live::LiveView> live_;

    Clock::time_point started_ = Clock::now();
    Clock::time_point runStarted_ = Clock::now();
    // With --interval every file is a co-add run of its own, started on a schedule.
    Clock::time_point fileStarted_ = Clock::now();
    bool waitingForNextFile_ = false;
};

void Run::reportError(const std::string& what, const std::string& detail, int32_t code,
                      const std::string& hint) {
    display_.finishLine();
    std::fprintf(stderr, "ostrel-acquire: %s\n", what.c_str());
    if (!detail.empty()) {
        std::fprintf(stderr, "  %s\n", detail.c_str());
    }
    if (!hint.empty()) {
        std::fprintf(stderr, "  hint: %s\n", hint.c_str());
    }
    if (report_.error.empty()) {
        report_.error = detail.empty() ? what : what + ": " + detail;
    }
    if (live_ != nullptr) {
        live_->publishError(what, detail, code, hint);
    }
}

// code 0 stands for the last error the driver recorded, as spectrometer_getLastError takes it.
void Run::reportDriverError(const std::string& what, int32_t code) {
    if (code == 0) {
        code = identifyLastError(api_);
    }
    std::string text = host::lastErrorText(api_, code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    reportError(what, code != 0 ? "driver error " + std::to_string(code) + ": " + text : text, code,
                hintForError(code));
}

void Run::warn(const std::string& text) {
    display_.finishLine();
    std::fprintf(stderr, "ostrel-acquire: warning: %s\n", text.c_str());
}

bool Run::driverCall(int32_t result, const std::string& what) {
    if (result != 0) {
        reportDriverError(what, result);
    }
    return result == 0;
}

ProgressState Run::progress() const {
    ProgressState state;
    state.filesDone = static_cast<int>(report_.filesSignalled);
    state.files = options_.files;
    state.scan = scan_;
    state.scans = options_.scans;
    state.elapsedSeconds = secondsSince(runStarted_);
    state.cadenceSeconds = cadenceSeconds();
    return state;
}

// Before anything else, so that a page opened at once sees the connection and the calibration.
int Run::startLiveView() {
    if (!options_.live) {
        return ExitOk;
    }
    live::LiveViewSettings settings;
    settings.address.host = options_.liveHost;
    settings.address.port = options_.livePort;
    settings.pageDirectories = live::pageDirectoryCandidates(live::programDirectory());
    settings.libraryDirectory = live::defaultLibraryDirectory();
    live_ = std::make_unique<live::LiveView>();
    std::string error;
    if (!live_->start(settings, &error)) {
        live_.reset();
        reportError(error);
        return ExitOutput;
    }
    if (!live::isLoopbackHost(options_.liveHost)) {
        warn("the live view listens on " + options_.liveHost +
             ": anyone who can reach this computer over the network can watch the run");
    }
    // Printed even when quiet: it is the only way to learn the port when the system chose it.
    display_.finishLine();
    std::printf("live view: %s\n", live_->url().c_str());
    std::fflush(stdout);
    publishProgress();
    return ExitOk;
}

void Run::publishProgress() {
    if (live_ == nullptr) {
        return;
    }
    live::LiveProgress progress;
    progress.state = this->progress();
    api_.spectrometer_getStatus(&progress.driverStatus);
    progress.filesMissed = report_.filesMissed;
    progress.address = options_.address;
    progress.simulator = options_.simulator;
    live_->publishProgress(progress);
}

// On the writer thread, with the spectra just computed.
void Run::showFile(const AcquiredFile& file, const std::vector<ostrel::spectra::Spectrum>& spectra,
                   const std::vector<std::vector<double>>* absorbance) {
    live::LiveFile shown;
    shown.number = file.number;
    shown.timestampMs = file.timestampMs;
    shown.coaddEventMs = file.coaddEventMs;
    shown.scans = options_.scans;
    shown.halves = &halves_;
    shown.data = file.data.data();
    shown.pointsPerHalf = file.data.size() / halves_.size();
    // With a background the page shows what a person compares with a reference: absorbance,
    // on the single beam's axis (not-a-number where the background is too weak).
    const bool showAbsorbance = absorbance != nullptr && absorbance->size() == spectra.size();
    for (size_t half = 0; half < spectra.size(); ++half) {
        const ostrel::spectra::Spectrum& spectrum = spectra[half];
        const std::vector<double>& values = showAbsorbance ? (*absorbance)[half] : spectrum.values;
        shown.spectra.push_back({values.data(), std::min(values.size(), spectrum.values.size()),
                                 spectrum.firstWavenumber, spectrum.wavenumberStep});
    }
    if (showAbsorbance) {
        shown.spectrumKind = "absorbance";
    }
    live_->publishFile(shown);
}

void Run::endLiveView(Outcome outcome, const std::string& text) {
    if (live_ == nullptr) {
        return;
    }
    publishProgress();
    live_->publishEnd(outcomeName(outcome), report_.files.size(), report_.filesMissed, text);
    live_->stop();
}

int Run::connect() {
    api_.spectrometer_setIPAddress(options_.address.c_str());
    const Clock::time_point connecting = Clock::now();
    const int32_t opened = api_.spectrometer_open(0);
    report_.connectSeconds = secondsSince(connecting);
    if (opened != 0) {
        reportDriverError("cannot connect to the instrument at " + options_.address, opened);
        return ExitConnect;
    }
    opened_ = true;
    report_.version = api_.spectrometer_version();
    return ExitOk;
}

int Run::calibrate() {
    display_.note("calibrating (one forward scan of 16384 points)...");
    const Clock::time_point calibrating = Clock::now();
    const int32_t calibrated = api_.spectrometer_calibrationScan();
    report_.calibrationSeconds = secondsSince(calibrating);
    if (!driverCall(calibrated, "the calibration scan failed")) {
        return ExitSetting;
    }
    int32_t skip = 0;
    api_.spectrometer_getSkipPoints(&skip);
    report_.skip = skip;
    display_.note("calibrated: skip points " + std::to_string(skip));
    return ExitOk;
}

// The calibration leaves the instrument at its own settings, so every setting is sent after it;
// the skip points are the calibrated value then and are not sent again.
int Run::sendSettings() {
    struct Setting {
        int32_t (*send)(int32_t);
        const char* option;
        int value;
    };
    const Setting settings[] = {
        {api_.spectrometer_setPoints, "--points", options_.points},
        {api_.spectrometer_setScans, "--scans", options_.scans},
        {api_.spectrometer_setScanDirection, "--direction", options_.direction},
        {api_.spectrometer_setGain, "--gain", options_.gain},
        {options_.calibrate ? nullptr : api_.spectrometer_setSkipPoints, "--skip", options_.skip},
    };
    for (const Setting& setting : settings) {
        if (setting.send != nullptr &&
            !driverCall(setting.send(setting.value), std::string("the instrument refused ") +
                                                         setting.option + " " +
                                                         std::to_string(setting.value))) {
            return ExitSetting;
        }
    }
    if (!options_.calibrate) {
        report_.skip = options_.skip;
    }
    api_.spectrometer_setFiles(options_.intervalSeconds > 0.0 ? 1 : options_.files);
    int32_t points = 0;
    api_.spectrometer_getPoints(&points);
    report_.pointsReported = points;
    return ExitOk;
}

double Run::cadenceSeconds() const {
    if (report_.files.size() < 2) {
        return 0.0;
    }
    const double spanMs = report_.files.back().timestampMs - report_.files.front().timestampMs;
    return spanMs / 1000.0 / static_cast<double>(report_.files.size() - 1);
}

std::unique_ptr<SpectrumOutputs> Run::makeSpectrumOutputs() const {
    SpectrumOutputSettings settings;
    settings.directory = options_.outputDirectory;
    settings.formats = options_.formats;
    settings.jcampForm = options_.jcampForm;
    settings.halves = halves_;
    settings.axis = axis_;
    settings.scans = options_.scans;
    settings.origin = options_.address;
    settings.hasBackground = !options_.background.empty();
    settings.background = background_;
    settings.backgroundThreshold = options_.backgroundThresholdPercent / 100.0;
    std::string backgroundSources;
    for (const std::string& source : background_.sources) {
        backgroundSources += (backgroundSources.empty() ? "" : ";") + source;
    }
    settings.attributes = {
        {"program", std::string("ostrel-acquire")},
        {"driver_version", std::string(OSTREL_DRIVER_VERSION)},
        {"instrument_version", int64_t{report_.version}},
        {"address", options_.address},
        {"points", static_cast<int64_t>(axis_.points)},
        {"scans", int64_t{options_.scans}},
        {"direction", int64_t{options_.direction}},
        {"gain", int64_t{options_.gain}},
        {"skip", int64_t{report_.skip}},
        {"laser_wavenumber", axis_.laserWavenumber},
        {"undersampling", int64_t{axis_.undersampling}},
        {"apodization", axis_.apodization},
        {"zero_filling", int64_t{axis_.zeroFilling}},
        {"phase_correction", axis_.phaseCorrection},
        {"resolution", axis_.resolution},
        {"interval_s", options_.intervalSeconds},
        {"background", backgroundSources},
        {"background_threshold", settings.backgroundThreshold},
    };
    return std::make_unique<SpectrumOutputs>(std::move(settings));
}

int Run::startFile() {
    fileStarted_ = Clock::now();
    waitingForNextFile_ = false;
    if (!driverCall(api_.spectrometer_startCoadd(0), "cannot start the acquisition")) {
        return ExitAcquisition;
    }
    return ExitOk;
}

// With --interval: starts the next file once its time has come. False when starting failed.
bool Run::startNextFileWhenDue() {
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options_.intervalSeconds));
    if (!waitingForNextFile_ || Clock::now() < fileStarted_ + interval) {
        return true;
    }
    return startFile() == ExitOk;
}

int Run::startRun() {
    FileSettings settings;
    settings.directory = options_.outputDirectory;
    settings.tables = options_.formats.tables();
    settings.spectra = options_.spectra;
    settings.address = options_.address;
    settings.scans = options_.scans;
    settings.direction = options_.direction;
    settings.gain = options_.gain;
    settings.skip = report_.skip;
    settings.halves = halves_;
    if (live_ != nullptr) {
        settings.computed = [this](const AcquiredFile& file,
                                   const std::vector<ostrel::spectra::Spectrum>& spectra,
                                   const std::vector<std::vector<double>>* absorbance) {
            showFile(file, spectra, absorbance);
        };
    }
    writer_ = std::make_unique<FileWriter>(settings, makeSpectrumOutputs());
    std::string error;
    if (!writer_->start(&error)) {
        reportError(error);
        return ExitOutput;
    }
    // Registered after the calibration, whose progress lines would otherwise leave a stale
    // scan event behind for the run.
    api_.spectrometer_setScanCompleteEventHandle(events_.handle(HostEvent::ScanComplete));
    api_.spectrometer_setCoaddCompleteEventHandle(events_.handle(HostEvent::CoaddComplete));
    api_.spectrometer_setFilesCompleteEventHandle(events_.handle(HostEvent::FilesComplete));
    api_.spectrometer_setErrorEventHandle(events_.handle(HostEvent::Error));
    runStarted_ = Clock::now();
    return startFile();
}

// Everything before the run. Returns ExitOk when the co-add run has started.
int Run::prepare() {
    std::string error;
    // A background that does not fit the run is refused before the instrument is touched.
    // Without an axis (too few points for a spectrum) the files carry no spectra.
    const bool hasAxis =
        spectrumAxisFor(static_cast<size_t>(options_.points), options_.spectra, &axis_, &error);
    if (!options_.background.empty() &&
        (!hasAxis || !loadBackground(options_.background, halves_, axis_, &background_, &error))) {
        reportError(hasAxis ? error : "cannot use a background: " + error);
        return ExitUsage;
    }
    if (!checkNothingIsOverwritten(options_.outputDirectory, options_.formats, background_.sources,
                                   &error)) {
        reportError(error);
        return ExitOutput;
    }
    if (!makeDirectories(options_.outputDirectory, &createdDirectory_, &error) ||
        !events_.create(&error)) {
        reportError(error);
        return ExitOutput;
    }
    int status = connect();
    publishProgress();
    if (status == ExitOk && options_.calibrate) {
        status = calibrate();
        publishProgress();
    }
    if (status == ExitOk) {
        status = sendSettings();
    }
    return status == ExitOk ? startRun() : status;
}

// One co-add event: the driver publishes the newest file only, so when several files were
// signalled since the last wait, the ones in between are gone and are counted as missed.
void Run::fetchFile(uint64_t signalled) {
    const double coaddEventMs = wallClockMs();
    report_.filesSignalled += signalled;
    scan_ = 0;
    if (signalled > 1) {
        report_.filesMissed += signalled - 1;
        warn(std::to_string(signalled - 1) + " file(s) were published faster than they could " +
             "be fetched and were not saved");
    }
    AcquiredFile file;
    file.number = report_.filesSignalled;
    file.coaddEventMs = coaddEventMs;
    file.data.assign(static_cast<size_t>(std::max(report_.pointsReported, 1)), 0.0);
    const int32_t result = api_.spectrometer_getData(
        file.data.data(), static_cast<int32_t>(file.data.size()), &file.timestampMs);
    // Two co-added files practically never agree to the last bit (their noise differs), so the same
    // data again means the file fetched last was already this newer one. Time stamps cannot tell:
    // the driver keeps the previous file's stamp when a whole scan sequence arrives in one read.
    const bool repeated = result == 0 && file.data == lastData_;
    std::string problem;
    if (result != 0) {
        // 1 is not an error code here: it says that nothing has been published yet.
        problem = "file " + std::to_string(file.number) + " is not available: " +
                  (result == 1 ? "nothing published" : host::lastErrorText(api_, result));
    } else if (repeated) {
        problem = "file " + std::to_string(file.number) + " was replaced before it was fetched";
    } else {
        lastData_ = file.data;
        if (!writer_->submit(std::move(file))) {
            problem = "the disk does not keep up: file " + std::to_string(report_.filesSignalled) +
                      " dropped with " + std::to_string(FileWriter::kMaxPending) +
                      " files still waiting to be written";
        }
    }
    if (!problem.empty()) {
        ++report_.filesMissed;
        warn(problem);
    }
}

// Takes the files written meanwhile into the report; false when writing failed.
bool Run::collectWritten() {
    for (FileSummary& written : writer_->takeWritten()) {
        report_.files.push_back(std::move(written));
        display_.fileSaved(progress(), report_.files.back().interferogramName);
    }
    const std::string failure = writer_->failure();
    if (!failure.empty() && !writeFailureReported_) {
        reportError(failure);
        writeFailureReported_ = true;
    }
    return failure.empty();
}

int Run::follow() {
    const int waitMs = display_.mode() == ProgressMode::Terminal ? 250 : 1000;
    const double inactivityLimit =
        options_.scans * kDeadmanPerScanSeconds + kInactivityMarginSeconds;
    Clock::time_point lastEvent = Clock::now();
    for (;;) {
        int timeoutMs = waitMs;
        if (waitingForNextFile_) {
            const double dueMs =
                (options_.intervalSeconds - secondsSince(fileStarted_)) * 1000.0 + 1.0;
            timeoutMs = static_cast<int>(std::clamp(dueMs, 0.0, static_cast<double>(waitMs)));
        }
        const EventCounts counts = events_.wait(timeoutMs, writer_->readyDescriptor());
        if (counts.interrupted) {
            return ExitInterrupted;
        }
        bool driverEvent = false;
        for (const uint64_t signalled : counts.signalled) {
            driverEvent = driverEvent || signalled != 0;
        }
        if (driverEvent) {
            lastEvent = Clock::now();
        }
        if (counts.of(HostEvent::ScanComplete) != 0) {
            int32_t scan = 0;
            api_.spectrometer_getScanProgress(&scan);
            scan_ = scan;
        }
        if (counts.of(HostEvent::CoaddComplete) != 0) {
            fetchFile(counts.of(HostEvent::CoaddComplete));
        }
        if (counts.extra != 0 && !collectWritten()) {
            return ExitOutput;
        }
        if (counts.of(HostEvent::Error) != 0) {
            // The driver records the failure before it signals the error event.
            reportDriverError("the acquisition stopped on an error", 0);
            return ExitAcquisition;
        }
        if (counts.of(HostEvent::FilesComplete) != 0) {
            const bool more = options_.intervalSeconds > 0.0 &&
                              (options_.files == 0 ||
                               report_.filesSignalled < static_cast<uint64_t>(options_.files));
            if (!more) {
                return ExitOk;
            }
            waitingForNextFile_ = true;
        }
        if (!startNextFileWhenDue()) {
            return ExitAcquisition;
        }
        if (waitingForNextFile_) {
            lastEvent = Clock::now();  // no word is expected while waiting for the next start
        }
        display_.update(progress());
        publishProgress();
        if (secondsSince(lastEvent) > inactivityLimit) {
            reportError("no word from the driver for " + formatDuration(secondsSince(lastEvent)) +
                        "; giving up");
            return ExitAcquisition;
        }
    }
}

void Run::shutDown() {
    // close rather than stop: stop reboots the instrument, sleeps 5 s and connects again, which
    // is of no use to a program that is about to exit. close stops the scan thread and both
    // connections whatever their state (also what a failed open left behind).
    const Clock::time_point closing = Clock::now();
    api_.spectrometer_close();
    report_.closeSeconds = secondsSince(closing);
    if (opened_) {
        // The scan thread is gone now; the handles are taken back before the descriptors close.
        api_.spectrometer_setScanCompleteEventHandle(0);
        api_.spectrometer_setCoaddCompleteEventHandle(0);
        api_.spectrometer_setFilesCompleteEventHandle(0);
        api_.spectrometer_setErrorEventHandle(0);
        opened_ = false;
    }
}

void Run::removeDirectoryIfEmpty() {
    if (createdDirectory_) {
        rmdir(options_.outputDirectory.c_str());
    }
}

void Run::drawLastPlot() {
    const AcquiredFile& last = writer_->lastFile();
    if (!options_.plot || report_.files.empty() || last.data.empty()) {
        return;
    }
    PlotRequest request;
    request.gnuplot = options_.gnuplot;
    request.directory = options_.outputDirectory;
    const size_t points = last.data.size() / halves_.size();
    for (size_t half = 0; half < halves_.size(); ++half) {
        const double* curve = last.data.data() + half * points;
        request.interferogram.push_back(
            {halves_[half], std::vector<double>(curve, curve + points)});
        const std::vector<ostrel::spectra::Spectrum>& spectra = writer_->lastSpectra();
        if (half < spectra.size() && !spectra[half].values.empty()) {
            request.spectrum.push_back({halves_[half], spectra[half].values});
        }
    }
    if (!request.spectrum.empty()) {
        const ostrel::spectra::Spectrum& first = writer_->lastSpectra().front();
        for (size_t j = 0; j < first.values.size(); ++j) {
            request.wavenumbers.push_back(first.wavenumber(j));
        }
    }
    char title[256];
    std::snprintf(title, sizeof title, "%s, file %llu, %s: %d scans of %zu points, %s, gain %d",
                  options_.address.c_str(), static_cast<unsigned long long>(last.number),
                  formatTimestamp(last.timestampMs).c_str(), options_.scans, points,
                  directionText(options_.direction), options_.gain);
    request.title = title;
    const ostrel::spectra::Settings& spectra = options_.spectra;
    char spectrumTitle[256];
    std::snprintf(spectrumTitle, sizeof spectrumTitle,
                  "Spectrum (%s, %s, zero-fill %d, laser %g cm^{-1}, undersampling %d)",
                  std::string(ostrel::spectra::name(spectra.phase)).c_str(),
                  std::string(ostrel::spectra::name(spectra.apodization)).c_str(), spectra.zeroFill,
                  spectra.laserWavenumber, spectra.undersampling);
    request.spectrumTitle = spectrumTitle;
    request.spectrumLabel = spectra.phase == ostrel::spectra::PhaseMode::Mertz       ? "single beam"
                            : spectra.phase == ostrel::spectra::PhaseMode::Magnitude ? "magnitude"
                                                                                     : "power";
    std::string message;
    const PlotResult result = drawPlot(request, &message);
    if (result == PlotResult::GnuplotMissing) {
        display_.note("note: " + message + "; plot skipped");
    } else if (result == PlotResult::Failed) {
        warn("plot not drawn: " + message);
    }
}

std::string Run::printFinalLine(Outcome outcome) {
    display_.finishLine();
    const char* verb = outcome == Outcome::Complete      ? "acquired"
                       : outcome == Outcome::Interrupted ? "interrupted after"
                                                         : "failed after";
    std::string count = std::to_string(report_.files.size());
    if (options_.files > 0) {
        count += " of " + std::to_string(options_.files);
    }
    const std::string missed =
        report_.filesMissed > 0 ? ", " + std::to_string(report_.filesMissed) + " missed" : "";
    char line[1024];
    std::snprintf(
        line, sizeof line, "%s %s file(s) (%d scans of %d points, %s%s) in %s%s; output in %s/",
        verb, count.c_str(), options_.scans, options_.points, directionText(options_.direction),
        options_.simulator ? ", simulator" : "", formatDuration(report_.acquisitionSeconds).c_str(),
        missed.c_str(), options_.outputDirectory.c_str());
    std::printf("%s\n", line);
    std::fflush(stdout);
    return line;
}

int Run::execute() {
    halves_ = halfNames(options_.direction);
    const int status = startLiveView();
    return status == ExitOk ? run() : status;
}

int Run::run() {
    int status = prepare();
    if (status != ExitOk && writer_ == nullptr) {
        shutDown();
        removeDirectoryIfEmpty();
        endLiveView(Outcome::Failed, report_.error);
        return status;
    }
    if (status == ExitOk) {
        display_.update(progress());
        status = follow();
    }
    report_.acquisitionSeconds = secondsSince(runStarted_);
    if (status == ExitInterrupted) {
        display_.note("interrupted: stopping the run");
    }
    shutDown();
    // Every file fetched so far is complete in memory; it is written before the program ends.
    writer_->finish();
    if (!collectWritten() && status != ExitInterrupted) {
        status = ExitOutput;
    }
    const Outcome outcome = status == ExitOk            ? Outcome::Complete
                            : status == ExitInterrupted ? Outcome::Interrupted
                                                        : Outcome::Failed;
    report_.status = outcomeName(outcome);
    report_.cadenceSeconds = cadenceSeconds();
    report_.totalSeconds = secondsSince(started_);
    std::string error;
    if (!writeRunSummary(options_.outputDirectory, report_, &error)) {
        reportError("cannot write the summary", error);
        status = status == ExitOk ? ExitOutput : status;
    }
    if (status != ExitOutput) {
        drawLastPlot();
    }
    endLiveView(outcome, printFinalLine(outcome));
    return status;
}

}  // namespace

int runAcquisition(const host::DriverApi& api, const RunOptions& options) {
    Run run(api, options);
    return run.execute();
}

}  // namespace ostrel::acquire
