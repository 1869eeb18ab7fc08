// One acquisition run driven through the driver's exports, as a host application drives it:
// connect, optionally calibrate, send the settings, register four host events, start the co-add
// run, and on each co-add event fetch the interferogram and save it with its spectrum; at the end
// a summary and a plot.
#pragma once

#include "driver_library.h"
#include "run_options.h"

namespace ostrel::acquire {

int runAcquisition(const host::DriverApi& api, const RunOptions& options);

}  // namespace ostrel::acquire
