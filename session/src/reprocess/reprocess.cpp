#include "ostrel_session/reprocess.h"

#include <chrono>

#include "history/run_summary.h"
#include "outputs/background.h"
#include "outputs/output_files.h"
#include "outputs/spectrum_axis.h"
#include "outputs/spectrum_outputs.h"
#include "pipeline/file_writer.h"
#include "reprocess/stored_run.h"
#include "run/run_loop.h"

namespace ostrel::session {
namespace {

std::string canonicalPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return path;
    }
    std::string text = resolved;
    free(resolved);
    return text;
}

class Reprocessing {
  public:
    Reprocessing(const ReprocessRequest& request, SessionObserver* observer)
        : request_(request), observer_(observer) {}

    Result run();

  private:
    Result fail(Failure failure, const std::string& message) {
        if (observer_ != nullptr) {
            observer_->onError({message, "", 0, ""});
        }
        Result result;
        result.failure = failure;
        result.message = message;
        return result;
    }
    void warn(const std::string& text) {
        if (observer_ != nullptr && !text.empty()) {
            observer_->onWarning(text);
        }
    }

    const ReprocessRequest& request_;
    SessionObserver* observer_;
};

Result Reprocessing::run() {
    StoredSettings stored;
    std::string error;
    if (!readStoredSettings(request_.runDirectory, &stored, &error)) {
        return fail(Failure::Usage, error);
    }
    Settings settings = stored.settings;
    ostrel::spectra::Settings& spectra = settings.spectra;
    spectra.laserWavenumber = request_.laserWavenumber.value_or(spectra.laserWavenumber);
    spectra.undersampling = request_.undersampling.value_or(spectra.undersampling);
    spectra.apodization = request_.apodization.value_or(spectra.apodization);
    spectra.zeroFill = request_.zeroFill.value_or(spectra.zeroFill);
    spectra.phase = request_.phase.value_or(spectra.phase);
    spectra.phaseResolution = request_.phaseResolution.value_or(spectra.phaseResolution);
    spectra.rangeLow = request_.rangeLow.value_or(spectra.rangeLow);
    spectra.rangeHigh = request_.rangeHigh.value_or(spectra.rangeHigh);
    settings.outputs.plot = request_.plot;
    const FieldErrors problems = checkSettings(settings);
    if (!problems.empty()) {
        return fail(Failure::Usage, problems.begin()->second);
    }
    if (canonicalPath(request_.outputDirectory) == canonicalPath(request_.runDirectory)) {
        return fail(Failure::Usage,
                    "the output directory is the run's own: reprocessing would "
                    "overwrite the run it reads");
    }

    RunPlan plan;
    plan.kind = RunKind::Acquire;
    plan.name = stored.name;
    plan.directory = request_.outputDirectory;
    plan.settings = settings;
    plan.address = stored.address;
    plan.simulator = stored.simulator;
    plan.version = stored.version;
    plan.skip = stored.skip;
    plan.halves = halfNames(settings.acquisition.direction);
    const size_t points = static_cast<size_t>(settings.acquisition.points);
    plan.hasAxis = spectrumAxisFor(points, spectra, &plan.axis, &error);
    if (!request_.background.empty()) {
        if (!plan.hasAxis || !loadBackground(request_.background, plan.halves, plan.axis,
                                             &plan.background, &error)) {
            return fail(Failure::Usage, plan.hasAxis ? error : "cannot use a background: " + error);
        }
        plan.hasBackground = true;
    }
    std::unique_ptr<StoredInterferograms> interferograms =
        openStoredInterferograms(request_.runDirectory, plan.halves.size(), points, &error);
    if (interferograms == nullptr) {
        return fail(Failure::Usage, error);
    }
    if (!checkNothingIsOverwritten(plan.directory, settings.outputs.formats, request_.background,
                                   &error)) {
        return fail(Failure::Output, error);
    }
    bool created = false;
    if (!makeDirectories(plan.directory, &created, &error)) {
        return fail(Failure::Output, error);
    }
    plan.runId = plan.directory.substr(plan.directory.rfind('/') + 1);

    RunReport report;
    report.status = "running";
    report.identity.id = plan.runId;
    report.identity.kind = RunKind::Acquire;
    report.identity.name = plan.name;
    report.identity.startedMs = wallClockMs();
    report.settings = settings;
    report.calibrated = false;
    report.background = request_.background;
    report.address = plan.address;
    report.simulator = plan.simulator;
    report.version = plan.version;
    report.skip = plan.skip;
    report.pointsReported = static_cast<int>(points * plan.halves.size());
    const auto started = std::chrono::steady_clock::now();

    std::unique_ptr<FileWriter> writer = makeFilePipeline(plan);
    FileRecords records;
    if (!writer->start(&error) || !writeRunSummary(plan.directory, report, "", &error) ||
        !records.open(plan.directory, &error)) {
        return fail(Failure::Output, error);
    }
    if (observer_ != nullptr) {
        observer_->onRun({plan.runId, plan.kind, plan.name, plan.directory, true});
    }
    std::shared_ptr<const FileEvent> last;
    Failure failure = Failure::None;
    StoredFile file;
    double firstTimestampMs = 0.0;
    bool qualityWarned = false;
    while (failure == Failure::None && interferograms->next(&file, &error)) {
        AcquiredFile acquired;
        acquired.number = file.number;
        acquired.timestampMs = file.timestampMs;
        acquired.data = std::move(file.data);
        WrittenFile written;
        if (!writer->saveNow(std::move(acquired), &written, &error) ||
            !records.append(written.summary, &error)) {
            failure = Failure::Output;
            break;
        }
        if (report.filesSaved == 0) {
            firstTimestampMs = written.summary.timestampMs;
        }
        ++report.filesSaved;
        ++report.filesSignalled;
        report.writeSeconds += written.summary.writeSeconds;
        if (report.filesSaved > 1) {
            report.cadenceSeconds = (written.summary.timestampMs - firstTimestampMs) / 1000.0 /
                                    static_cast<double>(report.filesSaved - 1);
        }
        if (!qualityWarned) {
            const std::string warning = qualityWarning(written.summary);
            qualityWarned = !warning.empty();
            warn(warning);
        }
        written.event->runId = plan.runId;
        written.event->progress.filesDone = static_cast<int>(report.filesSaved);
        written.event->progress.scans = settings.acquisition.scans;
        last = written.event;
        if (observer_ != nullptr) {
            observer_->onFile(last);
        }
    }
    if (failure == Failure::None && !error.empty()) {
        failure = Failure::Usage;  // a stored file that cannot be read
    }
    const std::string readError = error;
    writer->finish();
    const std::string writeFailure = writer->failure();
    if (failure == Failure::None && !writeFailure.empty()) {
        failure = Failure::Output;
        error = writeFailure;
    }
    report.filesRequested = static_cast<int>(report.filesSaved);
    report.acquisitionSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    report.totalSeconds = report.acquisitionSeconds;
    report.status = failure == Failure::None ? "complete" : "failed";
    report.error = failure == Failure::None ? "" : error;
    report.identity.endedMs = wallClockMs();
    std::string summaryError;
    if (!writeRunSummary(plan.directory, report, records.path(), &summaryError)) {
        return fail(Failure::Output, "cannot write the summary: " + summaryError);
    }
    records.remove();
    if (failure == Failure::None && last != nullptr) {
        std::string note;
        std::string warning;
        drawRunPlot(plan, *last, &note, &warning);
        if (observer_ != nullptr && !note.empty()) {
            observer_->onNote(note);
        }
        warn(warning);
    }
    if (failure != Failure::None) {
        return fail(failure, error);
    }
    if (observer_ != nullptr) {
        EndEvent end;
        end.runId = plan.runId;
        end.status = report.status;
        end.directory = plan.directory;
        end.filesSaved = report.filesSaved;
        end.filesRequested = static_cast<int>(report.filesSaved);
        end.points = settings.acquisition.points;
        end.scans = settings.acquisition.scans;
        end.direction = settings.acquisition.direction;
        end.simulator = plan.simulator;
        end.acquisitionSeconds = report.acquisitionSeconds;
        observer_->onRun({plan.runId, plan.kind, plan.name, plan.directory, false});
        observer_->onEnd(end);
    }
    return {};
}

}  // namespace

Result reprocessRun(const ReprocessRequest& request, SessionObserver* observer) {
    Reprocessing reprocessing(request, observer);
    return reprocessing.run();
}

}  // namespace ostrel::session
