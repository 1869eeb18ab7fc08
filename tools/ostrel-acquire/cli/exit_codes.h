// The program's exit status, and how a session's failure maps onto it.
#pragma once

#include "ostrel_session/events.h"

namespace ostrel::acquire {

enum ExitCode {
    ExitOk = 0,
    ExitUsage = 2,        // the command line is wrong
    ExitLibrary = 3,      // the driver library cannot be loaded, or the simulator cannot start
    ExitConnect = 4,      // the instrument cannot be reached or does not greet
    ExitSetting = 5,      // the instrument refused a setting or the calibration failed
    ExitAcquisition = 6,  // the run ended on an error
    ExitOutput = 7,       // an output file cannot be written
    ExitInterrupted = 130,
};

inline int exitCodeFor(ostrel::session::Failure failure) {
    using ostrel::session::Failure;
    switch (failure) {
        case Failure::None:
            return ExitOk;
        case Failure::Usage:
        case Failure::Busy:
            return ExitUsage;
        case Failure::Library:
            return ExitLibrary;
        case Failure::Connect:
            return ExitConnect;
        case Failure::Setting:
            return ExitSetting;
        case Failure::Acquisition:
            return ExitAcquisition;
        case Failure::Output:
            return ExitOutput;
        case Failure::Stopped:
            return ExitInterrupted;
    }
    return ExitAcquisition;
}

}  // namespace ostrel::acquire
