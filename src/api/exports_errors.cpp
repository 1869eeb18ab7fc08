#include "api/error_text.h"
#include "ostreltcp.h"

OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getLastError(int32_t code, char* text,
                                                                  int32_t size) {
    ostrel::errorText(code, text, size);
    return 0;
}
