// `ostrel-acquire reprocess RUN_DIR --out DIR`: an earlier run's interferograms through the
// spectral settings given, into a new directory.
#pragma once

#include "options.h"

namespace ostrel::acquire {

int runReprocessCommand(const ReprocessOptions& options);

}  // namespace ostrel::acquire
