// Connection lifecycle shared between the exports.
#pragma once

#include "state/locks.h"

namespace ostrel {

class ScanThread;

// lifecycleLock (state/locks.h) serialises the host's calls that create, use or destroy the
// ScanThread object, so that a getData or writeAux on one host thread never meets an object that
// close frees on another.

// True while a co-add run's thread is running. Caller holds lifecycleLock.
bool runInProgress();

}  // namespace ostrel
