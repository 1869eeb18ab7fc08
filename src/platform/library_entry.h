// The library's load and unload notification, called by the platform's loader hook.
#pragma once

namespace ostrel {

enum class LibraryEvent {
    ProcessDetach = 0,
    ProcessAttach = 1,
    ThreadAttach = 2,
    ThreadDetach = 3
};

// Implemented by the diagnostics: traces the event and does nothing else.
void onLibraryEvent(LibraryEvent event);

}  // namespace ostrel
