// Connection lifecycle shared between the exports, and who may use the connections when. The
// locks involved and their order are in state/locks.h.
#pragma once

#include <cstdint>

#include "state/locks.h"

namespace ostrel {

class ScanThread;

// lifecycleLock (state/locks.h) serialises the host's calls that create, use or destroy the
// ScanThread object or replace the connections, so that a getData or writeAux on one host thread
// never meets an object that close frees on another, and a run never starts while a calibration
// scan uses the connections.

// True while a co-add run's thread is running. Caller holds lifecycleLock.
bool runInProgress() OSTREL_REQUIRES(lifecycleLock());

// A calibration scan runs the scan sequence and the data transfer on a host thread. While it
// does, it is the one user of both connections: a run start is refused, a second calibration is
// refused, and close or open first ask it to leave and wait for it.
//
// Starts one when no run is in progress, no other calibration runs and both connections are
// open; false otherwise. Clears the stop request, which close and stop leave set. Caller holds
// lifecycleLock.
bool beginCalibration() OSTREL_REQUIRES(lifecycleLock());
// Ends it (any thread, no lock: close may be waiting for it under lifecycleLock).
void endCalibration();
bool calibrationInProgress();

// How long close and open wait for a calibration scan to leave once asked: its longest step
// that does not test the stop request is one settings exchange of 5000 ms.
inline constexpr uint32_t kCalibrationLeaveMs = 12000;

}  // namespace ostrel
