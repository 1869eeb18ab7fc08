// One instrument's session: the loaded driver library (the driver serves one instrument per
// process, so a process has at most one Session), the built-in simulator when no address is
// given, the settings, the background, the one active run and the run history on disk. Every
// front-end (the command line, the server, the Tango device) drives the instrument through this
// class and learns what happened through its observers (events.h).
//
// Operations may be called from any thread; they are serialised, and those that talk to the
// instrument wait for its answer. A run goes on in the session's own threads: startRun() returns
// once it has started, stop() asks it to end from any thread, and waitForRun() waits for its end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ostrel_session/events.h"
#include "ostrel_session/run_history.h"
#include "ostrel_session/settings.h"

namespace ostrel::session {

// The built-in simulator, used when connect() is given no address.
struct SimulatorOptions {
    double scanMsAt16k = 50.0;           // one simulated scan at 16384 points
    double readyMs = 5.0;                // the pause before "ready" at the end of a file
    double noise = -1.0;                 // the simulator's noise level; negative: its default
    std::vector<std::string> absorbers;  // "CENTRE:HWHM:PEAK_ABSORBANCE" each
    std::vector<std::string> faults;     // "PHASE:FAULT[:PREFIX[:COUNT]]" each
};

struct SessionConfig {
    std::string libraryPath;    // empty: $OSTRELTCP_LIBRARY, then beside the program
    std::string dataDirectory;  // where runs without a directory of their own are kept
    SimulatorOptions simulator;
};

// The answer of an operation: Failure::None, or the failure with its reason (and, for settings,
// one reason per bad field).
struct Result {
    Failure failure = Failure::None;
    std::string message;
    FieldErrors fields;

    bool ok() const { return failure == Failure::None; }
};

struct RunRequest {
    RunKind kind = RunKind::Acquire;
    int files = 4;  // 0: until stopped (align always runs until stopped)
    std::string name;
    double intervalSeconds = 0.0;  // series: one file every this many seconds
    // Where the run's files go; empty: a new directory under the data directory (none for
    // align). An existing directory is used as it is.
    std::string directory;
};

struct ConnectionState {
    bool connected = false;
    bool simulator = false;
    std::string address;
    int instrumentVersion = 0;
    int calibratedSkip = -1;  // the skip points of the last calibration, -1: none
};

struct SessionState {
    ConnectionState connection;
    int driverStatus = 0;
    bool running = false;
    RunRecord activeRun;  // when running
    Settings settings;
    std::vector<std::string> background;  // where the session's background came from
    ErrorEvent lastError;                 // message empty when there was none
};

class Session {
  public:
    explicit Session(SessionConfig config = {});
    ~Session();  // stops a run, closes the connection, ends the event thread
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void addObserver(std::shared_ptr<SessionObserver> observer);
    void removeObserver(const std::shared_ptr<SessionObserver>& observer);
    // Waits (at most timeoutMs) until every event queued so far has reached the observers.
    bool flushEvents(int timeoutMs = 5000);

    // Starts the built-in simulator on free loopback ports (done by connect("") when it has not
    // been), and points the driver at them. Its options are checked here (Failure::Usage).
    // loadDriver() and this report only through their result: they come before any run.
    Result startSimulator();
    // Loads the driver library (done by connect() when it has not been).
    Result loadDriver();
    // Connects to the instrument at `address`; empty: the built-in simulator, started on free
    // loopback ports.
    Result connect(const std::string& address);
    void close();
    // Sends the instrument its reboot datagram, waits the driver's pause for it to come back, and
    // connects again. Refused (Failure::Busy) while a run is active or when not connected.
    Result reboot();
    // A calibration scan: the instrument finds the centre burst and sets the skip points.
    Result calibrate();
    // Checks every field before anything is sent; the instrument gets them at the next run.
    Result applySettings(const Settings& settings);
    Settings settings() const;
    // A single-beam JCAMP-DX file per half, or an earlier run's directory (its mean single
    // beams); checked against the settings' axis at once.
    Result setBackground(const std::vector<std::string>& sources);
    void clearBackground();

    // Checks what a run needs without touching the instrument (settings, background, that no
    // earlier run's data would be overwritten) and creates its directory.
    Result prepareRun(const RunRequest& request);
    // Starts a run; refused (Failure::Busy) while another is active or when not connected.
    Result startRun(const RunRequest& request);
    // Asks the active run to end; `interrupted` marks it so (Ctrl-C) rather than "stopped".
    void stop(bool interrupted = false);
    // Waits up to timeoutMs for the active run to end; true when none is active now.
    bool waitForRun(int timeoutMs);
    // The end of the run that ended last.
    EndEvent lastRunEnd() const;

    SessionState state() const;
    // Puts another sample in the built-in simulator's beam: its absorbers
    // ("CENTRE:HWHM:PEAK_ABSORBANCE" each; none for an empty beam), from the next file on.
    Result setSimulatorSample(const std::vector<std::string>& absorbers);
    // The simulator's ports while the session uses it (command, data, reboot), else zeros.
    std::vector<uint16_t> simulatorPorts() const;
    // The runs kept in the data directory, newest first (the active one included).
    std::vector<RunRecord> history() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ostrel::session
