// The OstrelSpectrometer device class, written in cppTango's device-class pattern: one
// DeviceClass instance per server that declares the commands (command_factory), the attributes
// (attribute_factory) and makes the devices (device_factory).
#pragma once

#include <tango.h>

#include <string>
#include <vector>

namespace ostrel::tango {

class SpectrometerClass : public Tango::DeviceClass {
  public:
    static SpectrometerClass* init(const char* name);
    static SpectrometerClass* instance();

  protected:
    explicit SpectrometerClass(std::string& className);
    void command_factory() override;
    void attribute_factory(std::vector<Tango::Attr*>& attributes) override;
    void device_factory(const Tango::DevVarStringArray* devices) override;

  private:
    static SpectrometerClass* instance_;
};

}  // namespace ostrel::tango
