// What a session tells the front-ends: a run started or ended, its progress, each file with its
// spectra, warnings, notes and errors.
//
// Threads: every observer is called from one thread of the session's own (its event thread), in
// the order the events happened, never from the thread that called a Session operation. An
// observer copies what it needs and returns at once: it must not block, must not wait for the
// session, and must not call Session operations that wait for a run (stop() is fine). While one
// observer is slow the others wait, and events queue up; the queue keeps the newest files and
// drops the curves (never the counts) of older ones, so a slow observer loses intermediate
// states, never the run's data on disk. An exception thrown by an observer is caught, and that
// observer alone misses the event.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel_session/curve_statistics.h"
#include "ostrel_session/progress.h"
#include "ostrel_spectra/quality.h"
#include "ostrel_spectra/spectra.h"

namespace ostrel::session {

// acquire: N files (0: until stopped); align: continuous, nothing saved but the latest state;
// background: its mean single beam becomes the session's background; sample: ratioed against the
// session's background when there is one; series: one file every `interval` seconds.
enum class RunKind { Acquire, Align, Background, Sample, Series };

std::string_view name(RunKind kind);
bool parseRunKind(std::string_view text, RunKind* kind);

// Why an operation or a run failed, in the classes a front-end reports differently (the command
// line turns each into its own exit status).
enum class Failure {
    None,
    Usage,        // the request or the settings are wrong; nothing was sent
    Library,      // the driver library cannot be loaded, or the simulator cannot start
    Connect,      // the instrument cannot be reached or does not greet
    Setting,      // the instrument refused a setting or the calibration failed
    Acquisition,  // the run ended on an error
    Output,       // an output file cannot be written
    Busy,         // not now: a run is active, or the session is not connected
    Stopped,      // the run was stopped before its end
};

// The summary reports this many of each half's strongest bands.
constexpr size_t kReportedBands = 5;

struct HalfSummary {
    std::string name;
    CurveStatistics interferogram;
    double zpdIndex = 0.0;                     // points from the start of the half, to a fraction
    double resolution = 0.0;                   // nominal, cm^-1
    std::vector<ostrel::spectra::Band> bands;  // strongest first
    // Whether the half's spectrum can be trusted: its quality gates (none when it gave no
    // spectrum), and for a failing or warning half what a person can try.
    ostrel::spectra::HalfQuality quality;
    std::string hint;
};

// The file's combined single beam (two-direction runs): which halves it was made from, how far
// the halves disagreed, and why a half was left out or the halves were flagged.
struct CombinedSummary {
    bool present = false;
    std::string used;  // "both", "forward" or "reverse"
    double disagreement = 0.0;
    std::string note;
};

// One saved file as the run's records keep it.
struct FileSummary {
    uint64_t number = 0;
    std::string interferogramName;
    std::string spectrumName;  // empty when the spectrum could not be computed
    std::string spectrumError;
    double timestampMs = 0.0;
    double writeSeconds = 0.0;  // the pipeline's time for this file: spectra and outputs
    std::vector<HalfSummary> halves;
    CombinedSummary combined;

    // The worst gate status of the file's halves.
    ostrel::spectra::GateStatus worstQuality() const;
};

struct RunEvent {
    std::string runId;
    RunKind kind = RunKind::Acquire;
    std::string name;
    std::string directory;  // empty for a run that saves nothing (align)
    bool started = true;    // false: it has ended (an EndEvent has the details)
};

struct ProgressEvent {
    std::string runId;
    ProgressState state;
    int driverStatus = 0;  // spectrometer_getStatus
    uint64_t filesMissed = 0;
    std::string address;
    bool simulator = false;
};

// One file once its outputs are written. The curves may be empty when the event queue had to
// shed them (see above); the summary and counts are always there.
struct FileEvent {
    std::string runId;
    uint64_t number = 0;
    double timestampMs = 0.0;   // the driver's stamp, ms since 1970 UTC
    double coaddEventMs = 0.0;  // when the session saw the file's co-add event
    int scans = 0;
    std::vector<std::string> halves;  // "forward", "reverse" in the order of the data
    size_t pointsPerHalf = 0;
    std::vector<double> data;  // the interferogram halves one after the other
    // One per half; a half whose spectrum could not be computed has no values.
    std::vector<ostrel::spectra::Spectrum> spectra;
    // Per half on the spectra's axis when the run has a background, else empty.
    std::vector<std::vector<double>> transmittance;
    std::vector<std::vector<double>> absorbance;
    // The combined single beam of a two-direction file (no values otherwise), on the halves'
    // axis, and its ratios when the run has a background.
    ostrel::spectra::Spectrum combined;
    std::vector<double> combinedTransmittance;
    std::vector<double> combinedAbsorbance;
    FileSummary summary;
    ProgressState progress;  // the run's progress with this file counted
};

struct ErrorEvent {
    std::string message;  // what failed, in the session's words
    std::string detail;   // "driver error N: <the driver's text>", or the system's reason
    int32_t code = 0;     // the driver's error code, 0 when the failure is not the driver's
    std::string hint;     // what a person can check; may be empty
};

struct EndEvent {
    std::string runId;
    RunKind kind = RunKind::Acquire;
    std::string status;  // "complete", "stopped", "interrupted" or "failed"
    Failure failure = Failure::None;
    std::string error;  // what ended a failed run
    std::string directory;
    uint64_t filesSaved = 0;
    uint64_t filesMissed = 0;
    int filesRequested = 0;  // 0: until stopped
    int points = 0;
    int scans = 0;
    int direction = 3;
    bool simulator = false;
    double acquisitionSeconds = 0.0;
};

class SessionObserver {
  public:
    virtual ~SessionObserver() = default;
    virtual void onRun(const RunEvent&) {}
    virtual void onProgress(const ProgressEvent&) {}
    virtual void onFile(const std::shared_ptr<const FileEvent>&) {}
    virtual void onEnd(const EndEvent&) {}
    virtual void onError(const ErrorEvent&) {}
    // Something a person should know that does not stop the run (files missed, a plot not drawn).
    virtual void onWarning(const std::string&) {}
    // What the session is doing ("calibrating ..."), for a front-end that narrates.
    virtual void onNote(const std::string&) {}
};

}  // namespace ostrel::session
