// The instrument settings that the host sets and the instrument must agree with.
#pragma once

#include <cstdint>

#include "platform/mutex.h"

namespace ostrel {

enum class InstrumentSetting { Gain, Points, Scans, ScanDirection, SkipPoints };

// Makes storing a setting and sending it one step, so that two host threads never leave the
// driver holding one value and the instrument the other. Held by a settings export for its
// store and exchange, by the co-add start while it re-sends stale settings and copies the run's
// counts, and by a calibration scan for its whole length (it borrows the settings and restores
// them). Taken after lifecycleLock and before the command channel's locks.
platform::Mutex& settingsLock();

// Stores the value, then sends its command and waits for "OK": 0, 3 or 4.
int32_t applySetting(InstrumentSetting setting, int32_t value) OSTREL_REQUIRES(settingsLock());

}  // namespace ostrel
