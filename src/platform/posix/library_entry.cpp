#include "platform/library_entry.h"

namespace {

// The loader runs these when the library is mapped into a process and when it is unmapped
// (or the process ends). POSIX has no per-thread notifications.
__attribute__((constructor)) void libraryAttached() {
    ostrel::onLibraryEvent(ostrel::LibraryEvent::ProcessAttach);
}

__attribute__((destructor)) void libraryDetached() {
    ostrel::onLibraryEvent(ostrel::LibraryEvent::ProcessDetach);
}

}  // namespace
