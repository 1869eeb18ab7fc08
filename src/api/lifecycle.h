// Connection lifecycle shared between the exports.
#pragma once

#include "platform/mutex.h"

namespace ostrel {

class ScanThread;

// Serialises the host's calls that create, use or destroy the ScanThread object, so that a
// getData or writeAux on one host thread never meets an object that close frees on another.
platform::Mutex& lifecycleLock();

// True while a co-add run's thread is running. Caller holds lifecycleLock.
bool runInProgress();

}  // namespace ostrel
