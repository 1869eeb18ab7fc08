#include "spectrometer_device.h"

#include <chrono>

namespace ostrel::tango {
namespace {

using ostrel::session::Failure;
using ostrel::session::Result;
using ostrel::session::RunKind;
using ostrel::session::RunRequest;
using ostrel::session::Settings;

// How long a command waits for the session to hand its own events to the device, so that the
// state a client reads after the command already says what the command began.
constexpr int kEventFlushMs = 2000;
// How long a reboot waits for a run it stopped to end.
constexpr int kRunEndWaitMs = 30000;

[[noreturn]] void refuse(const std::string& reason, const std::string& description,
                         const char* origin) {
    Tango::Except::throw_exception(reason, description, origin);
}

const char* reasonFor(Failure failure) {
    switch (failure) {
        case Failure::Usage:
            return "OstrelSpectrometer_BadRequest";
        case Failure::Busy:
            return "OstrelSpectrometer_Busy";
        case Failure::Output:
            return "OstrelSpectrometer_OutputFailed";
        case Failure::Connect:
            return "OstrelSpectrometer_NotConnected";
        default:
            return "OstrelSpectrometer_Failed";
    }
}

const char* commandName(CommandId command) {
    switch (command) {
        case CommandId::Connect:
            return "Connect";
        case CommandId::Disconnect:
            return "Disconnect";
        case CommandId::Calibrate:
            return "Calibrate";
        case CommandId::Align:
            return "Align";
        case CommandId::TakeBackground:
            return "TakeBackground";
        case CommandId::TakeSample:
            return "TakeSample";
        case CommandId::Stop:
            return "Stop";
        case CommandId::Reboot:
            return "Reboot";
    }
    return "?";
}

// Why `command` cannot run in `state`; empty when it can.
std::string refusalFor(CommandId command, Tango::DevState state, bool connected) {
    const bool busyConnecting = state == Tango::INIT;
    const bool running = state == Tango::RUNNING;
    switch (command) {
        case CommandId::Connect:
            if (state == Tango::OFF || state == Tango::FAULT) {
                return "";
            }
            return busyConnecting ? "the device is connecting or rebooting"
                   : running      ? "a run is active; Stop it first"
                                  : "already connected; Disconnect first";
        case CommandId::Disconnect:
            if (state == Tango::ON || state == Tango::FAULT) {
                return "";
            }
            return busyConnecting ? "the device is connecting or rebooting"
                   : running      ? "a run is active; Stop it first"
                                  : "not connected";
        case CommandId::Stop:
            return running ? "" : "nothing runs that could be stopped";
        case CommandId::Reboot:
            if (running || state == Tango::ON || (state == Tango::FAULT && connected)) {
                return "";
            }
            return busyConnecting ? "the device is connecting or rebooting"
                                  : "not connected; Connect first";
        case CommandId::Calibrate:
        case CommandId::Align:
        case CommandId::TakeBackground:
        case CommandId::TakeSample:
            if (state == Tango::ON || (state == Tango::FAULT && connected)) {
                return "";
            }
            return busyConnecting ? "the device is connecting or rebooting"
                   : running      ? "a run is active; Stop it first"
                                  : "not connected; Connect first";
    }
    return "";
}

const std::vector<double>& curveOf(const FileCurves& curves, AttributeId id) {
    static const std::vector<double> none;
    switch (id) {
        case AttributeId::CentreBurstForward:
            return curves.centreBurst[Forward];
        case AttributeId::CentreBurstReverse:
            return curves.centreBurst[Reverse];
        case AttributeId::InterferogramForward:
            return curves.interferogram[Forward];
        case AttributeId::InterferogramReverse:
            return curves.interferogram[Reverse];
        case AttributeId::Wavenumbers:
            return curves.wavenumbers;
        case AttributeId::SingleBeamForward:
            return curves.singleBeam[Forward];
        case AttributeId::SingleBeamReverse:
            return curves.singleBeam[Reverse];
        case AttributeId::SingleBeam:
            return curves.combinedSingleBeam;
        case AttributeId::Absorbance:
            return curves.absorbance;
        default:
            return none;
    }
}

// The spectrum attributes whose change and data-ready events each file pushes.
constexpr AttributeId kCurveAttributes[] = {
    AttributeId::CentreBurstForward,   AttributeId::CentreBurstReverse,
    AttributeId::InterferogramForward, AttributeId::InterferogramReverse,
    AttributeId::Wavenumbers,          AttributeId::SingleBeamForward,
    AttributeId::SingleBeamReverse,    AttributeId::SingleBeam,
    AttributeId::Absorbance,
};

// Holds the device monitor for a scope (get_monitor throws a DevFailed when it times out).
class MonitorGuard {
  public:
    explicit MonitorGuard(Tango::TangoMonitor& monitor) : monitor_(monitor) {
        monitor_.get_monitor();
    }
    ~MonitorGuard() { monitor_.rel_monitor(); }
    MonitorGuard(const MonitorGuard&) = delete;
    MonitorGuard& operator=(const MonitorGuard&) = delete;

  private:
    Tango::TangoMonitor& monitor_;
};

const char* stateName(Tango::DevState state) {
    return Tango::DevStateName[state];
}

}  // namespace

const std::vector<std::string>& directionLabels() {
    // The session's direction is 1 forward, 2 reverse, 3 both: the enumeration's value plus one.
    static const std::vector<std::string> labels = {"forward", "reverse", "both"};
    return labels;
}

const std::vector<std::string>& apodizationLabels() {
    static const std::vector<std::string> labels = [] {
        std::vector<std::string> names;
        for (ostrel::spectra::Apodization apodization : ostrel::spectra::allApodizations()) {
            names.emplace_back(ostrel::spectra::name(apodization));
        }
        return names;
    }();
    return labels;
}

SpectrometerDevice::SpectrometerDevice(Tango::DeviceClass* deviceClass, std::string& name)
    : Tango::Device_5Impl(deviceClass, name), events_(std::make_shared<DeviceEvents>()) {
    // The push thread lives as long as the device, not as one session: the Init command ends a
    // session under the monitor, where the push thread may be waiting for that monitor, so it
    // must not be joined there.
    pushThread_ = std::thread([this] { pushLoop(); });
    try {
        init_device();
    } catch (...) {
        events_->stopPushing();
        pushThread_.join();
        throw;
    }
}

SpectrometerDevice::~SpectrometerDevice() {
    delete_device();
    events_->stopPushing();
    if (pushThread_.joinable()) {
        pushThread_.join();
    }
}

void SpectrometerDevice::init_device() {
    PropertyTexts properties;
    // Without a database there are no properties to read (cppTango refuses the request).
    if (Tango::Util::_UseDb) {
        Tango::DbData data;
        for (const std::string& name : propertyNames()) {
            data.push_back(Tango::DbDatum(name));
        }
        get_db_device()->get_property(data);
        for (Tango::DbDatum& datum : data) {
            if (!datum.is_empty()) {
                std::string text;
                datum >> text;
                properties[datum.name] = text;
            }
        }
    }
    std::string error;
    events_->reset();
    configError_.clear();
    if (!makeDeviceConfig(properties, &config_, &error)) {
        configError_ = error;
        makeDeviceConfig({}, &config_, &error);
    }
    ostrel::session::SessionConfig sessionConfig;
    sessionConfig.dataDirectory = config_.dataDirectory;
    sessionConfig.simulator = config_.simulator;
    session_ = std::make_unique<ostrel::session::Session>(sessionConfig);
    Settings settings = session_->settings();
    settings.spectra.laserWavenumber = config_.laserWavenumber;
    settings.spectra.undersampling = config_.undersampling;
    // A device server has no one to look at a plot, and drawing one costs a process per file.
    settings.outputs.plot = false;
    const Result applied = session_->applySettings(settings);
    if (!applied.ok() && configError_.empty()) {
        configError_ = "the properties do not make usable settings: " + applied.message;
    }
    if (!configError_.empty()) {
        // The device stays, so that a client can read why; every command is refused until the
        // properties are fixed and Init is run.
        events_->setState(Tango::FAULT, configError_);
    }
    session_->addObserver(events_);
    set_change_event("State", true, false);

    jobsStopped_ = false;
    jobThread_ = std::thread([this] { jobLoop(); });
}

void SpectrometerDevice::delete_device() {
    if (session_ != nullptr) {
        // A calibration or a run ends at once; a connect in progress ends at its own time limit.
        session_->stop();
    }
    {
        std::lock_guard<std::mutex> lock(jobMutex_);
        jobsStopped_ = true;
        jobs_.clear();
    }
    jobReady_.notify_all();
    if (jobThread_.joinable()) {
        jobThread_.join();
    }
    if (session_ != nullptr) {
        // Under the monitor (Init, or the server's end): a run stops within a scan or so.
        session_->close();
        session_->flushEvents();
        session_->removeObserver(events_);
    }
    session_.reset();
}

Tango::DevState SpectrometerDevice::dev_state() {
    const Tango::DevState state = events_->snapshot().state;
    set_state(state);
    return state;
}

Tango::ConstDevString SpectrometerDevice::dev_status() {
    statusReply_ = events_->snapshot().status;
    set_status(statusReply_);
    return statusReply_.c_str();
}

void SpectrometerDevice::checkAllowed(CommandId command) {
    if (!configError_.empty()) {
        refuse("OstrelSpectrometer_BadProperty",
               std::string(commandName(command)) + " is not allowed: " + configError_ +
                   "; correct the property and run Init",
               commandName(command));
    }
    const Tango::DevState state = events_->snapshot().state;
    const ostrel::session::SessionState session = session_->state();
    std::string why = refusalFor(command, state, session.connection.connected);
    // RUNNING is a run or a calibration; a reboot waits for a run it stops, not for a
    // calibration, which ends on its own terms.
    if (why.empty() && command == CommandId::Reboot && state == Tango::RUNNING &&
        !session.running) {
        why = "a calibration is in progress; Stop it first";
    }
    if (!why.empty()) {
        refuse("OstrelSpectrometer_NotAllowed",
               std::string(commandName(command)) + " is not allowed in state " + stateName(state) +
                   ": " + why,
               commandName(command));
    }
}

void SpectrometerDevice::execute(CommandId command, const std::string& argument) {
    switch (command) {
        case CommandId::Connect:
            connect();
            break;
        case CommandId::Disconnect:
            disconnect();
            break;
        case CommandId::Calibrate:
            calibrate();
            break;
        case CommandId::Align:
            startRun(RunKind::Align, "");
            break;
        case CommandId::TakeBackground:
            startRun(RunKind::Background, "background");
            break;
        case CommandId::TakeSample:
            startRun(RunKind::Sample, argument);
            break;
        case CommandId::Stop:
            stop();
            break;
        case CommandId::Reboot:
            reboot();
            break;
    }
}

std::string SpectrometerDevice::connectedText() const {
    const ostrel::session::ConnectionState connection = session_->state().connection;
    std::string text = "connected to " + connection.address;
    if (connection.simulator) {
        text += " (the built-in simulator)";
    }
    return text;
}

void SpectrometerDevice::connect() {
    const std::string address = config_.instrumentAddress;
    events_->beginOperation(
        Tango::INIT,
        "connecting to " + (address.empty() ? std::string("the built-in simulator") : address));
    runJob([this, address] {
        if (session_->state().connection.connected) {
            session_->close();
        }
        const Result connected = session_->connect(address);
        session_->flushEvents(kEventFlushMs);
        events_->endOperation();
        if (connected.ok()) {
            events_->setState(Tango::ON, connectedText());
        } else {
            events_->setFault(connected.message);
        }
    });
}

void SpectrometerDevice::disconnect() {
    session_->close();
    events_->setState(Tango::OFF, "not connected");
}

void SpectrometerDevice::calibrate() {
    stopRequested_ = false;
    events_->beginOperation(Tango::RUNNING, "calibrating");
    runJob([this] {
        const Result calibrated = session_->calibrate();
        session_->flushEvents(kEventFlushMs);
        events_->endOperation();
        if (calibrated.ok()) {
            const int skip = session_->state().connection.calibratedSkip;
            events_->setState(Tango::ON, "calibrated: skip points " + std::to_string(skip));
        } else if (stopRequested_) {
            events_->setState(Tango::ON, "calibration stopped");
        } else {
            events_->setFault(calibrated.message);
        }
    });
}

void SpectrometerDevice::startRun(RunKind kind, const std::string& name) {
    if (session_->state().connection.simulator && kind != RunKind::Align) {
        // The built-in simulator's beam holds the sample for a sample run and nothing for a
        // background, so that the pair shows the sample's absorbance.
        const Result placed = session_->setSimulatorSample(
            kind == RunKind::Sample ? config_.simulatorSample : std::vector<std::string>{});
        if (!placed.ok()) {
            refuse(reasonFor(placed.failure), placed.message, "SpectrometerDevice::startRun");
        }
    }
    RunRequest request;
    request.kind = kind;
    request.files = files_;
    request.name = name;
    stopRequested_ = false;
    const Result started = session_->startRun(request);
    if (!started.ok()) {
        refuse(reasonFor(started.failure), started.message, "SpectrometerDevice::startRun");
    }
    session_->flushEvents(kEventFlushMs);
}

void SpectrometerDevice::stop() {
    stopRequested_ = true;
    session_->stop();
}

void SpectrometerDevice::reboot() {
    stopRequested_ = true;
    session_->stop();
    events_->beginOperation(Tango::INIT, "rebooting the instrument");
    runJob([this] {
        Result rebooted;
        if (!session_->waitForRun(kRunEndWaitMs)) {
            rebooted.failure = Failure::Busy;
            rebooted.message = "cannot reboot: the run did not end after it was stopped";
        } else {
            rebooted = session_->reboot();
        }
        session_->flushEvents(kEventFlushMs);
        events_->endOperation();
        if (rebooted.ok()) {
            events_->setState(Tango::ON, "rebooted; " + connectedText());
        } else {
            events_->setFault(rebooted.message);
        }
    });
}

void SpectrometerDevice::runJob(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(jobMutex_);
        jobs_.push_back(std::move(job));
    }
    jobReady_.notify_one();
}

void SpectrometerDevice::jobLoop() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(jobMutex_);
            jobReady_.wait_for(lock, std::chrono::milliseconds(500),
                               [this] { return jobsStopped_ || !jobs_.empty(); });
            if (jobsStopped_) {
                return;
            }
            if (jobs_.empty()) {
                continue;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

void SpectrometerDevice::pushLoop() {
    // cppTango's monitor knows its owner by omniORB's thread identity, which a thread that
    // omniORB did not start has only once it is given one.
    omni_thread::ensure_self identity;
    std::deque<PendingPush> pushes;
    while (events_->takePushes(500, &pushes)) {
        for (const PendingPush& pending : pushes) {
            push(pending);
        }
        pushes.clear();
    }
}

void SpectrometerDevice::push(const PendingPush& pending) {
    try {
        if (pending.kind == PendingPush::State) {
            // cppTango sends the device's own state member for State, whatever value is given:
            // it is set under the monitor (which the push takes anyway, so this is no longer a
            // wait) before the push.
            MonitorGuard monitor(get_dev_monitor());
            Tango::DevState state = pending.state;
            set_state(state);
            push_change_event("State", &state);
            return;
        }
        timeval stamp{};
        stamp.tv_sec = static_cast<time_t>(pending.fileEventMs / 1000.0);
        stamp.tv_usec = static_cast<suseconds_t>(
            (pending.fileEventMs - static_cast<double>(stamp.tv_sec) * 1000.0) * 1000.0);
        if (pending.curves != nullptr) {
            const FileCurves& curves = *pending.curves;
            for (AttributeId id : kCurveAttributes) {
                const std::vector<double>& values = curveOf(curves, id);
                if (values.empty()) {
                    continue;
                }
                const std::string name = attributeName(id);
                // cppTango only reads the values while it pushes; the curves outlive the call.
                push_change_event(name, const_cast<double*>(values.data()), stamp,
                                  Tango::ATTR_VALID, static_cast<long>(values.size()));
                push_data_ready_event(name, static_cast<Tango::DevLong>(curves.number));
            }
        }
        Tango::DevLong number = static_cast<Tango::DevLong>(pending.fileNumber);
        push_change_event("FileNumber", &number, stamp, Tango::ATTR_VALID);
    } catch (const Tango::DevFailed& failed) {
        // A push fails when the monitor stays taken past its limit; the next file's push carries
        // newer values, and the attributes read the newest at any time.
        std::string text = failed.errors.length() > 0 ? std::string(failed.errors[0].desc.in())
                                                      : std::string("unknown");
        cerr << "ostrel-tango: an event push failed: " << text << endl;
    }
}

void SpectrometerDevice::readAttribute(AttributeId id, Tango::Attribute& attribute) {
    const size_t slot = static_cast<size_t>(id);
    const Settings settings = session_->settings();
    auto setLong = [&](long value) {
        longRead_[slot] = static_cast<Tango::DevLong>(value);
        attribute.set_value(&longRead_[slot]);
    };
    auto setDouble = [&](double value) {
        doubleRead_[slot] = value;
        attribute.set_value(&doubleRead_[slot]);
    };
    auto setEnum = [&](int value) {
        enumRead_[slot] = static_cast<EnumValue>(value);
        attribute.set_value(&enumRead_[slot]);
    };
    auto setString = [&](const std::string& value) {
        stringBuffer_[slot] = value;
        stringRead_[slot] = const_cast<char*>(stringBuffer_[slot].c_str());
        attribute.set_value(&stringRead_[slot]);
    };
    const DeviceSnapshot snapshot = events_->snapshot();
    auto setCurve = [&]() {
        std::vector<double>& buffer = spectrumRead_[slot];
        buffer.clear();
        if (snapshot.curves != nullptr) {
            buffer = curveOf(*snapshot.curves, id);
        }
        attribute.set_value(buffer.data(), static_cast<long>(buffer.size()));
    };
    switch (id) {
        case AttributeId::Points:
            return setLong(settings.acquisition.points);
        case AttributeId::Scans:
            return setLong(settings.acquisition.scans);
        case AttributeId::Direction:
            return setEnum(settings.acquisition.direction - 1);
        case AttributeId::Gain:
            return setLong(settings.acquisition.gain);
        case AttributeId::SkipPoints:
            return setLong(settings.acquisition.skip);
        case AttributeId::Apodization:
            return setEnum(static_cast<int>(settings.spectra.apodization));
        case AttributeId::ZeroFill:
            return setLong(settings.spectra.zeroFill);
        case AttributeId::PhaseResolution:
            return setDouble(settings.spectra.phaseResolution);
        case AttributeId::Files:
            return setLong(files_);
        case AttributeId::FileNumber:
            return setLong(static_cast<long>(snapshot.fileNumber));
        case AttributeId::ScanProgress:
            return setDouble(snapshot.scanProgress);
        case AttributeId::DriverStatus:
            return setLong(session_->state().driverStatus);
        case AttributeId::LastError:
            return setString(snapshot.lastError);
        case AttributeId::RunDirectory:
            return setString(snapshot.runDirectory);
        default:
            break;
    }
    setCurve();
}

void SpectrometerDevice::writeAttribute(AttributeId id, Tango::WAttribute& attribute) {
    const char* origin = "SpectrometerDevice::writeAttribute";
    Settings settings = session_->settings();
    Tango::DevLong whole = 0;
    Tango::DevShort choice = 0;
    Tango::DevDouble number = 0.0;
    switch (id) {
        case AttributeId::Direction:
        case AttributeId::Apodization: {
            attribute.get_write_value(choice);
            const std::vector<std::string>& labels =
                id == AttributeId::Direction ? directionLabels() : apodizationLabels();
            if (choice < 0 || static_cast<size_t>(choice) >= labels.size()) {
                refuse("OstrelSpectrometer_BadValue",
                       attribute.get_name() + " must be 0 to " + std::to_string(labels.size() - 1) +
                           "; " + std::to_string(choice) + " is none of its values",
                       origin);
            }
            if (id == AttributeId::Direction) {
                settings.acquisition.direction = choice + 1;
            } else {
                settings.spectra.apodization = ostrel::spectra::allApodizations()[choice];
            }
            break;
        }
        case AttributeId::PhaseResolution:
            attribute.get_write_value(number);
            settings.spectra.phaseResolution = number;
            break;
        default:
            attribute.get_write_value(whole);
            break;
    }
    switch (id) {
        case AttributeId::Points:
            settings.acquisition.points = whole;
            break;
        case AttributeId::Scans:
            settings.acquisition.scans = whole;
            break;
        case AttributeId::Gain:
            settings.acquisition.gain = whole;
            break;
        case AttributeId::SkipPoints:
            settings.acquisition.skip = whole;
            break;
        case AttributeId::ZeroFill:
            settings.spectra.zeroFill = whole;
            break;
        case AttributeId::Files:
            if (whole < 0) {
                refuse(
                    "OstrelSpectrometer_BadValue",
                    "Files must be 0 (until stopped) or more; " + std::to_string(whole) + " is not",
                    origin);
            }
            if (events_->snapshot().state == Tango::RUNNING) {
                refuse("OstrelSpectrometer_Busy", "Files cannot change during a run", origin);
            }
            files_ = whole;
            return;
        default:
            break;
    }
    const Result applied = session_->applySettings(settings);
    if (!applied.ok()) {
        refuse(reasonFor(applied.failure), attribute.get_name() + ": " + applied.message, origin);
    }
}

}  // namespace ostrel::tango
