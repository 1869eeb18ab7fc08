#include "acquisition.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "host_events.h"
#include "json_writer.h"
#include "plot.h"
#include "progress.h"

namespace ostrel::acquire {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kSocketFlag = OSTRELTCP_SOCKET_FLAG;
// The driver's own limit for a scan sequence is 45 s per scan; this host gives up only if even
// that has passed without any event, so the driver's error is what a person normally sees.
constexpr double kDeadmanPerScanSeconds = 45.0;
constexpr double kInactivityMarginSeconds = 30.0;

// The exports report a run's failure only as the last error's text; the code behind it is the
// driver code whose text is the same (the platform part appended to both is the same too).
int32_t identifyLastError(const host::DriverApi& api) {
    const std::string last = host::lastErrorText(api, 0);
    for (int32_t code = OSTRELTCP_ERR_COMMAND_SOCKET; code <= OSTRELTCP_ERR_POINTS_RANGE; ++code) {
        if (host::lastErrorText(api, code) == last) {
            return code;
        }
    }
    return 0;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
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

std::string numberedName(const char* stem, uint64_t number, OutputFormat format) {
    char text[64];
    std::snprintf(text, sizeof text, "%s-%04llu.%s", stem, static_cast<unsigned long long>(number),
                  formatExtension(format));
    return text;
}

struct HalfSummary {
    std::string name;
    CurveStatistics interferogram;
    size_t spectrumPeakBin = 0;
    double spectrumPeak = 0.0;
};

struct FileSummary {
    uint64_t number = 0;
    std::string interferogramName;
    std::string spectrumName;
    double timestampMs = 0.0;
    std::vector<HalfSummary> halves;
};

enum class Outcome { Complete, Interrupted, Failed };

class Run {
public:
    Run(const host::DriverApi& api, const RunOptions& options)
        : api_(api),
          options_(options),
          display_(stdout, options.quiet                   ? ProgressMode::Quiet
                           : isatty(STDOUT_FILENO) != 0 ? ProgressMode::Terminal
                                                          : ProgressMode::Lines),
          spectra_(options.apodization) {}

    int execute();

private:
    int prepare();
    bool driverCall(int32_t result, const std::string& what);
    void reportDriverError(const std::string& what, int32_t code);
    void reportError(const std::string& what, const std::string& detail = "");
    void warn(const std::string& text);
    int follow();
    bool handleCoadd(uint64_t signalled);
    bool saveFile(uint64_t number, double timestampMs);
    void shutDown();
    void removeDirectoryIfEmpty();
    bool writeSummary(Outcome outcome);
    void drawLastPlot();
    void printFinalLine(Outcome outcome);
    ProgressState progress() const;

    const host::DriverApi& api_;
    const RunOptions& options_;
    ProgressDisplay display_;
    SpectrumCalculator spectra_;
    HostEvents events_;
    std::vector<std::string> halves_;

    bool opened_ = false;
    bool createdDirectory_ = false;
    int32_t pointsReported_ = 0;
    int32_t skipApplied_ = 0;
    int32_t version_ = 0;
    int scan_ = 0;
    uint64_t filesSignalled_ = 0;
    uint64_t filesMissed_ = 0;
    std::string failure_;
    std::vector<double> data_;
    std::vector<std::vector<double>> spectrum_;
    std::vector<FileSummary> saved_;

    Clock::time_point started_ = Clock::now();
    Clock::time_point runStarted_;
    double connectSeconds_ = 0.0;
    double calibrationSeconds_ = 0.0;
    double acquisitionSeconds_ = 0.0;
    double closeSeconds_ = 0.0;
};

void Run::reportError(const std::string& what, const std::string& detail) {
    display_.finishLine();
    std::fprintf(stderr, "ostrel-acquire: %s\n", what.c_str());
    if (!detail.empty()) {
        std::fprintf(stderr, "  %s\n", detail.c_str());
    }
    if (failure_.empty()) {
        failure_ = detail.empty() ? what : what + ": " + detail;
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
    reportError(what, code != 0 ? "driver error " + std::to_string(code) + ": " + text : text);
    const std::string hint = hintForError(code);
    if (!hint.empty()) {
        std::fprintf(stderr, "  hint: %s\n", hint.c_str());
    }
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
    state.filesDone = static_cast<int>(filesSignalled_);
    state.files = options_.files;
    state.scan = scan_;
    state.scans = options_.scans;
    state.elapsedSeconds = secondsSince(runStarted_);
    return state;
}

// Everything before the run: connection, calibration, settings, host events. Returns ExitOk when
// the co-add run has started.
int Run::prepare() {
    std::string error;
    if (!makeDirectories(options_.outputDirectory, &createdDirectory_, &error) ||
        !events_.create(&error)) {
        reportError(error);
        return ExitOutput;
    }
    api_.spectrometer_setIPAddress(options_.address.c_str());
    const Clock::time_point connecting = Clock::now();
    const int32_t opened = api_.spectrometer_open(0);
    connectSeconds_ = secondsSince(connecting);
    if (opened != 0) {
        reportDriverError("cannot connect to the instrument at " + options_.address, opened);
        return ExitConnect;
    }
    opened_ = true;
    version_ = api_.spectrometer_version();

    if (options_.calibrate) {
        display_.note("calibrating (one forward scan of 16384 points)...");
        const Clock::time_point calibrating = Clock::now();
        const int32_t calibrated = api_.spectrometer_calibrationScan();
        calibrationSeconds_ = secondsSince(calibrating);
        if (!driverCall(calibrated, "the calibration scan failed")) {
            return ExitSetting;
        }
        api_.spectrometer_getSkipPoints(&skipApplied_);
        display_.note("calibrated: skip points " + std::to_string(skipApplied_));
    }

    // The calibration leaves the instrument at its own settings, so every setting is sent after
    // it; the skip points are the calibrated value then and are not sent again.
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
        skipApplied_ = options_.skip;
    }
    api_.spectrometer_setFiles(options_.files);
    api_.spectrometer_getPoints(&pointsReported_);
    data_.assign(static_cast<size_t>(pointsReported_), 0.0);

    // Registered after the calibration, whose progress lines would otherwise leave a stale
    // scan event behind for the run.
    api_.spectrometer_setScanCompleteEventHandle(events_.handle(HostEvent::ScanComplete));
    api_.spectrometer_setCoaddCompleteEventHandle(events_.handle(HostEvent::CoaddComplete));
    api_.spectrometer_setFilesCompleteEventHandle(events_.handle(HostEvent::FilesComplete));
    api_.spectrometer_setErrorEventHandle(events_.handle(HostEvent::Error));

    runStarted_ = Clock::now();
    if (!driverCall(api_.spectrometer_startCoadd(0), "cannot start the acquisition")) {
        return ExitAcquisition;
    }
    return ExitOk;
}

bool Run::saveFile(uint64_t number, double timestampMs) {
    const size_t halves = halves_.size();
    const size_t points = data_.size() / halves;
    FileSummary summary;
    summary.number = number;
    summary.timestampMs = timestampMs;
    summary.interferogramName = numberedName("interferogram", number, options_.format);
    summary.spectrumName = numberedName("spectrum", number, options_.format);

    std::vector<HeaderEntry> header = {
        {"file", static_cast<int64_t>(number)},
        {"timestamp", formatTimestamp(timestampMs)},
        {"timestamp_ms", timestampMs},
        {"address", options_.address},
        {"points", static_cast<int64_t>(points)},
        {"scans", static_cast<int64_t>(options_.scans)},
        {"direction", static_cast<int64_t>(options_.direction)},
        {"gain", static_cast<int64_t>(options_.gain)},
        {"skip", static_cast<int64_t>(skipApplied_)},
    };
    Table interferogram{"ostrel-acquire interferogram", header, "index", {}, points};
    spectrum_.resize(halves);
    for (size_t half = 0; half < halves; ++half) {
        const double* curve = data_.data() + half * points;
        interferogram.columns.push_back({halves_[half], curve});
        spectra_.compute(curve, points, &spectrum_[half]);
        HalfSummary statistics{halves_[half], curveStatistics(curve, points), 0, 0.0};
        statistics.spectrumPeakBin = largestIndex(spectrum_[half].data(), spectrum_[half].size());
        statistics.spectrumPeak = spectrum_[half][statistics.spectrumPeakBin];
        summary.halves.push_back(statistics);
    }
    const size_t bins = spectrum_.front().size();
    Table spectrum{"ostrel-acquire spectrum", header, "bin", {}, bins};
    spectrum.header.push_back({"apodization", std::string(apodizationName(options_.apodization))});
    spectrum.header.push_back(
        {"transform_length", static_cast<int64_t>(SpectrumCalculator::transformLength(points))});
    for (size_t half = 0; half < halves; ++half) {
        spectrum.columns.push_back({halves_[half], spectrum_[half].data()});
    }

    std::string error;
    if (!writeTable(options_.outputDirectory, summary.interferogramName, options_.format,
                    interferogram, &error) ||
        !writeTable(options_.outputDirectory, summary.spectrumName, options_.format, spectrum,
                    &error)) {
        reportError("cannot save file " + std::to_string(number), error);
        return false;
    }
    saved_.push_back(summary);
    return true;
}

// One co-add event: the driver publishes the newest file only, so when several files were
// signalled since the last wait, the ones in between are gone and are counted as missed.
bool Run::handleCoadd(uint64_t signalled) {
    filesSignalled_ += signalled;
    scan_ = 0;
    if (signalled > 1) {
        filesMissed_ += signalled - 1;
        warn(std::to_string(signalled - 1) + " file(s) were published faster than they could " +
             "be read and were not saved");
    }
    double timestampMs = 0.0;
    const int32_t result = api_.spectrometer_getData(data_.data(), pointsReported_, &timestampMs);
    // The same time stamp again means the file saved last was already the newer one.
    const bool repeated = !saved_.empty() && saved_.back().timestampMs == timestampMs;
    if (result != 0 || repeated) {
        ++filesMissed_;
        warn(result != 0 ? "file " + std::to_string(filesSignalled_) + " not available: " +
                               host::lastErrorText(api_, result)
                         : "file " + std::to_string(filesSignalled_) +
                               " was the one already saved; not saved twice");
        return true;
    }
    if (!saveFile(filesSignalled_, timestampMs)) {
        return false;
    }
    display_.fileSaved(progress(), saved_.back().interferogramName);
    return true;
}

int Run::follow() {
    const int waitMs = display_.mode() == ProgressMode::Terminal ? 250 : 1000;
    const double inactivityLimit =
        options_.scans * kDeadmanPerScanSeconds + kInactivityMarginSeconds;
    Clock::time_point lastEvent = Clock::now();
    for (;;) {
        const EventCounts counts = events_.wait(waitMs);
        if (counts.interrupted) {
            return ExitInterrupted;
        }
        if (counts.any()) {
            lastEvent = Clock::now();
        }
        if (counts.of(HostEvent::ScanComplete) != 0) {
            int32_t scan = 0;
            api_.spectrometer_getScanProgress(&scan);
            scan_ = scan;
        }
        if (counts.of(HostEvent::CoaddComplete) != 0 &&
            !handleCoadd(counts.of(HostEvent::CoaddComplete))) {
            return ExitOutput;
        }
        if (counts.of(HostEvent::Error) != 0) {
            // The driver records the failure before it signals the error event.
            reportDriverError("the acquisition stopped on an error", 0);
            return ExitAcquisition;
        }
        if (counts.of(HostEvent::FilesComplete) != 0) {
            return ExitOk;
        }
        display_.update(progress());
        if (secondsSince(lastEvent) > inactivityLimit) {
            reportError("no word from the driver for " +
                        formatDuration(secondsSince(lastEvent)) + "; giving up");
            return ExitAcquisition;
        }
    }
}

void Run::shutDown() {
    if (!opened_) {
        // A failed open may leave a connection or the socket layer behind; close takes any mix.
        api_.spectrometer_close();
        return;
    }
    // close rather than stop: stop reboots the instrument, sleeps 5 s and connects again, which
    // is of no use to a program that is about to exit. close stops the scan thread and both
    // connections and returns 0 whatever their state.
    const Clock::time_point closing = Clock::now();
    api_.spectrometer_close();
    closeSeconds_ = secondsSince(closing);
    opened_ = false;
    // The scan thread is gone now; the handles are taken back before the descriptors close.
    api_.spectrometer_setScanCompleteEventHandle(0);
    api_.spectrometer_setCoaddCompleteEventHandle(0);
    api_.spectrometer_setFilesCompleteEventHandle(0);
    api_.spectrometer_setErrorEventHandle(0);
}

void Run::removeDirectoryIfEmpty() {
    if (createdDirectory_) {
        rmdir(options_.outputDirectory.c_str());
    }
}

bool Run::writeSummary(Outcome outcome) {
    AtomicFile file(options_.outputDirectory, "summary.json");
    std::string error;
    if (!file.open(&error)) {
        reportError("cannot write the summary", error);
        return false;
    }
    JsonWriter json(file.stream());
    json.beginObject();
    json.member("program", "ostrel-acquire");
    json.member("status", outcome == Outcome::Complete      ? "complete"
                          : outcome == Outcome::Interrupted ? "interrupted"
                                                            : "failed");
    if (!failure_.empty()) {
        json.member("error", failure_);
    }
    json.key("instrument");
    json.beginObject();
    json.member("address", options_.address);
    json.member("simulator", options_.simulator);
    json.member("version", static_cast<int>(version_));
    json.endObject();
    json.key("settings");
    json.beginObject();
    json.member("points", options_.points);
    json.member("points_reported", static_cast<int>(pointsReported_));
    json.member("scans", options_.scans);
    json.member("files", options_.files);
    json.member("direction", options_.direction);
    json.member("gain", options_.gain);
    json.member("skip", static_cast<int>(skipApplied_));
    json.member("calibrated", options_.calibrate);
    json.member("apodization", apodizationName(options_.apodization));
    json.member("format", formatExtension(options_.format));
    json.endObject();
    json.key("timing");
    json.beginObject();
    json.member("connect_s", connectSeconds_);
    json.member("calibration_s", calibrationSeconds_);
    json.member("acquisition_s", acquisitionSeconds_);
    json.member("close_s", closeSeconds_);
    json.member("total_s", secondsSince(started_));
    json.member("seconds_per_file",
                filesSignalled_ > 0 ? acquisitionSeconds_ / static_cast<double>(filesSignalled_)
                                    : 0.0);
    json.endObject();
    json.member("files_requested", options_.files);
    json.member("files_signalled", static_cast<int64_t>(filesSignalled_));
    json.member("files_saved", saved_.size());
    json.member("files_missed", static_cast<int64_t>(filesMissed_));
    json.key("files");
    json.beginArray();
    for (const FileSummary& saved : saved_) {
        json.beginObject();
        json.member("file", static_cast<int64_t>(saved.number));
        json.member("interferogram", saved.interferogramName);
        json.member("spectrum", saved.spectrumName);
        json.member("timestamp", formatTimestamp(saved.timestampMs));
        json.member("timestamp_ms", saved.timestampMs);
        json.key("halves");
        json.beginArray();
        for (const HalfSummary& half : saved.halves) {
            json.beginObject();
            json.member("half", half.name);
            json.member("min", half.interferogram.minimum);
            json.member("max", half.interferogram.maximum);
            json.member("mean", half.interferogram.mean);
            json.member("peak_index", half.interferogram.peakIndex);
            json.member("spectrum_peak_bin", half.spectrumPeakBin);
            json.member("spectrum_peak", half.spectrumPeak);
            json.endObject();
        }
        json.endArray();
        json.endObject();
    }
    json.endArray();
    json.endObject();
    if (!file.commit(&error)) {
        reportError("cannot write the summary", error);
        return false;
    }
    return true;
}

void Run::drawLastPlot() {
    if (!options_.plot || saved_.empty()) {
        return;
    }
    const FileSummary& last = saved_.back();
    PlotRequest request;
    request.gnuplot = options_.gnuplot;
    request.directory = options_.outputDirectory;
    const size_t points = data_.size() / halves_.size();
    for (size_t half = 0; half < halves_.size(); ++half) {
        const double* curve = data_.data() + half * points;
        request.interferogram.push_back({halves_[half], std::vector<double>(curve, curve + points)});
        request.spectrum.push_back({halves_[half], spectrum_[half]});
    }
    char title[256];
    std::snprintf(title, sizeof title, "%s, file %llu, %s: %d scans of %zu points, %s, gain %d",
                  options_.address.c_str(), static_cast<unsigned long long>(last.number),
                  formatTimestamp(last.timestampMs).c_str(), options_.scans, points,
                  directionText(options_.direction), options_.gain);
    request.title = title;
    request.spectrumTitle = std::string("Spectrum (") + apodizationName(options_.apodization) +
                            ", " +
                            std::to_string(SpectrumCalculator::transformLength(points)) +
                            "-point transform)";
    std::string message;
    const PlotResult result = drawPlot(request, &message);
    if (result == PlotResult::GnuplotMissing) {
        display_.note("note: " + message + "; plot skipped");
    } else if (result == PlotResult::Failed) {
        warn("plot not drawn: " + message);
    }
}

void Run::printFinalLine(Outcome outcome) {
    display_.finishLine();
    const size_t points = halves_.empty() ? 0 : data_.size() / halves_.size();
    char text[512];
    const char* verb = outcome == Outcome::Complete      ? "acquired"
                       : outcome == Outcome::Interrupted ? "interrupted after"
                                                         : "failed after";
    std::string count = std::to_string(saved_.size());
    if (options_.files > 0) {
        count += " of " + std::to_string(options_.files);
    }
    std::snprintf(text, sizeof text,
                  "%s %s file(s) (%d scans of %zu points, %s%s) in %s; output in %s/%s",
                  verb, count.c_str(), options_.scans, points, directionText(options_.direction),
                  options_.simulator ? ", simulator" : "",
                  formatDuration(acquisitionSeconds_).c_str(), options_.outputDirectory.c_str(),
                  filesMissed_ > 0 ? (" (" + std::to_string(filesMissed_) + " missed)").c_str()
                                   : "");
    std::printf("%s\n", text);
    std::fflush(stdout);
}

int Run::execute() {
    halves_ = halfNames(options_.direction);
    int status = prepare();
    if (status != ExitOk) {
        shutDown();
        removeDirectoryIfEmpty();
        return status;
    }
    display_.update(progress());
    status = follow();
    acquisitionSeconds_ = secondsSince(runStarted_);
    if (status == ExitInterrupted) {
        display_.note("interrupted: stopping the run");
    }
    shutDown();
    const Outcome outcome = status == ExitOk            ? Outcome::Complete
                            : status == ExitInterrupted ? Outcome::Interrupted
                                                        : Outcome::Failed;
    if (!writeSummary(outcome) && status == ExitOk) {
        status = ExitOutput;
    }
    if (status != ExitOutput) {
        drawLastPlot();
    }
    printFinalLine(outcome);
    return status;
}

}  // namespace

std::string hintForError(int32_t code) {
    if ((code & kSocketFlag) != 0) {
        switch (code & ~kSocketFlag) {
            case 10061:
                return "nothing accepts connections there: is the instrument switched on and at "
                       "that address?";
            case 10060:
            case 8:  // the socket layer's own time-out
                return "no answer: is the instrument switched on, at that address and on this "
                       "network?";
            case 10051:
            case 10065:
                return "that address cannot be reached from this computer: check the address "
                       "and the network settings";
            case 6:  // not an address in dotted form
                return "give the instrument's IPv4 address in dotted form, e.g. 192.168.1.50";
            default:
                return "is the instrument switched on and at that address?";
        }
    }
    switch (code) {
        case OSTRELTCP_ERR_COMMAND_SOCKET:
        case OSTRELTCP_ERR_DATA_SOCKET:
            return "the instrument took the connection but did not say \"ready\" within 10 s: is "
                   "it still starting up, or is another program connected to it?";
        case OSTRELTCP_ERR_OK_TIMEOUT:
            return "the instrument did not acknowledge within 5 s: is it busy or still starting "
                   "up?";
        case OSTRELTCP_ERR_INSTRUMENT:
            return "the instrument does not accept that value: check it against the "
                   "instrument's range";
        case OSTRELTCP_ERR_CONNECT:
            return "the connection was not established within 2 s: is the instrument switched "
                   "on and at that address?";
        case OSTRELTCP_ERR_CALSCAN:
            return "the calibration scan did not finish: is the instrument scanning?";
        case OSTRELTCP_ERR_DEADMAN:
            return "the scans did not finish within 45 s per scan: is the scanning mechanism "
                   "running?";
        case OSTRELTCP_ERR_SCAN_TIMEOUT:
            return "a scan took more than twice the calibrated time: calibrate again "
                   "(--calibrate) or check the scanning mechanism";
        case OSTRELTCP_ERR_SHORT_BLOCK:
        case OSTRELTCP_ERR_SOCKET_READ:
            return "the connection to the instrument broke: check the network and the "
                   "instrument";
        case OSTRELTCP_ERR_INSTRUMENT_SCAN:
            return "the instrument reported an error during the scan: check its state";
        case OSTRELTCP_ERR_POINTS_RANGE:
            return "points must be 1 to 32768 per direction";
        default:
            return "";
    }
}

int runAcquisition(const host::DriverApi& api, const RunOptions& options) {
    Run run(api, options);
    return run.execute();
}

}  // namespace ostrel::acquire
