// The command line of ostrel-acquire.
#pragma once

#include <string>
#include <vector>

#include "acquisition.h"

namespace ostrel::acquire {

struct Options {
    RunOptions run;
    std::string library;            // empty: DriverLibrary::defaultPath()
    std::string trace;              // OSTRELTCP_TRACE for the driver: "stderr" or a file name
    double simulatorScanMs = 50.0;  // one simulated scan at 16384 points
    double simulatorReadyMs = 5.0;  // the simulator's pause before "ready"
    std::vector<std::string> simulatorFaults;     // "PHASE:FAULT[:PREFIX[:COUNT]]" each
    std::vector<std::string> simulatorAbsorbers;  // "CENTRE:HWHM:PEAK_ABSORBANCE" each
};

// Parses the command line. False when the program should end now (help, or an error already
// printed) with *exitCode.
bool parseOptions(int argc, char** argv, Options* options, int* exitCode);

}  // namespace ostrel::acquire
