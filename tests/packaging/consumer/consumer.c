/*
 * A host built against the installed driver. Without an instrument it checks what a host relies
 * on first: the header's constants, the getters' initial values, the null-pointer refusal and
 * the error text. Prints one line per failed check and a count of the checks at the end.
 */
#include <ostreltcp.h>
#include <stdio.h>
#include <string.h>

/* Defined in linkage_check.cpp: the same calls made from C++, through extern "C". */
int32_t capabilitiesFromCxx(void);

static int passed = 0;
static int failed = 0;

static void expectInt(const char* what, long actual, long expected) {
    if (actual == expected) {
        ++passed;
    } else {
        ++failed;
        printf("consumer: %s is %ld, expected %ld\n", what, actual, expected);
    }
}

/* Texts of driver codes may carry a " winerror ..." part after the message (the platform error
 * captured with the last failure), so only their start is compared. */
static void expectText(const char* what, const char* actual, const char* expected) {
    if (strncmp(actual, expected, strlen(expected)) == 0) {
        ++passed;
    } else {
        ++failed;
        printf("consumer: %s is \"%s\", expected it to begin with \"%s\"\n", what, actual,
               expected);
    }
}

int main(void) {
    int32_t value = -1;
    double resolution = 0.0;
    char text[256];

    /* Before any failure the last error reads "No Error". */
    expectInt("getLastError result", spectrometer_getLastError(0, text, (int32_t)sizeof text), 0);
    expectText("initial error text", text, "No Error");

    expectInt("getCapabilities result", spectrometer_getCapabilities(&value), OSTRELTCP_OK);
    expectInt("capabilities", value, 6);
    expectInt("capabilities through C++", capabilitiesFromCxx(), 6);

    /* 16384 points in both directions: twice that, the largest setting's block. */
    expectInt("getPoints result", spectrometer_getPoints(&value), OSTRELTCP_OK);
    expectInt("initial points", value, OSTRELTCP_MAX_POINTS);

    expectInt("getStatus result", spectrometer_getStatus(&value), OSTRELTCP_OK);
    expectInt("initial status", value, OSTRELTCP_STATUS_INITIAL);

    expectInt("setResolution result", spectrometer_setResolution(2.5), OSTRELTCP_OK);
    expectInt("getResolution result", spectrometer_getResolution(&resolution), OSTRELTCP_OK);
    expectInt("resolution read back exactly", resolution == 2.5, 1);

    expectInt("getCapabilities(NULL)", spectrometer_getCapabilities(NULL),
              OSTRELTCP_ERR_NULL_ARGUMENT);
    spectrometer_getLastError(OSTRELTCP_ERR_DEADMAN, text, (int32_t)sizeof text);
    expectText("text of error 11", text, "Deadman Timeout");

    /* A buffer of 4 characters holds 3 and the terminator. */
    spectrometer_getLastError(OSTRELTCP_ERR_DEADMAN, text, 4);
    expectInt("length of the text cut to the buffer", (long)strlen(text), 3);
    expectText("text cut to the buffer", text, "Dea");

    /* Without a connection a run cannot start. */
    expectInt("startCoadd before open", spectrometer_startCoadd(0), OSTRELTCP_ERR_THREAD_START);

    printf("consumer: %d checks, %d failures\n", passed + failed, failed);
    return failed == 0 ? 0 : 1;
}
