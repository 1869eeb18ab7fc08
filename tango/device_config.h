// What a device is set up with: its four properties (from the Tango database), and for the built-in
// simulator how fast it scans and what sample it holds. A property missing from the database, or
// every property when the server runs without one, falls back to its environment variable and
// then to the default below. The simulator's options come from the environment only: they are for
// tests and demonstrations, not part of the device's interface.
//
//   property            environment                       default
//   InstrumentAddress   OSTREL_TANGO_INSTRUMENT_ADDRESS   "" (the built-in simulator)
//   LaserWavenumber     OSTREL_TANGO_LASER_WAVENUMBER     15798 cm^-1
//   Undersampling       OSTREL_TANGO_UNDERSAMPLING        2
//   DataDirectory       OSTREL_TANGO_DATA_DIRECTORY       $HOME/ostrel-runs (/tmp/ostrel-runs)
//
//   OSTREL_TANGO_SIM_SCAN_MS   one simulated scan of 16384 points, ms
//   OSTREL_TANGO_SIM_READY_MS  the simulator's pause at the end of a file, ms
//   OSTREL_TANGO_SIM_SAMPLE    the sample's absorbers, "CENTRE:HWHM:PEAK,..." ("none": none)
//   OSTREL_TANGO_SIM_FAULTS    faults the simulator injects, "PHASE:FAULT[:PREFIX[:COUNT]],..."
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ostrel_session/session.h"

namespace ostrel::tango {

struct DeviceConfig {
    std::string instrumentAddress;
    double laserWavenumber = 15798.0;
    int undersampling = 2;
    std::string dataDirectory;
    ostrel::session::SimulatorOptions simulator;
    // What TakeSample puts in the built-in simulator's beam (TakeBackground empties it).
    std::vector<std::string> simulatorSample;
};

// Property name to its text, for the properties the database holds.
using PropertyTexts = std::map<std::string, std::string>;

// The configuration from the properties found, the environment and the defaults. False with
// *error naming the property or variable whose text is not a usable value.
bool makeDeviceConfig(const PropertyTexts& properties, DeviceConfig* config, std::string* error);

// The property names, in the order the class declares them.
const std::vector<std::string>& propertyNames();

}  // namespace ostrel::tango
