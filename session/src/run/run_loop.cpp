#include "run/run_loop.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "history/run_summary.h"
#include "outputs/plot.h"
#include "pipeline/file_writer.h"
#include "platform/threads.h"
#include "run/driver_errors.h"

namespace ostrel::session {
namespace {

using Clock = std::chrono::steady_clock;

// The driver's own limit for a scan sequence is 45 s per scan; a run gives up only if even that
// has passed without any event, so the driver's error is what a person normally sees.
constexpr double kDeadmanPerScanSeconds = 45.0;
constexpr double kInactivityMarginSeconds = 30.0;
// How often a run wakes without an event: its progress (elapsed time) is published this often.
constexpr int kIdleWaitMs = 250;
// While the files that waited are written after the acquisition, progress goes out this often.
constexpr int kDrainProgressMs = 250;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

enum class Ending { Complete, Stopped, Interrupted, Failed };

const char* endingName(Ending ending) {
    switch (ending) {
        case Ending::Complete:
            return "complete";
        case Ending::Stopped:
            return "stopped";
        case Ending::Interrupted:
            return "interrupted";
        default:
            return "failed";
    }
}

}  // namespace

std::string qualityWarning(const FileSummary& file) {
    for (const HalfSummary& half : file.halves) {
        if (half.quality.worst != ostrel::spectra::GateStatus::Fail) {
            continue;
        }
        for (const ostrel::spectra::Gate& gate : half.quality.gates) {
            if (gate.status == ostrel::spectra::GateStatus::Fail) {
                std::string text = "file " + std::to_string(file.number) + ", " + half.name +
                                   " half: the spectrum must not be trusted (" + gate.name +
                                   "): " + gate.reason +
                                   "; the run goes on and its files are labelled";
                if (!half.hint.empty()) {
                    text += "\n  hint: " + half.hint;
                }
                return text;
            }
        }
    }
    return "";
}

double wallClockMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
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

std::string newRunId(RunKind kind, double startedMs) {
    const std::time_t seconds = static_cast<std::time_t>(startedMs / 1000.0);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d-%s", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  std::string(name(kind)).c_str());
    return text;
}

struct RunLoop::State {
    HostEvents hostEvents;
    std::unique_ptr<FileWriter> writer;
    FileRecords records;
    RunReport report;
    Failure failure = Failure::None;
    bool writeFailureReported = false;
    bool qualityWarned = false;
    bool rateWarned = false;
    bool summaryStarted = false;
    bool eventsRegistered = false;
    // The run's thread and a standby fetching thread take turns at fetching under fetchMutex,
    // which guards report.filesSignalled, report.filesMissed and the three below while both run.
    std::mutex fetchMutex;
    bool priorityHinted = false;
    int scan = 0;
    std::vector<double> lastData;  // the file fetched last
    std::shared_ptr<const FileEvent> lastFile;
    double firstTimestampMs = 0.0;
    double lastTimestampMs = 0.0;
    Clock::time_point runStarted = Clock::now();
    // A series starts each file as a co-add run of its own, on a schedule.
    Clock::time_point fileStarted = Clock::now();
    bool waitingForNextFile = false;
};

RunLoop::RunLoop(const host::DriverApi& api, RunPlan plan, EventDispatcher& events)
    : api_(api), plan_(std::move(plan)), events_(events), state_(std::make_unique<State>()) {
    RunReport& report = state_->report;
    report.status = "running";
    report.identity.id = plan_.runId;
    report.identity.kind = plan_.kind;
    report.identity.name = plan_.name;
    report.identity.startedMs = wallClockMs();
    report.settings = plan_.settings;
    report.filesRequested = plan_.files;
    report.intervalSeconds = plan_.intervalSeconds;
    report.calibrated = plan_.calibrated;
    report.background = plan_.background.sources;
    report.address = plan_.address;
    report.simulator = plan_.simulator;
    report.version = plan_.version;
    report.skip = plan_.skip;
    report.connectSeconds = plan_.connectSeconds;
    report.calibrationSeconds = plan_.calibrationSeconds;
    outcome_.end.runId = plan_.runId;
    outcome_.end.kind = plan_.kind;
    outcome_.end.directory = plan_.directory;
    outcome_.end.filesRequested = plan_.files;
    outcome_.end.points = plan_.settings.acquisition.points;
    outcome_.end.scans = plan_.settings.acquisition.scans;
    outcome_.end.direction = plan_.settings.acquisition.direction;
    outcome_.end.simulator = plan_.simulator;
}

RunLoop::~RunLoop() = default;

void RunLoop::stop(bool interrupted) {
    int expected = 0;
    stopRequest_.compare_exchange_strong(expected, interrupted ? 2 : 1);
    stopEvent_.signal();
}

void RunLoop::reportError(const std::string& what, const std::string& detail, int32_t code,
                          const std::string& hint) {
    ErrorEvent error{what, detail, code, hint};
    if (outcome_.error.message.empty()) {
        outcome_.error = error;
    }
    RunReport& report = state_->report;
    if (report.error.empty()) {
        report.error = detail.empty() ? what : what + ": " + detail;
    }
    events_.error(error);
}

// code 0 stands for the last error the driver recorded, as spectrometer_getLastError takes it.
void RunLoop::reportDriverError(const std::string& what, int32_t code) {
    const DriverError error = describeDriverError(api_, code);
    reportError(what, error.detail, error.code, error.hint);
}

bool RunLoop::driverCall(int32_t result, const std::string& what) {
    if (result != 0) {
        reportDriverError(what, result);
    }
    return result == 0;
}

void RunLoop::warn(const std::string& text) {
    events_.warning(text);
}

double RunLoop::cadenceSeconds() const {
    const RunReport& report = state_->report;
    if (report.filesSaved < 2) {
        return 0.0;
    }
    const double spanMs = state_->lastTimestampMs - state_->firstTimestampMs;
    return spanMs / 1000.0 / static_cast<double>(report.filesSaved - 1);
}

ProgressState RunLoop::progress() const {
    ProgressState progress;
    {
        std::lock_guard<std::mutex> fetching(state_->fetchMutex);
        progress.filesDone = static_cast<int>(state_->report.filesSignalled);
        progress.scan = state_->scan;
    }
    progress.files = plan_.files;
    progress.scans = plan_.settings.acquisition.scans;
    progress.elapsedSeconds = secondsSince(state_->runStarted);
    progress.cadenceSeconds = cadenceSeconds();
    if (state_->writer != nullptr) {
        progress.filesWaiting = static_cast<int>(state_->writer->pendingFiles());
    }
    return progress;
}

void RunLoop::publishProgress() {
    ProgressEvent event;
    event.runId = plan_.runId;
    event.state = progress();
    api_.spectrometer_getStatus(&event.driverStatus);
    {
        std::lock_guard<std::mutex> fetching(state_->fetchMutex);
        event.filesMissed = state_->report.filesMissed;
    }
    event.address = plan_.address;
    event.simulator = plan_.simulator;
    events_.progress(event);
}

// The calibration leaves the instrument at its own settings, so every setting is sent before a
// run; the skip points are the calibrated value then and are not sent again.
bool RunLoop::sendSettings() {
    const AcquisitionSettings& acquisition = plan_.settings.acquisition;
    struct Setting {
        int32_t (*send)(int32_t);
        const char* option;
        int value;
    };
    const Setting settings[] = {
        {api_.spectrometer_setPoints, "--points", acquisition.points},
        {api_.spectrometer_setScans, "--scans", acquisition.scans},
        {api_.spectrometer_setScanDirection, "--direction", acquisition.direction},
        {api_.spectrometer_setGain, "--gain", acquisition.gain},
        {plan_.sendSkip ? api_.spectrometer_setSkipPoints : nullptr, "--skip", plan_.skip},
    };
    for (const Setting& setting : settings) {
        if (setting.send != nullptr &&
            !driverCall(setting.send(setting.value), std::string("the instrument refused ") +
                                                         setting.option + " " +
                                                         std::to_string(setting.value))) {
            return false;
        }
    }
    api_.spectrometer_setFiles(plan_.intervalSeconds > 0.0 ? 1 : plan_.files);
    int32_t points = 0;
    api_.spectrometer_getPoints(&points);
    state_->report.pointsReported = points;
    return true;
}

static std::unique_ptr<SpectrumOutputs> makeSpectrumOutputs(const RunPlan& plan) {
    const Settings& settings = plan.settings;
    const SpectrumAxis& axis = plan.axis;
    SpectrumOutputSettings outputs;
    outputs.directory = plan.directory;
    outputs.formats = settings.outputs.formats;
    outputs.jcampForm = settings.outputs.jcampForm;
    outputs.halves = plan.halves;
    outputs.axis = axis;
    outputs.scans = settings.acquisition.scans;
    outputs.origin = plan.address;
    outputs.hasBackground = plan.hasBackground;
    outputs.background = plan.background;
    outputs.backgroundThreshold = settings.outputs.backgroundThresholdPercent / 100.0;
    outputs.writeFiles = !plan.directory.empty();
    outputs.directions = settings.outputs.directions;
    std::string backgroundSources;
    for (const std::string& source : plan.background.sources) {
        backgroundSources += (backgroundSources.empty() ? "" : ";") + source;
    }
    outputs.attributes = {
        {"program", std::string("ostrel-acquire")},
        {"driver_version", std::string(OSTREL_DRIVER_VERSION)},
        {"instrument_version", int64_t{plan.version}},
        {"address", plan.address},
        {"points", static_cast<int64_t>(axis.points)},
        {"scans", int64_t{settings.acquisition.scans}},
        {"direction", int64_t{settings.acquisition.direction}},
        {"gain", int64_t{settings.acquisition.gain}},
        {"skip", int64_t{plan.skip}},
        {"laser_wavenumber", axis.laserWavenumber},
        {"undersampling", int64_t{axis.undersampling}},
        {"apodization", axis.apodization},
        {"zero_filling", int64_t{axis.zeroFilling}},
        {"phase_correction", axis.phaseCorrection},
        {"resolution", axis.resolution},
        {"interval_s", plan.intervalSeconds},
        {"background", backgroundSources},
        {"background_threshold", outputs.backgroundThreshold},
    };
    return std::make_unique<SpectrumOutputs>(std::move(outputs));
}

std::unique_ptr<FileWriter> makeFilePipeline(const RunPlan& plan) {
    const Settings& settings = plan.settings;
    FileSettings files;
    files.directory = plan.directory;
    files.tables =
        plan.directory.empty() ? std::vector<OutputFormat>{} : settings.outputs.formats.tables();
    files.spectra = settings.spectra;
    files.address = plan.address;
    files.scans = settings.acquisition.scans;
    files.direction = settings.acquisition.direction;
    files.gain = settings.acquisition.gain;
    files.skip = plan.skip;
    files.halves = plan.halves;
    files.workers = settings.outputs.writers;
    files.directions = settings.outputs.directions;
    files.maxPendingBytes = static_cast<size_t>(settings.outputs.queueMemoryMiB) << 20;
    files.maxSpillBytes = static_cast<uint64_t>(settings.outputs.queueDiskMiB) << 20;
    // Without an axis (too few points for a spectrum) the files carry no spectra, and there is
    // nothing for the spectral outputs to do.
    return std::make_unique<FileWriter>(files, plan.hasAxis ? makeSpectrumOutputs(plan) : nullptr);
}

bool RunLoop::startPipeline() {
    state_->writer = makeFilePipeline(plan_);
    // The records are opened below, before the first file is fetched and handed over: the
    // workers append to them in file order, and this thread reads them again only after
    // finish().
    state_->writer->recordEachFile(
        [records = &state_->records](const FileSummary& file, std::string* error) {
            return records->append(file, error);
        });
    std::string error;
    if (!state_->writer->start(&error)) {
        reportError(error);
        return false;
    }
    if (plan_.directory.empty()) {
        return true;
    }
    // The run is on disk from now on: a process killed from here leaves a run that is listed
    // as interrupted, with every file it completed.
    if (!writeRunSummary(plan_.directory, state_->report, "", &error) ||
        !state_->records.open(plan_.directory, &error)) {
        reportError("cannot write the run's summary", error);
        return false;
    }
    state_->summaryStarted = true;
    return true;
}

bool RunLoop::startFile() {
    state_->fileStarted = Clock::now();
    state_->waitingForNextFile = false;
    return driverCall(api_.spectrometer_startCoadd(0), "cannot start the acquisition");
}

// A series: starts the next file once its time has come. False when starting failed.
bool RunLoop::startNextFileWhenDue() {
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(plan_.intervalSeconds));
    if (!state_->waitingForNextFile || Clock::now() < state_->fileStarted + interval) {
        return true;
    }
    return startFile();
}

bool RunLoop::begin() {
    std::string error;
    if (!state_->hostEvents.create(&error) || !stopEvent_.valid()) {
        reportError(error.empty() ? "cannot create an event" : error);
        finishRun(Failure::Output);
        return false;
    }
    if (!sendSettings()) {
        finishRun(Failure::Setting);
        return false;
    }
    if (!startPipeline()) {
        finishRun(Failure::Output);
        return false;
    }
    // Registered after any calibration, whose progress lines would otherwise leave a stale scan
    // event behind for the run.
    HostEvents& host = state_->hostEvents;
    api_.spectrometer_setScanCompleteEventHandle(host.handle(HostEvent::ScanComplete));
    api_.spectrometer_setCoaddCompleteEventHandle(host.handle(HostEvent::CoaddComplete));
    api_.spectrometer_setFilesCompleteEventHandle(host.handle(HostEvent::FilesComplete));
    api_.spectrometer_setErrorEventHandle(host.handle(HostEvent::Error));
    state_->eventsRegistered = true;
    state_->runStarted = Clock::now();
    events_.run({plan_.runId, plan_.kind, plan_.name, plan_.directory, true});
    if (!startFile()) {
        finishRun(Failure::Acquisition);
        return false;
    }
    publishProgress();
    return true;
}

// Takes the co-add events signalled since the last turn and fetches the newest file; with
// fetchMutex held, so that the run's thread and the standby never fetch at once and number the
// files in the order they were fetched.
uint64_t RunLoop::fetchSignalled() {
    std::lock_guard<std::mutex> turn(state_->fetchMutex);
    const uint64_t signalled = state_->hostEvents.take(HostEvent::CoaddComplete);
    if (signalled != 0) {
        fetchFile(signalled);
    }
    return signalled;
}

// One co-add event: the driver publishes the newest file only, so when several files were
// signalled since the last wait, the ones in between are gone and are counted as missed.
void RunLoop::fetchFile(uint64_t signalled) {
    RunReport& report = state_->report;
    const double coaddEventMs = wallClockMs();
    report.filesSignalled += signalled;
    state_->scan = 0;
    if (signalled > 1) {
        report.filesMissed += signalled - 1;
        warn(std::to_string(signalled - 1) + " file(s) were published faster than they could " +
             "be fetched and were not saved");
        hintAtFetchPriority();
    }
    AcquiredFile file;
    file.number = report.filesSignalled;
    file.coaddEventMs = coaddEventMs;
    file.data = state_->writer->takeBuffer(static_cast<size_t>(std::max(report.pointsReported, 1)));
    const int32_t result = api_.spectrometer_getData(
        file.data.data(), static_cast<int32_t>(file.data.size()), &file.timestampMs);
    // Two co-added files practically never agree to the last bit (their noise differs), so the same
    // data again means the file fetched last was already this newer one. Time stamps cannot tell:
    // the driver keeps the previous file's stamp when a whole scan sequence arrives in one read.
    const bool repeated = result == 0 && file.data == state_->lastData;
    std::string problem;
    if (result != 0) {
        // 1 is not an error code here: it says that nothing has been published yet.
        problem = "file " + std::to_string(file.number) + " is not available: " +
                  (result == 1 ? "nothing published" : host::lastErrorText(api_, result));
    } else if (repeated) {
        problem = "file " + std::to_string(file.number) + " was replaced before it was fetched";
        hintAtFetchPriority();
    } else {
        state_->lastData = file.data;
        if (!state_->writer->submit(std::move(file))) {
            FileWriter& writer = *state_->writer;
            const std::string spillProblem = writer.spillProblem();
            problem = "the writing does not keep up: file " +
                      std::to_string(report.filesSignalled) + " dropped with " +
                      std::to_string(writer.pendingFiles()) + " files still waiting to be " +
                      "written (" + std::to_string(writer.pendingBytes() >> 20) +
                      " MiB in memory, " + std::to_string(writer.spilledBytes() >> 20) +
                      " MiB on disk)" + (spillProblem.empty() ? "" : "; " + spillProblem);
        }
    }
    if (!problem.empty()) {
        ++report.filesMissed;
        warn(problem);
    }
}

// Once per run, at the first file the fetch was late for: without a real-time priority other
// work can hold the fetching thread off the processor for longer than a fast file lasts.
void RunLoop::hintAtFetchPriority() {
    if (state_->priorityHinted || state_->report.fetchPriority == "real-time") {
        return;
    }
    state_->priorityHinted = true;
    warn("the thread that fetches the files runs without a real-time priority (" +
         state_->report.fetchPriority + "), so other work can keep it waiting: allow one with " +
         "a real-time priority limit of 1 (an rtprio line in /etc/security/limits.conf, shown " +
         "by `ulimit -r`; LimitRTPRIO=1 in a service unit)");
}

// Takes the files written meanwhile (the workers recorded them in files.jsonl) into the run's
// report and passes them to the observers; false when writing failed.
bool RunLoop::collectWritten() {
    RunReport& report = state_->report;
    for (WrittenFile& written : state_->writer->takeWritten()) {
        if (report.filesSaved == 0) {
            state_->firstTimestampMs = written.summary.timestampMs;
        }
        state_->lastTimestampMs = written.summary.timestampMs;
        ++report.filesSaved;
        report.writeSeconds += written.summary.writeSeconds;
        warnWhenWritingFallsBehind();
        if (!state_->qualityWarned) {
            const std::string warning = qualityWarning(written.summary);
            if (!warning.empty()) {
                // Once per run: a person aligning sees it at the first bad file, and a long run's
                // log is not flooded. Every file's gates are in the summary.
                warn(warning);
                state_->qualityWarned = true;
            }
        }
        written.event->runId = plan_.runId;
        written.event->progress = progress();
        state_->lastFile = written.event;
        events_.file(std::move(written.event));
    }
    const std::string failure = state_->writer->failure();
    if (!failure.empty() && !state_->writeFailureReported) {
        reportError(failure);
        state_->writeFailureReported = true;
    }
    return failure.empty();
}

// A second fetching thread, on another processor than the run's thread, that waits for the same
// co-add event and fetches whenever it is first. A thread with a processor to itself and the
// highest real-time priority on a virtual machine was measured held off for 4 to 20 ms a few
// times a minute while its virtual processor was not running; the driver keeps the newest file
// only, so a fetch held off that long loses the file. Two processors are seldom held off at once.
// Started only where the fetch runs at real-time priority (otherwise its wake-ups are late for
// ordinary reasons that a second thread would share) and the process has two processors; each
// thread is then kept on its own processor, so that both are never queued behind one.
class RunLoop::StandbyFetch {
  public:
    StandbyFetch(RunLoop& run, platform::WakeupPriority priority)
        : run_(run), ownProcessors_(platform::processorsOfThisThread()) {
        const int here = platform::processorNow();
        if (priority != platform::WakeupPriority::RealTime || ownProcessors_.size() < 2 ||
            here < 0 || !stop_.valid()) {
            return;
        }
        const auto other = std::find_if(ownProcessors_.begin(), ownProcessors_.end(),
                                        [here](int processor) { return processor != here; });
        if (!platform::keepThisThreadOn({here})) {
            return;
        }
        pinned_ = true;
        thread_ = std::thread([this, processor = *other] { serve(processor); });
    }

    ~StandbyFetch() {
        if (thread_.joinable()) {
            stopping_.store(true);
            stop_.signal();
            thread_.join();
        }
        if (pinned_) {
            platform::keepThisThreadOn(ownProcessors_);
        }
    }

    StandbyFetch(const StandbyFetch&) = delete;
    StandbyFetch& operator=(const StandbyFetch&) = delete;

    // True when the standby fetched a file since *seen, which it then updates.
    bool fetchedSince(uint64_t* seen) const {
        const uint64_t now = fetches_.load();
        const bool more = now != *seen;
        *seen = now;
        return more;
    }

  private:
    void serve(int processor) {
        platform::nameThisThread("ostrel-fetch-2");
        if (platform::askForPromptWakeups() != platform::WakeupPriority::RealTime ||
            !platform::keepThisThreadOn({processor})) {
            return;
        }
        while (!stopping_.load()) {
            if (run_.state_->hostEvents.waitFor(HostEvent::CoaddComplete, stop_.descriptor(),
                                                kIdleWaitMs) &&
                !stopping_.load() && run_.fetchSignalled() != 0) {
                fetches_.fetch_add(1);
            }
        }
    }

    RunLoop& run_;
    const std::vector<int> ownProcessors_;  // the run's thread's, given back at the end
    bool pinned_ = false;
    WakeEvent stop_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> fetches_{0};
    std::thread thread_;
};

Failure RunLoop::followEvents() {
    // Named, so that a person watching the process's threads (top -H) sees which one fetches.
    platform::nameThisThread("ostrel-fetch");
    // The driver keeps the newest file only: at a fast link's rate the next file replaces this
    // one a few milliseconds after it is signalled. Without this, a woken fetch often waits for
    // a writer, or another program's thread, to finish its time slice (until the next clock tick,
    // 4 ms at 250 Hz). This thread's work per wake-up is one copy and a hand-over, and each of
    // its waits is bounded, so a real-time priority takes little from the rest.
    const platform::WakeupPriority priority = platform::askForPromptWakeups();
    state_->report.fetchPriority = platform::name(priority);
    state_->hostEvents.leaveForTake(HostEvent::CoaddComplete);
    const StandbyFetch standby(*this, priority);
    const AcquisitionSettings& acquisition = plan_.settings.acquisition;
    const double inactivityLimit =
        acquisition.scans * kDeadmanPerScanSeconds + kInactivityMarginSeconds;
    Clock::time_point lastEvent = Clock::now();
    uint64_t standbyFetches = 0;
    for (;;) {
        int timeoutMs = kIdleWaitMs;
        if (state_->waitingForNextFile) {
            const double dueMs =
                (plan_.intervalSeconds - secondsSince(state_->fileStarted)) * 1000.0 + 1.0;
            timeoutMs = static_cast<int>(std::clamp(dueMs, 0.0, static_cast<double>(kIdleWaitMs)));
        }
        const EventCounts counts = state_->hostEvents.wait(
            timeoutMs, state_->writer->readyDescriptor(), stopEvent_.descriptor());
        if (stopRequest_.load() != 0) {
            return Failure::Stopped;
        }
        if (counts.anyDriverEvent() || standby.fetchedSince(&standbyFetches)) {
            lastEvent = Clock::now();
        }
        if (counts.of(HostEvent::ScanComplete) != 0) {
            int32_t scan = 0;
            api_.spectrometer_getScanProgress(&scan);
            std::lock_guard<std::mutex> fetching(state_->fetchMutex);
            state_->scan = scan;
        }
        // Every turn, not only when the co-add event is seen here: the standby may have taken it
        // and be fetching the last file, which this waits for before the files' end is handled.
        fetchSignalled();
        if (counts.extra[0] != 0 && !collectWritten()) {
            return Failure::Output;
        }
        if (counts.of(HostEvent::Error) != 0) {
            // The driver records the failure before it signals the error event.
            reportDriverError("the acquisition stopped on an error", 0);
            return Failure::Acquisition;
        }
        if (counts.of(HostEvent::FilesComplete) != 0) {
            uint64_t signalled = 0;
            {
                std::lock_guard<std::mutex> fetching(state_->fetchMutex);
                signalled = state_->report.filesSignalled;
            }
            const bool more = plan_.intervalSeconds > 0.0 &&
                              (plan_.files == 0 || signalled < static_cast<uint64_t>(plan_.files));
            if (!more) {
                return Failure::None;
            }
            state_->waitingForNextFile = true;
        }
        if (!startNextFileWhenDue()) {
            return Failure::Acquisition;
        }
        if (state_->waitingForNextFile) {
            lastEvent = Clock::now();  // no word is expected while waiting for the next start
        }
        publishProgress();
        if (secondsSince(lastEvent) > inactivityLimit) {
            reportError("no word from the driver for " + formatDuration(secondsSince(lastEvent)) +
                        "; giving up");
            return Failure::Acquisition;
        }
    }
}

// Once enough files were written to know both rates: the rate the writers can sustain against
// the rate files arrive at. Said once, early, so that a run whose writing falls behind says how
// far (and whether files will be lost) while a person can still change the formats, rather than
// in a count of missed files at its end.
void RunLoop::warnWhenWritingFallsBehind() {
    constexpr uint64_t kFilesToJudge = 20;
    const RunReport& report = state_->report;
    if (state_->rateWarned || report.filesSaved < kFilesToJudge || plan_.intervalSeconds > 0.0) {
        return;
    }
    state_->rateWarned = true;
    const double cadence = cadenceSeconds();
    const double perFile = report.writeSeconds / static_cast<double>(report.filesSaved);
    if (cadence <= 0.0 || perFile <= 0.0) {
        return;
    }
    FileWriter& writer = *state_->writer;
    const double workers = static_cast<double>(writer.workers());
    const double sustained = workers / perFile;
    const double arriving = 1.0 / cadence;
    if (sustained >= arriving) {
        return;
    }
    // The files that can wait: in memory, and on disk from half the memory on.
    const double fileBytes = static_cast<double>(report.pointsReported) * sizeof(double);
    const double memoryBytes = static_cast<double>(writer.maxPendingBytes());
    const double diskBytes = static_cast<double>(writer.maxSpillBytes());
    const double canWait =
        (diskBytes > 0.0 ? memoryBytes / 2.0 + diskBytes : memoryBytes) / std::max(fileBytes, 1.0);
    const double growth = arriving - sustained;  // files/s more that wait
    char text[640];
    int used = std::snprintf(text, sizeof text,
                             "writing keeps up with about %.0f files/s (%.1f ms a file on %d "
                             "threads) and the instrument delivers %.0f files/s",
                             sustained, perFile * 1000.0, writer.workers(), arriving);
    const double files = static_cast<double>(plan_.files);
    const double waitingAtEnd = files * (1.0 - sustained / arriving);
    if (plan_.files > 0 && waitingAtEnd <= canWait) {
        used += std::snprintf(text + used, sizeof text - static_cast<size_t>(used),
                              ": files wait %s and all are written, the last about %s after "
                              "the acquisition",
                              diskBytes > 0.0 ? "in memory and then on disk" : "in memory",
                              formatDuration(files / sustained - files / arriving).c_str());
    } else {
        used += std::snprintf(
            text + used, sizeof text - static_cast<size_t>(used),
            ": files will be missed once %.0f of them wait (--queue-memory %zu MiB%s), in about "
            "%s",
            canWait, writer.maxPendingBytes() >> 20,
            diskBytes > 0.0
                ? (", --queue-disk " + std::to_string(writer.maxSpillBytes() >> 20) + " MiB")
                      .c_str()
                : "",
            formatDuration(canWait / growth).c_str());
    }
    std::snprintf(text + used, sizeof text - static_cast<size_t>(used),
                  "; fewer formats (hdf5 writes fastest) or more scans per file keep up");
    warn(text);
}

void RunLoop::follow() {
    finishRun(followEvents());
}

// A run that ends in the middle of a co-add is ended by closing the connections: stopping it the
// driver's way reboots the instrument and waits 5 s. The session connects again when it next
// needs the instrument.
void RunLoop::shutDown(bool closeDriver) {
    if (closeDriver) {
        const Clock::time_point closing = Clock::now();
        api_.spectrometer_close();
        state_->report.closeSeconds = secondsSince(closing);
        outcome_.driverClosed = true;
    }
    if (state_->eventsRegistered) {
        // The scan thread is idle or gone now; the handles are taken back before the
        // descriptors close.
        api_.spectrometer_setScanCompleteEventHandle(0);
        api_.spectrometer_setCoaddCompleteEventHandle(0);
        api_.spectrometer_setFilesCompleteEventHandle(0);
        api_.spectrometer_setErrorEventHandle(0);
        state_->eventsRegistered = false;
    }
}

void drawRunPlot(const RunPlan& plan, const FileEvent& lastFile, std::string* note,
                 std::string* warning) {
    const FileEvent* last = &lastFile;
    const Settings& settings = plan.settings;
    if (plan.directory.empty() || !settings.outputs.plot || last->data.empty()) {
        return;
    }
    PlotRequest request;
    request.gnuplot = settings.outputs.gnuplot;
    request.directory = plan.directory;
    const size_t points = last->pointsPerHalf;
    for (size_t half = 0; half < last->halves.size(); ++half) {
        const double* curve = last->data.data() + half * points;
        request.interferogram.push_back(
            {last->halves[half], std::vector<double>(curve, curve + points)});
        if (half < last->spectra.size() && !last->spectra[half].values.empty()) {
            request.spectrum.push_back({last->halves[half], last->spectra[half].values});
        }
    }
    if (!request.spectrum.empty()) {
        const ostrel::spectra::Spectrum& first = last->spectra.front();
        for (size_t j = 0; j < first.values.size(); ++j) {
            request.wavenumbers.push_back(first.wavenumber(j));
        }
    }
    const AcquisitionSettings& acquisition = settings.acquisition;
    char title[256];
    std::snprintf(title, sizeof title, "%s, file %llu, %s: %d scans of %zu points, %s, gain %d",
                  plan.address.c_str(), static_cast<unsigned long long>(last->number),
                  formatTimestamp(last->timestampMs).c_str(), acquisition.scans, points,
                  directionText(acquisition.direction), acquisition.gain);
    request.title = title;
    const ostrel::spectra::Settings& spectra = settings.spectra;
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
        *note = "note: " + message + "; plot skipped";
    } else if (result == PlotResult::Failed) {
        *warning = "plot not drawn: " + message;
    }
}

void RunLoop::finishRun(Failure failure) {
    RunReport& report = state_->report;
    report.acquisitionSeconds = secondsSince(state_->runStarted);
    const int stopRequest = stopRequest_.load();
    if (failure == Failure::Stopped && stopRequest == 0) {
        failure = Failure::None;
    }
    // Complete runs leave the driver idle; any other end may leave a co-add going.
    shutDown(failure != Failure::None && state_->eventsRegistered);
    if (state_->writer != nullptr) {
        // Every file fetched so far is complete in memory or on disk; it is written before the run
        // ends, and the observers see the files and the count still waiting meanwhile.
        const Clock::time_point acquisitionEnded = Clock::now();
        bool collected = true;
        while (state_->writer->pendingFiles() > 0 && state_->writer->failure().empty()) {
            state_->hostEvents.wait(kDrainProgressMs, state_->writer->readyDescriptor());
            collected = collectWritten() && collected;
            publishProgress();
        }
        report.filesSpilled = state_->writer->filesSpilled();
        state_->writer->finish();
        report.writtenAfterSeconds = secondsSince(acquisitionEnded);
        collected = collectWritten() && collected;
        if (!collected && failure != Failure::Stopped) {
            failure = Failure::Output;
        }
        if (const SpectrumOutputs* outputs = state_->writer->outputs()) {
            outcome_.meanSingleBeams = outputs->meanSingleBeams();
        }
    }
    const Ending ending = failure == Failure::None ? Ending::Complete
                          : failure == Failure::Stopped
                              ? (stopRequest == 2 ? Ending::Interrupted : Ending::Stopped)
                              : Ending::Failed;
    report.status = endingName(ending);
    report.cadenceSeconds = cadenceSeconds();
    report.identity.endedMs = wallClockMs();
    report.totalSeconds = (report.identity.endedMs - report.identity.startedMs) / 1000.0 +
                          report.connectSeconds + report.calibrationSeconds;
    if (state_->summaryStarted) {
        std::string error;
        if (!writeRunSummary(plan_.directory, report, state_->records.path(), &error)) {
            reportError("cannot write the summary", error);
            failure = failure == Failure::None ? Failure::Output : failure;
            report.status = endingName(Ending::Failed);
        } else {
            state_->records.remove();
        }
    }
    if (failure != Failure::Output && state_->lastFile != nullptr) {
        std::string note;
        std::string warning;
        drawRunPlot(plan_, *state_->lastFile, &note, &warning);
        if (!note.empty()) {
            events_.note(note);
        }
        if (!warning.empty()) {
            warn(warning);
        }
    }
    EndEvent& end = outcome_.end;
    end.status = report.status;
    end.failure = failure;
    end.error = report.error;
    end.filesSaved = report.filesSaved;
    end.filesMissed = report.filesMissed;
    end.acquisitionSeconds = report.acquisitionSeconds;
    if (state_->writer == nullptr) {
        return;  // refused before it began: the caller's answer says why
    }
    // The final state first, then the end: a front-end shows the last counts with the end.
    publishProgress();
    events_.run({plan_.runId, plan_.kind, plan_.name, plan_.directory, false});
    events_.end(end);
}

}  // namespace ostrel::session
