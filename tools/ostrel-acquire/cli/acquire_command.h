// The default command: one run from the instrument (or the built-in simulator) into --out, with
// the terminal's progress and, with --live, the live view.
#pragma once

#include "options.h"

namespace ostrel::acquire {

int runAcquireCommand(Options& options);

}  // namespace ostrel::acquire
