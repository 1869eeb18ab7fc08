// The driver's process-wide locks, declared in one place so that their order is written once.
//
// Lock order: a thread that holds a lock may take only locks listed below it, never one above.
// Nothing is ever taken in the other direction, so no two threads can wait for each other.
//
//   1. lifecycleLock     the host's calls that create, use or destroy the scan thread object
//                        or replace the connections, and the start of a calibration scan
//   2. settingsLock      a setting's store and its exchange as one step; the run start's
//                        re-sending of stale settings; a calibration scan's whole length (it
//                        borrows the settings and restores them). close and open never take it,
//                        so a calibration holding it can always be asked to leave
//   3. conversationLock  the replies on the command connection (one party at a time)
//   4. sendLock          the command buffer and each send on the command connection
//   5. addressLock       the instrument address text
//   6. blockLock         the received data block (held for a transfer and its conversion)
//   7. workStorageLock   the conversion's channel arrays, blend weights and interferogram
//   8. a ScanBuffer's own lock (one per published slot; acquisition/scan_buffer.h)
//   9. the socket layer's slot table lock (private to link/wil.cpp; it calls nothing that locks)
//  10. the trace sink's lock (private to the platform's debug output): every trace line takes it,
//      under any of the locks above, and it takes nothing
//
// Each lock lives as long as the library: the functions return function-local statics, created
// on first use, so no lock depends on the order in which the library's globals are constructed.
// To add a lock, give it its place in this list and declare it here.
#pragma once

#include "platform/mutex.h"

namespace ostrel {

platform::Mutex& lifecycleLock();
platform::Mutex& settingsLock();
platform::Mutex& conversationLock();
platform::Mutex& sendLock();
platform::Mutex& addressLock();
platform::Mutex& blockLock();
platform::Mutex& workStorageLock();

}  // namespace ostrel
