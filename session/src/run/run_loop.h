// One run against the driver, as a host application drives it: send the settings, register four
// host events, start the co-add run, and on each co-add event fetch the interferogram and hand it
// to the file pipeline; at the end the run's summary and plot. The session starts it on the
// caller's thread (so that a refused setting or an unwritable directory is that call's answer)
// and follows it on a thread of its own.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "driver_library.h"
#include "events/event_dispatcher.h"
#include "ostrel_session/events.h"
#include "ostrel_session/settings.h"
#include "outputs/background.h"
#include "outputs/spectrum_axis.h"
#include "run/host_events.h"

namespace ostrel::session {

class SpectrumOutputs;

struct RunPlan {
    std::string runId;
    RunKind kind = RunKind::Acquire;
    std::string name;
    std::string directory;  // empty: nothing is written (an alignment run)
    Settings settings;
    int files = 4;  // 0: until stopped
    double intervalSeconds = 0.0;
    std::string address;
    bool simulator = false;
    int version = 0;
    bool calibrated = false;  // the skip points are the calibration's
    int skip = 0;             // the skip points in effect
    bool sendSkip = true;     // false: the instrument holds them from its calibration
    std::vector<std::string> halves;
    SpectrumAxis axis;
    bool hasAxis = false;
    bool hasBackground = false;
    Background background;
    double connectSeconds = 0.0;
    double calibrationSeconds = 0.0;
};

struct RunOutcome {
    EndEvent end;
    ErrorEvent error;  // message empty when the run did not fail on an error
    // The run's mean single beam per half (empty when no file gave a spectrum).
    std::vector<std::vector<double>> meanSingleBeams;
    bool driverClosed = false;  // the run closed the driver's connections to end
};

class RunLoop {
  public:
    RunLoop(const host::DriverApi& api, RunPlan plan, EventDispatcher& events);
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // On the caller's thread: everything up to the first file's co-add. On failure the run is
    // over (its outcome says why) and follow() must not be called.
    bool begin();
    // On the run's thread: follows the run to its end and writes its summary.
    void follow();
    // From any thread: ends the run at the next event or wait.
    void stop(bool interrupted);

    const RunOutcome& outcome() const { return outcome_; }
    const RunPlan& plan() const { return plan_; }

    struct State;

  private:
    class StandbyFetch;

    void reportError(const std::string& what, const std::string& detail = "", int32_t code = 0,
                     const std::string& hint = "");
    void reportDriverError(const std::string& what, int32_t code);
    bool driverCall(int32_t result, const std::string& what);
    void warn(const std::string& text);
    ProgressState progress() const;
    void publishProgress();
    bool sendSettings();
    bool startPipeline();
    bool startFile();
    bool startNextFileWhenDue();
    Failure followEvents();
    uint64_t fetchSignalled();
    void fetchFile(uint64_t signalled);
    void hintAtFetchPriority();
    bool collectWritten();
    void warnWhenWritingFallsBehind();
    void shutDown(bool closeDriver);
    double cadenceSeconds() const;
    void finishRun(Failure failure);

    const host::DriverApi& api_;
    const RunPlan plan_;
    EventDispatcher& events_;
    WakeEvent stopEvent_;
    std::atomic<int> stopRequest_{0};  // 0 none, 1 stop, 2 interrupt
    std::unique_ptr<State> state_;
    RunOutcome outcome_;
};

// The warning for the first file whose spectrum must not be trusted, with its hint; empty when
// every half passed its gates (warnings included).
std::string qualityWarning(const FileSummary& file);

// The halves a scan direction setting records, in the order of the data: 1 forward, 2 reverse,
// 3 both.
std::vector<std::string> halfNames(int direction);
// Now, in milliseconds since 1970-01-01 UTC (what the run's records and summary stamp with).
double wallClockMs();

// A run's directory name for a run that starts now: "20261209-163012-sample".
std::string newRunId(RunKind kind, double startedMs);

class FileWriter;

// The file pipeline a run with this plan writes through (tables, spectra, JCAMP-DX, archive).
std::unique_ptr<FileWriter> makeFilePipeline(const RunPlan& plan);

// Draws plot.png of the run's last file when the plan asks for it; *note or *warning says why
// it was not drawn.
void drawRunPlot(const RunPlan& plan, const FileEvent& last, std::string* note,
                 std::string* warning);

}  // namespace ostrel::session
