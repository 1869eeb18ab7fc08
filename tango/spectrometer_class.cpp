#include "spectrometer_class.h"

#include "spectrometer_device.h"

namespace ostrel::tango {
namespace {

// The largest curves: an interferogram half of 32768 points, and a spectrum of a half zero-filled
// 8 times to 262144 points (its 131073 bins up to the highest wavenumber).
constexpr long kInterferogramPoints = 32768;
constexpr long kSpectrumPoints = 262144;
constexpr long kCentreBurstPoints = 2 * static_cast<long>(kCentreBurstHalfWidth) + 1;

struct AttributeDefinition {
    AttributeId id;
    const char* name;
    long type;
    bool writable;    // read-write and memorized
    long maxPoints;   // 0: a scalar
    bool fileEvents;  // a change event (and, for curves, a data-ready event) per file
    const char* unit;
    const char* description;
};

const AttributeDefinition kAttributes[] = {
    {AttributeId::Points, "Points", Tango::DEV_LONG, true, 0, false, "",
     "points per direction and scan, 1 to 32768"},
    {AttributeId::Scans, "Scans", Tango::DEV_LONG, true, 0, false, "", "scans co-added per file"},
    {AttributeId::Direction, "Direction", Tango::DEV_ENUM, true, 0, false, "",
     "the directions recorded: forward, reverse or both"},
    {AttributeId::Gain, "Gain", Tango::DEV_LONG, true, 0, false, "",
     "gain of the high-gain channel"},
    {AttributeId::SkipPoints, "SkipPoints", Tango::DEV_LONG, true, 0, false, "",
     "points skipped at the start of a scan (a calibration sets its own)"},
    {AttributeId::Apodization, "Apodization", Tango::DEV_ENUM, true, 0, false, "",
     "the apodisation window of the spectra"},
    {AttributeId::ZeroFill, "ZeroFill", Tango::DEV_LONG, true, 0, false, "",
     "zero-fill factor of the transform: 1, 2, 4 or 8"},
    {AttributeId::PhaseResolution, "PhaseResolution", Tango::DEV_DOUBLE, true, 0, false, "cm-1",
     "resolution of the section the phase is taken from"},
    {AttributeId::Files, "Files", Tango::DEV_LONG, true, 0, false, "",
     "files per background or sample run; 0: until stopped"},
    {AttributeId::FileNumber, "FileNumber", Tango::DEV_LONG, false, 0, true, "",
     "number of the last file saved"},
    {AttributeId::ScanProgress, "ScanProgress", Tango::DEV_DOUBLE, false, 0, false, "%",
     "scans of the current file done"},
    {AttributeId::DriverStatus, "DriverStatus", Tango::DEV_LONG, false, 0, false, "",
     "the driver's status value"},
    {AttributeId::LastError, "LastError", Tango::DEV_STRING, false, 0, false, "",
     "the last error, with the driver's text"},
    {AttributeId::RunDirectory, "RunDirectory", Tango::DEV_STRING, false, 0, false, "",
     "directory of the current or last run"},
    {AttributeId::CentreBurstForward, "CentreBurstForward", Tango::DEV_DOUBLE, false,
     kCentreBurstPoints, true, "", "the forward interferogram about its largest excursion"},
    {AttributeId::CentreBurstReverse, "CentreBurstReverse", Tango::DEV_DOUBLE, false,
     kCentreBurstPoints, true, "", "the reverse interferogram about its largest excursion"},
    {AttributeId::InterferogramForward, "InterferogramForward", Tango::DEV_DOUBLE, false,
     kInterferogramPoints, true, "", "the last file's forward interferogram"},
    {AttributeId::InterferogramReverse, "InterferogramReverse", Tango::DEV_DOUBLE, false,
     kInterferogramPoints, true, "", "the last file's reverse interferogram"},
    {AttributeId::Wavenumbers, "Wavenumbers", Tango::DEV_DOUBLE, false, kSpectrumPoints, true,
     "cm-1", "the axis of the single beams and the absorbance"},
    {AttributeId::SingleBeamForward, "SingleBeamForward", Tango::DEV_DOUBLE, false, kSpectrumPoints,
     true, "", "the last file's forward single-beam spectrum"},
    {AttributeId::SingleBeamReverse, "SingleBeamReverse", Tango::DEV_DOUBLE, false, kSpectrumPoints,
     true, "", "the last file's reverse single-beam spectrum"},
    {AttributeId::SingleBeam, "SingleBeam", Tango::DEV_DOUBLE, false, kSpectrumPoints, true, "",
     "the last file's single beam: the combined one of both directions (the mean of the halves', "
     "or the half that passed its quality gates), else the recorded half's"},
    {AttributeId::Absorbance, "Absorbance", Tango::DEV_DOUBLE, false, kSpectrumPoints, true, "",
     "the last file's absorbance against the background (from the combined single beam of both "
     "directions); empty without one"},
};

SpectrometerDevice* spectrometer(Tango::DeviceImpl* device) {
    return static_cast<SpectrometerDevice*>(device);
}

class ScalarAttribute : public Tango::Attr {
  public:
    explicit ScalarAttribute(const AttributeDefinition& definition)
        : Tango::Attr(definition.name, definition.type,
                      definition.writable ? Tango::READ_WRITE : Tango::READ),
          id_(definition.id) {}
    void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override {
        spectrometer(device)->readAttribute(id_, attribute);
    }
    void write(Tango::DeviceImpl* device, Tango::WAttribute& attribute) override {
        spectrometer(device)->writeAttribute(id_, attribute);
    }
    // cppTango checks the type a DevEnum value is set from against the attribute's own.
    bool same_type(const std::type_info& asked) override { return asked == typeid(EnumValue); }
    std::string get_enum_type() override { return "EnumValue"; }

  private:
    AttributeId id_;
};

class CurveAttribute : public Tango::SpectrumAttr {
  public:
    explicit CurveAttribute(const AttributeDefinition& definition)
        : Tango::SpectrumAttr(definition.name, definition.type, Tango::READ, definition.maxPoints),
          id_(definition.id) {}
    void read(Tango::DeviceImpl* device, Tango::Attribute& attribute) override {
        spectrometer(device)->readAttribute(id_, attribute);
    }

  private:
    AttributeId id_;
};

class DeviceCommand : public Tango::Command {
  public:
    DeviceCommand(const char* commandName, CommandId id, Tango::CmdArgType argument,
                  const char* argumentText)
        : Tango::Command(commandName, argument, Tango::DEV_VOID, argumentText, ""),
          id_(id),
          argument_(argument) {}
    CORBA::Any* execute(Tango::DeviceImpl* device, const CORBA::Any& in) override {
        std::string text;
        if (argument_ == Tango::DEV_STRING) {
            Tango::DevString received = nullptr;
            extract(in, received);
            text = received != nullptr ? received : "";
        }
        spectrometer(device)->execute(id_, text);
        return insert();
    }
    // A refusal throws a DevFailed with the reason, rather than cppTango's bare "not allowed".
    bool is_allowed(Tango::DeviceImpl* device, const CORBA::Any&) override {
        spectrometer(device)->checkAllowed(id_);
        return true;
    }

  private:
    CommandId id_;
    Tango::CmdArgType argument_;
};

}  // namespace

const char* attributeName(AttributeId id) {
    for (const AttributeDefinition& definition : kAttributes) {
        if (definition.id == id) {
            return definition.name;
        }
    }
    return "";
}

SpectrometerClass* SpectrometerClass::instance_ = nullptr;

SpectrometerClass* SpectrometerClass::init(const char* name) {
    if (instance_ == nullptr) {
        std::string className(name);
        instance_ = new SpectrometerClass(className);
    }
    return instance_;
}

SpectrometerClass* SpectrometerClass::instance() {
    if (instance_ == nullptr) {
        Tango::Except::throw_exception("OstrelSpectrometer_NoClass",
                                       "the device class has not been made yet",
                                       "SpectrometerClass::instance");
    }
    return instance_;
}

SpectrometerClass::SpectrometerClass(std::string& className) : Tango::DeviceClass(className) {}

void SpectrometerClass::command_factory() {
    const char* none = "none";
    command_list.push_back(new DeviceCommand("Connect", CommandId::Connect, Tango::DEV_VOID, none));
    command_list.push_back(
        new DeviceCommand("Disconnect", CommandId::Disconnect, Tango::DEV_VOID, none));
    command_list.push_back(
        new DeviceCommand("Calibrate", CommandId::Calibrate, Tango::DEV_VOID, none));
    command_list.push_back(new DeviceCommand("Align", CommandId::Align, Tango::DEV_VOID, none));
    command_list.push_back(
        new DeviceCommand("TakeBackground", CommandId::TakeBackground, Tango::DEV_VOID, none));
    command_list.push_back(new DeviceCommand("TakeSample", CommandId::TakeSample, Tango::DEV_STRING,
                                             "the sample's name"));
    command_list.push_back(new DeviceCommand("Stop", CommandId::Stop, Tango::DEV_VOID, none));
    command_list.push_back(new DeviceCommand("Reboot", CommandId::Reboot, Tango::DEV_VOID, none));
}

void SpectrometerClass::attribute_factory(std::vector<Tango::Attr*>& attributes) {
    for (const AttributeDefinition& definition : kAttributes) {
        Tango::Attr* attribute = nullptr;
        if (definition.maxPoints > 0) {
            attribute = new CurveAttribute(definition);
            attribute->set_data_ready_event(definition.fileEvents);
        } else {
            attribute = new ScalarAttribute(definition);
        }
        Tango::UserDefaultAttrProp properties;
        properties.set_description(definition.description);
        if (*definition.unit != '\0') {
            properties.set_unit(definition.unit);
        }
        if (definition.type == Tango::DEV_ENUM) {
            std::vector<std::string> labels =
                definition.id == AttributeId::Direction ? directionLabels() : apodizationLabels();
            properties.set_enum_labels(labels);
        }
        attribute->set_default_properties(properties);
        if (definition.writable) {
            // Written again from the database when the server starts, so that a restarted server
            // comes back with its settings.
            attribute->set_memorized();
            attribute->set_memorized_init(true);
        }
        if (definition.fileEvents) {
            attribute->set_change_event(true, false);
        }
        attributes.push_back(attribute);
    }
}

void SpectrometerClass::device_factory(const Tango::DevVarStringArray* devices) {
    if (devices->length() > 1) {
        Tango::Except::throw_exception(
            "OstrelSpectrometer_OneDevicePerServer",
            "an ostrel-tango server has one OstrelSpectrometer device (the driver serves one "
            "instrument per process); register each device in a server of its own",
            "SpectrometerClass::device_factory");
    }
    for (CORBA::ULong index = 0; index < devices->length(); ++index) {
        std::string deviceName((*devices)[index].in());
        device_list.push_back(new SpectrometerDevice(this, deviceName));
    }
    for (CORBA::ULong index = 1; index <= devices->length(); ++index) {
        Tango::DeviceImpl* device = device_list[device_list.size() - index];
        if (Tango::Util::_UseDb && !Tango::Util::_FileDb) {
            export_device(device);
        } else {
            export_device(device, device->get_name().c_str());
        }
    }
}

}  // namespace ostrel::tango
