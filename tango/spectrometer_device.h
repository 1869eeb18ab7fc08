// One OstrelSpectrometer device: Tango's calls in, session operations out, the session's events
// back out as Tango events. The driver serves one instrument per process, so a server process has
// one device and the device owns the process's session.
//
// Threads. Tango calls the device under its monitor, which other callers (and every event push)
// wait for at most about 3 s. So nothing here waits long under it: Connect, Calibrate and Reboot
// are handed to the device's job thread and the command returns at once (the state says what
// goes on); a run is started and left to the session's threads; Stop only asks. Events come from
// the session's event thread into DeviceEvents, and the device's push thread pushes them.
#pragma once

#include <tango.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device_config.h"
#include "device_events.h"
#include "ostrel_session/session.h"

namespace ostrel::tango {

enum class AttributeId {
    Points,
    Scans,
    Direction,
    Gain,
    SkipPoints,
    Apodization,
    ZeroFill,
    PhaseResolution,
    Files,
    FileNumber,
    ScanProgress,
    DriverStatus,
    LastError,
    RunDirectory,
    CentreBurstForward,
    CentreBurstReverse,
    InterferogramForward,
    InterferogramReverse,
    Wavenumbers,
    SingleBeamForward,
    SingleBeamReverse,
    SingleBeam,
    Absorbance,
    Count,
};

enum class CommandId {
    Connect,
    Disconnect,
    Calibrate,
    Align,
    TakeBackground,
    TakeSample,
    Stop,
    Reboot,
};

// What a DevEnum attribute's value is set from (cppTango takes an enumeration of shorts).
enum class EnumValue : short {};

class SpectrometerDevice : public Tango::Device_5Impl {
  public:
    SpectrometerDevice(Tango::DeviceClass* deviceClass, std::string& name);
    ~SpectrometerDevice() override;

    void init_device() override;
    void delete_device() override;
    Tango::DevState dev_state() override;
    Tango::ConstDevString dev_status() override;

    // Throws a DevFailed saying why when the device's state does not allow the command now.
    void checkAllowed(CommandId command);
    void execute(CommandId command, const std::string& argument);

    void readAttribute(AttributeId id, Tango::Attribute& attribute);
    void writeAttribute(AttributeId id, Tango::WAttribute& attribute);

  private:
    void connect();
    void disconnect();
    void calibrate();
    void startRun(ostrel::session::RunKind kind, const std::string& name);
    void stop();
    void reboot();

    void runJob(std::function<void()> job);
    void jobLoop();
    void pushLoop();
    void push(const PendingPush& pending);
    std::string connectedText() const;

    DeviceConfig config_;
    std::string configError_;  // what is wrong with the properties; empty when they are usable
    std::unique_ptr<ostrel::session::Session> session_;
    std::shared_ptr<DeviceEvents> events_;
    int files_ = 1;  // files per background or sample run; 0: until stopped
    std::atomic<bool> stopRequested_{false};

    std::mutex jobMutex_;
    std::condition_variable jobReady_;
    std::deque<std::function<void()>> jobs_;
    bool jobsStopped_ = false;
    std::thread jobThread_;
    std::thread pushThread_;

    // Read values live here until Tango has sent them (reads are serialised by the monitor).
    static constexpr size_t kAttributes = static_cast<size_t>(AttributeId::Count);
    Tango::DevLong longRead_[kAttributes] = {};
    Tango::DevDouble doubleRead_[kAttributes] = {};
    EnumValue enumRead_[kAttributes] = {};
    std::string stringBuffer_[kAttributes];
    Tango::DevString stringRead_[kAttributes] = {};
    std::vector<double> spectrumRead_[kAttributes];
    std::string statusReply_;
};

// The attribute's name as clients see it.
const char* attributeName(AttributeId id);

// The labels of the DevEnum attributes, in the order of their values.
const std::vector<std::string>& directionLabels();
const std::vector<std::string>& apodizationLabels();

}  // namespace ostrel::tango
