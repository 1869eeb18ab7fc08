// Connection lifecycle shared between the exports, and who may use the connections when.
//
// Locks of the host's side, in the order a thread takes them (one that holds a lock takes only
// locks further down the list):
//   1. lifecycleLock    (here)                          the ScanThread object and the connections
//   2. settingsLock     (api/settings.h)                 a setting's store and its exchange
//   3. conversationLock (link/command_channel.h)         the replies on the command connection
//   4. the send lock    (link/command_channel.cpp)       commandBuffer and one send
//   workStorageLock (processing/data_block.h) is taken last, after any of 1 to 3, and with none
//   of them by the scan thread and the unglomData export.
// Nothing that holds one of these waits for the scan thread while the scan thread needs it.
#pragma once

#include <cstdint>

#include "platform/mutex.h"

namespace ostrel {

class ScanThread;

// Serialises the host's calls that create, use or destroy the ScanThread object or replace the
// connections, so that a getData or writeAux on one host thread never meets an object that close
// frees on another, and a run never starts while a calibration scan uses the connections.
platform::Mutex& lifecycleLock();

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
