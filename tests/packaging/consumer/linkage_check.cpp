// The header used from C++: the exports must keep their C names (extern "C"), or this file does
// not link.
#include <ostreltcp.h>

static_assert(sizeof(ostreltcp_event_handle) == sizeof(void*),
              "an event handle holds a pointer-sized value");

extern "C" int32_t capabilitiesFromCxx(void) {
    int32_t capabilities = 0;
    return spectrometer_getCapabilities(&capabilities) == OSTRELTCP_OK ? capabilities : -1;
}
