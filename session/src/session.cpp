#include "ostrel_session/session.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "driver_library.h"
#include "events/event_dispatcher.h"
#include "ostrel_sim/simulator.h"
#include "ostrel_sim/spectrum_model.h"
#include "outputs/background.h"
#include "outputs/output_files.h"
#include "outputs/spectrum_axis.h"
#include "outputs/spectrum_outputs.h"
#include "run/driver_errors.h"
#include "run/run_loop.h"

namespace ostrel::session {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Result failed(Failure failure, std::string message) {
    Result result;
    result.failure = failure;
    result.message = std::move(message);
    return result;
}

bool directoryExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// Keeps the last error the observers saw, for state().
class LastErrorKeeper : public SessionObserver {
  public:
    void onError(const ErrorEvent& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = error;
    }
    ErrorEvent last() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_;
    }

  private:
    mutable std::mutex mutex_;
    ErrorEvent last_;
};

}  // namespace

struct Session::Impl {
    explicit Impl(SessionConfig configuration) : config(std::move(configuration)) {
        lastError = std::make_shared<LastErrorKeeper>();
        events.add(lastError);
        if (!config.dataDirectory.empty() && directoryExists(config.dataDirectory)) {
            closeInterruptedRuns(config.dataDirectory);
        }
    }

    Result fail(Failure failure, const std::string& message, const std::string& detail = "",
                int32_t code = 0, const std::string& hint = "") {
        events.error({message, detail, code, hint});
        Result result = failed(failure, detail.empty() ? message : message + ": " + detail);
        return result;
    }
    Result failDriver(Failure failure, const std::string& message, int32_t code) {
        const DriverError error = describeDriverError(library.api(), code);
        return fail(failure, message, error.detail, error.code, error.hint);
    }

    Result loadDriverLocked();
    // For an operation on the instrument: refused while a run is active or when not connected;
    // opens the driver's connections again when the last run closed them.
    Result readyForInstrument(const char* what, std::string* address);
    Result startSimulatorLocked();
    Result openDriverLocked(const std::string& address);
    Result prepareRunLocked(const RunRequest& request, std::string* directory);
    void joinFinishedRun();
    void stopRunAndWait();
    void runEnded(RunLoop& run);
    void removePreparedDirectory();

    SessionConfig config;
    EventDispatcher events;
    std::shared_ptr<LastErrorKeeper> lastError;

    // One operation at a time; stop() and the state queries do not take it.
    std::mutex operation;
    mutable std::mutex mutex;  // guards everything below
    std::condition_variable runEndedSignal;

    host::DriverLibrary library;
    bool libraryLoaded = false;
    std::unique_ptr<ostrel::sim::Simulator> simulator;
    std::string simulatorAddress;
    Settings settings;
    ConnectionState connection;
    bool driverOpen = false;           // the driver's connections are open
    bool instrumentHoldsSkip = false;  // since the last calibration, on the same connection
    double connectSeconds = 0.0;
    double calibrationSeconds = 0.0;
    bool calibrating = false;
    std::vector<std::string> backgroundSources;
    std::string preparedDirectory;  // made by prepareRun and still unused
    bool preparedCreated = false;

    std::unique_ptr<RunLoop> run;
    std::thread runThread;
    bool running = false;
    RunRecord activeRun;
    EndEvent lastEnd;
};

Result Session::Impl::readyForInstrument(const char* what, std::string* address) {
    bool reopen = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (running) {
            return fail(Failure::Busy,
                        std::string("cannot ") + what + " while a run is active; stop it first");
        }
        if (!connection.connected) {
            return fail(Failure::Busy, std::string("cannot ") + what + ": not connected");
        }
        *address = connection.address;
        reopen = !driverOpen;
    }
    return reopen ? openDriverLocked(*address) : Result{};
}

Result Session::Impl::loadDriverLocked() {
    if (libraryLoaded) {
        return {};
    }
    const std::string path =
        config.libraryPath.empty() ? host::DriverLibrary::defaultPath() : config.libraryPath;
    std::string error;
    if (!library.load(path, &error)) {
        return failed(Failure::Library, error);
    }
    // The driver's static state (an idle scan thread object) must stay reachable until the
    // process ends, so the library is never unmapped.
    library.keepLoaded();
    libraryLoaded = true;
    return {};
}

Result Session::Impl::startSimulatorLocked() {
    if (simulator != nullptr) {
        return {};
    }
    ostrel::sim::Config simulatorConfig;
    simulatorConfig.scanMsAt16k = config.simulator.scanMsAt16k;
    simulatorConfig.readyDelayMs = config.simulator.readyMs;
    // The simulator logs what it receives for tests; a session may run for days.
    simulatorConfig.logLimit = 1024;
    if (config.simulator.noise >= 0.0) {
        simulatorConfig.noise = config.simulator.noise;
    }
    // The simulator samples its spectrum on the same axis the spectra are computed on.
    simulatorConfig.laserWavenumber = settings.spectra.laserWavenumber;
    simulatorConfig.undersampling = settings.spectra.undersampling;
    std::string error;
    for (const std::string& text : config.simulator.absorbers) {
        ostrel::sim::Absorber absorber;
        if (!ostrel::sim::parseAbsorber(text, &absorber, &error)) {
            return failed(Failure::Usage, "--sim-absorber " + text + ": " + error);
        }
        simulatorConfig.absorbers.push_back(absorber);
    }
    std::vector<ostrel::sim::FaultSetting> faults;
    for (const std::string& text : config.simulator.faults) {
        ostrel::sim::FaultSetting fault;
        if (!ostrel::sim::parseFaultSetting(text, &fault, &error)) {
            return failed(Failure::Usage, "--sim-fault " + text + ": " + error);
        }
        faults.push_back(fault);
    }
    auto started = std::make_unique<ostrel::sim::Simulator>(simulatorConfig);
    if (!started->start(&error)) {
        return failed(Failure::Library, "cannot start the built-in simulator: " + error);
    }
    for (const ostrel::sim::FaultSetting& fault : faults) {
        started->setFault(fault.phase, fault.fault, fault.prefix, fault.count);
    }
    // The driver reads the instrument's ports from the environment at open; pointing them at the
    // simulator's free ports lets it run without root and beside any other simulator.
    setenv("OSTRELTCP_COMMAND_PORT", std::to_string(started->commandPort()).c_str(), 1);
    setenv("OSTRELTCP_DATA_PORT", std::to_string(started->dataPort()).c_str(), 1);
    setenv("OSTRELTCP_REBOOT_PORT", std::to_string(started->rebootPort()).c_str(), 1);
    simulator = std::move(started);
    simulatorAddress = simulatorConfig.address;
    return {};
}

// With `mutex` held by the caller only around the state it changes: the driver's open waits for
// the instrument.
Result Session::Impl::openDriverLocked(const std::string& address) {
    const host::DriverApi& api = library.api();
    api.spectrometer_setIPAddress(address.c_str());
    const Clock::time_point connecting = Clock::now();
    const int32_t opened = api.spectrometer_open(0);
    const double seconds = secondsSince(connecting);
    if (opened != 0) {
        // A failed open may leave sockets behind; close releases whatever it left.
        api.spectrometer_close();
        std::lock_guard<std::mutex> lock(mutex);
        driverOpen = false;
        connection.connected = false;
        return failDriver(Failure::Connect, "cannot connect to the instrument at " + address,
                          opened);
    }
    std::lock_guard<std::mutex> lock(mutex);
    connectSeconds = seconds;
    driverOpen = true;
    instrumentHoldsSkip = false;
    connection.connected = true;
    connection.address = address;
    connection.instrumentVersion = api.spectrometer_version();
    return {};
}

void Session::Impl::joinFinishedRun() {
    std::unique_lock<std::mutex> lock(mutex);
    if (running || !runThread.joinable()) {
        return;
    }
    std::thread finished = std::move(runThread);
    lock.unlock();
    finished.join();
    lock.lock();
    run.reset();
}

void Session::Impl::stopRunAndWait() {
    std::unique_lock<std::mutex> lock(mutex);
    if (running && run != nullptr) {
        run->stop(false);
    }
    runEndedSignal.wait(lock, [this] { return !running; });
    lock.unlock();
    joinFinishedRun();
}

// On the run's thread, once the run has written everything.
void Session::Impl::runEnded(RunLoop& ended) {
    const RunOutcome& outcome = ended.outcome();
    std::lock_guard<std::mutex> lock(mutex);
    if (outcome.driverClosed) {
        driverOpen = false;
        instrumentHoldsSkip = false;
    }
    // A background run's mean single beam is the session's background from now on: its
    // directory holds it as JCAMP-DX, which is where later runs read it from.
    const RunPlan& plan = ended.plan();
    if (plan.kind == RunKind::Background && !outcome.meanSingleBeams.empty() &&
        !plan.directory.empty() && outcome.end.failure != Failure::Output) {
        backgroundSources = {plan.directory};
    }
    lastEnd = outcome.end;
    running = false;
    runEndedSignal.notify_all();
}

void Session::Impl::removePreparedDirectory() {
    if (!preparedDirectory.empty() && preparedCreated) {
        rmdir(preparedDirectory.c_str());  // only when it is still empty
    }
    preparedDirectory.clear();
    preparedCreated = false;
}

Session::Session(SessionConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Session::~Session() {
    close();
    impl_->events.flush(5000);
}

void Session::addObserver(std::shared_ptr<SessionObserver> observer) {
    impl_->events.add(std::move(observer));
}

void Session::removeObserver(const std::shared_ptr<SessionObserver>& observer) {
    impl_->events.remove(observer);
}

bool Session::flushEvents(int timeoutMs) {
    return impl_->events.flush(timeoutMs);
}

Result Session::startSimulator() {
    std::lock_guard<std::mutex> operation(impl_->operation);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->startSimulatorLocked();
}

Result Session::loadDriver() {
    std::lock_guard<std::mutex> operation(impl_->operation);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->loadDriverLocked();
}

Result Session::connect(const std::string& address) {
    std::lock_guard<std::mutex> operation(impl_->operation);
    impl_->joinFinishedRun();
    std::string where = address;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->running) {
            return impl_->fail(Failure::Busy, "cannot connect while a run is active");
        }
        Result loaded = impl_->loadDriverLocked();
        if (!loaded.ok()) {
            return impl_->fail(loaded.failure, loaded.message);
        }
        if (where.empty()) {
            Result started = impl_->startSimulatorLocked();
            if (!started.ok()) {
                return impl_->fail(started.failure, started.message);
            }
            where = impl_->simulatorAddress;
        }
        impl_->connection.simulator = address.empty();
    }
    return impl_->openDriverLocked(where);
}

void Session::close() {
    std::lock_guard<std::mutex> operation(impl_->operation);
    impl_->stopRunAndWait();
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->libraryLoaded) {
        // close rather than stop: stop reboots the instrument and waits 5 s. close stops the scan
        // thread and both connections whatever their state.
        impl_->library.api().spectrometer_close();
    }
    impl_->driverOpen = false;
    impl_->instrumentHoldsSkip = false;
    impl_->connection.connected = false;
    impl_->removePreparedDirectory();
}

Result Session::reboot() {
    std::lock_guard<std::mutex> operation(impl_->operation);
    impl_->joinFinishedRun();
    std::string address;
    // The driver sends the datagram through its socket layer, which is there only while open.
    Result ready = impl_->readyForInstrument("reboot", &address);
    if (!ready.ok()) {
        return ready;
    }
    impl_->events.note("rebooting the instrument...");
    // reset sends the datagram and waits for the instrument to restart; the connections it
    // dropped meanwhile are closed and made again.
    const int32_t reset = impl_->library.api().spectrometer_reset(0);
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->library.api().spectrometer_close();
        impl_->driverOpen = false;
        impl_->instrumentHoldsSkip = false;
        if (reset != 0) {
            impl_->connection.connected = false;
        }
    }
    if (reset != 0) {
        return impl_->failDriver(Failure::Connect, "cannot send the reboot datagram", reset);
    }
    return impl_->openDriverLocked(address);
}

Result Session::calibrate() {
    std::lock_guard<std::mutex> operation(impl_->operation);
    impl_->joinFinishedRun();
    std::string address;
    Result ready = impl_->readyForInstrument("calibrate", &address);
    if (!ready.ok()) {
        return ready;
    }
    impl_->events.note("calibrating (one forward scan of 16384 points)...");
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->calibrating = true;
    }
    const host::DriverApi& api = impl_->library.api();
    const Clock::time_point started = Clock::now();
    const int32_t calibrated = api.spectrometer_calibrationScan();
    const double seconds = secondsSince(started);
    int32_t skip = 0;
    if (calibrated == 0) {
        api.spectrometer_getSkipPoints(&skip);
    }
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->calibrating = false;
        impl_->calibrationSeconds = seconds;
        if (calibrated == 0) {
            impl_->connection.calibratedSkip = skip;
            impl_->instrumentHoldsSkip = impl_->driverOpen;
        }
    }
    if (calibrated != 0) {
        return impl_->failDriver(Failure::Setting, "the calibration scan failed", calibrated);
    }
    impl_->events.note("calibrated: skip points " + std::to_string(skip));
    return {};
}

Result Session::applySettings(const Settings& settings) {
    std::lock_guard<std::mutex> operation(impl_->operation);
    const FieldErrors errors = checkSettings(settings);
    if (!errors.empty()) {
        std::string message;
        for (const auto& [field, problem] : errors) {
            message += (message.empty() ? "" : "; ") + problem;
        }
        Result result = impl_->fail(Failure::Usage, message);
        result.fields = errors;
        return result;
    }
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->running) {
        Result result = failed(Failure::Busy, "the settings cannot change during a run");
        impl_->events.error({result.message, "", 0, ""});
        return result;
    }
    // A new points setting makes the calibration's skip points meaningless only if the
    // instrument is asked to skip; the calibration stays until the next one or a reconnect.
    impl_->settings = settings;
    return {};
}

Settings Session::settings() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->settings;
}

Result Session::setBackground(const std::vector<std::string>& sources) {
    std::lock_guard<std::mutex> operation(impl_->operation);
    Settings settings;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->running) {
            return impl_->fail(Failure::Busy, "the background cannot change during a run");
        }
        settings = impl_->settings;
    }
    // A background that does not fit the settings is refused before the instrument is touched.
    SpectrumAxis axis;
    std::string error;
    if (!spectrumAxisFor(static_cast<size_t>(settings.acquisition.points), settings.spectra, &axis,
                         &error)) {
        return impl_->fail(Failure::Usage, "cannot use a background: " + error);
    }
    Background background;
    if (!loadBackground(sources, halfNames(settings.acquisition.direction), axis, &background,
                        &error)) {
        return impl_->fail(Failure::Usage, error);
    }
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->backgroundSources = sources;
    return {};
}

void Session::clearBackground() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->backgroundSources.clear();
}

Result Session::Impl::prepareRunLocked(const RunRequest& request, std::string* directory) {
    if (request.files < 0) {
        return fail(Failure::Usage, "files must be 0 (until stopped) or more");
    }
    if (request.kind == RunKind::Series && !(request.intervalSeconds > 0.0)) {
        return fail(Failure::Usage, "a series needs an interval of more than 0 s");
    }
    if (request.intervalSeconds < 0.0) {
        return fail(Failure::Usage, "the interval must not be negative");
    }
    *directory = request.directory;
    if (request.kind == RunKind::Align) {
        directory->clear();
        return {};
    }
    if (directory->empty()) {
        if (config.dataDirectory.empty()) {
            return fail(Failure::Usage,
                        "the run has no directory and the session no data "
                        "directory to keep it in");
        }
        const std::string id = newRunId(request.kind, wallClockMs());
        *directory = config.dataDirectory + "/" + id;
        for (int suffix = 2; directoryExists(*directory); ++suffix) {
            *directory = config.dataDirectory + "/" + id + "-" + std::to_string(suffix);
        }
    }
    std::string error;
    // The files the background comes from, which the run must not overwrite with its own mean.
    std::vector<std::string> background;
    if (request.kind != RunKind::Background && !backgroundSources.empty()) {
        SpectrumAxis axis;
        Background loaded;
        const bool hasAxis = spectrumAxisFor(static_cast<size_t>(settings.acquisition.points),
                                             settings.spectra, &axis, &error);
        if (!hasAxis ||
            !loadBackground(backgroundSources, halfNames(settings.acquisition.direction), axis,
                            &loaded, &error)) {
            return fail(Failure::Usage, hasAxis ? error : "cannot use a background: " + error);
        }
        background = loaded.sources;
    }
    if (!checkNothingIsOverwritten(*directory, settings.outputs.formats, background, &error)) {
        return fail(Failure::Output, error);
    }
    bool created = false;
    if (!makeDirectories(*directory, &created, &error)) {
        return fail(Failure::Output, error);
    }
    if (preparedDirectory != *directory) {
        removePreparedDirectory();
        preparedDirectory = *directory;
        preparedCreated = created;
    }
    return {};
}

Result Session::prepareRun(const RunRequest& request) {
    std::lock_guard<std::mutex> operation(impl_->operation);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::string directory;
    return impl_->prepareRunLocked(request, &directory);
}

Result Session::startRun(const RunRequest& request) {
    std::lock_guard<std::mutex> operation(impl_->operation);
    impl_->joinFinishedRun();
    RunPlan plan;
    bool reopen = false;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->running) {
            return impl_->fail(Failure::Busy, "another run is active (" + impl_->activeRun.id +
                                                  "); stop it or wait for its end");
        }
        if (!impl_->connection.connected) {
            return impl_->fail(Failure::Busy, "cannot start a run: not connected");
        }
        Result prepared = impl_->prepareRunLocked(request, &plan.directory);
        if (!prepared.ok()) {
            return prepared;
        }
        plan.kind = request.kind;
        plan.name = request.name;
        plan.settings = impl_->settings;
        plan.files = request.kind == RunKind::Align ? 0 : request.files;
        plan.intervalSeconds = request.kind == RunKind::Series ? request.intervalSeconds : 0.0;
        plan.address = impl_->connection.address;
        plan.simulator = impl_->connection.simulator;
        plan.version = impl_->connection.instrumentVersion;
        plan.calibrated = impl_->connection.calibratedSkip >= 0;
        plan.skip =
            plan.calibrated ? impl_->connection.calibratedSkip : plan.settings.acquisition.skip;
        plan.connectSeconds = impl_->connectSeconds;
        plan.calibrationSeconds = impl_->calibrationSeconds;
        plan.halves = halfNames(plan.settings.acquisition.direction);
        std::string error;
        plan.hasAxis = spectrumAxisFor(static_cast<size_t>(plan.settings.acquisition.points),
                                       plan.settings.spectra, &plan.axis, &error);
        if (request.kind != RunKind::Background && !impl_->backgroundSources.empty()) {
            if (!plan.hasAxis || !loadBackground(impl_->backgroundSources, plan.halves, plan.axis,
                                                 &plan.background, &error)) {
                impl_->removePreparedDirectory();
                return impl_->fail(Failure::Usage,
                                   plan.hasAxis ? error : "cannot use a background: " + error);
            }
            plan.hasBackground = true;
        }
        reopen = !impl_->driverOpen;
    }
    if (reopen) {
        Result opened = impl_->openDriverLocked(plan.address);
        if (!opened.ok()) {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            impl_->removePreparedDirectory();
            return opened;
        }
    }
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        plan.sendSkip = !(plan.calibrated && impl_->instrumentHoldsSkip);
    }
    plan.runId = plan.directory.empty() ? newRunId(plan.kind, wallClockMs())
                                        : plan.directory.substr(plan.directory.rfind('/') + 1);
    auto run = std::make_unique<RunLoop>(impl_->library.api(), plan, impl_->events);
    if (!run->begin()) {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        const RunOutcome& outcome = run->outcome();
        impl_->lastEnd = outcome.end;
        if (outcome.driverClosed) {
            impl_->driverOpen = false;
        }
        impl_->removePreparedDirectory();
        return failed(outcome.end.failure,
                      outcome.error.message.empty()
                          ? outcome.end.error
                          : outcome.error.message +
                                (outcome.error.detail.empty() ? "" : ": " + outcome.error.detail));
    }
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->preparedDirectory.clear();
    impl_->preparedCreated = false;
    impl_->running = true;
    impl_->activeRun = RunRecord{};
    impl_->activeRun.id = plan.runId;
    impl_->activeRun.kind = plan.kind;
    impl_->activeRun.name = plan.name;
    impl_->activeRun.state = "running";
    impl_->activeRun.directory = plan.directory;
    impl_->activeRun.startedMs = wallClockMs();
    impl_->activeRun.started = formatTimestamp(impl_->activeRun.startedMs);
    impl_->run = std::move(run);
    RunLoop* started = impl_->run.get();
    Impl* impl = impl_.get();
    impl_->runThread = std::thread([impl, started] {
        started->follow();
        impl->runEnded(*started);
    });
    return {};
}

void Session::stop(bool interrupted) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->running && impl_->run != nullptr) {
        impl_->run->stop(interrupted);
    } else if (impl_->calibrating && impl_->libraryLoaded) {
        // A calibration is one blocking call; closing the connections ends it (it then fails).
        impl_->library.api().spectrometer_close();
        impl_->driverOpen = false;
        impl_->instrumentHoldsSkip = false;
    }
}

bool Session::waitForRun(int timeoutMs) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    const bool ended = impl_->runEndedSignal.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                      [this] { return !impl_->running; });
    return ended;
}

EndEvent Session::lastRunEnd() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->lastEnd;
}

SessionState Session::state() const {
    SessionState state;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        state.connection = impl_->connection;
        state.connection.connected = impl_->connection.connected;
        state.running = impl_->running;
        if (impl_->running) {
            state.activeRun = impl_->activeRun;
        }
        state.settings = impl_->settings;
        state.background = impl_->backgroundSources;
        if (impl_->libraryLoaded) {
            impl_->library.api().spectrometer_getStatus(&state.driverStatus);
        }
    }
    state.lastError = impl_->lastError->last();
    return state;
}

Result Session::setSimulatorSample(const std::vector<std::string>& absorbers) {
    std::vector<ostrel::sim::Absorber> parsed;
    std::string error;
    for (const std::string& text : absorbers) {
        ostrel::sim::Absorber absorber;
        if (!ostrel::sim::parseAbsorber(text, &absorber, &error)) {
            return impl_->fail(Failure::Usage, "absorber " + text + ": " + error);
        }
        parsed.push_back(absorber);
    }
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->simulator == nullptr) {
        return impl_->fail(Failure::Busy, "the session does not use the built-in simulator");
    }
    if (!impl_->simulator->setAbsorbers(std::move(parsed), &error)) {
        return impl_->fail(Failure::Usage, "the simulator cannot take that sample: " + error);
    }
    return {};
}

std::vector<uint16_t> Session::simulatorPorts() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->simulator == nullptr) {
        return {0, 0, 0};
    }
    return {impl_->simulator->commandPort(), impl_->simulator->dataPort(),
            impl_->simulator->rebootPort()};
}

std::vector<RunRecord> Session::history() const {
    std::string active;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->running) {
            active = impl_->activeRun.id;
        }
    }
    if (impl_->config.dataDirectory.empty()) {
        return {};
    }
    return listRuns(impl_->config.dataDirectory, active);
}

}  // namespace ostrel::session
