// The instrument settings that the host sets and the instrument must agree with.
#pragma once

#include <cstdint>

#include "state/locks.h"

namespace ostrel {

enum class InstrumentSetting { Gain, Points, Scans, ScanDirection, SkipPoints };

// Stores the value, then sends its command and waits for "OK": 0, 3 or 4. settingsLock
// (state/locks.h) makes the two one step, so that two host threads never leave the driver holding
// one value and the instrument the other.
int32_t applySetting(InstrumentSetting setting, int32_t value) OSTREL_REQUIRES(settingsLock());

}  // namespace ostrel
