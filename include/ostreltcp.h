/*
 * ostreltcp.h - the public interface of the OstrelTCP spectrometer driver.
 *
 * The driver is a shared library (a DLL on Windows) that a host application loads into its own
 * process. It drives one network spectrometer over three channels to one address: text commands
 * on TCP port 23, binary data blocks on TCP port 443, and a reboot datagram on UDP port 16123.
 *
 * Every function returns a 32-bit result, 0 for success (unglomData returns nothing). A failure
 * is also recorded as the process-wide last error; spectrometer_getLastError() turns a code into
 * text. There is one instrument and one driver state per process.
 */
#ifndef OSTRELTCP_H
#define OSTRELTCP_H

#include <stddef.h>
#include <stdint.h>

/* Calling convention: callee-cleans (stdcall) on 32-bit Windows, the platform default elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#define OSTRELTCP_CALL __stdcall
#else
#define OSTRELTCP_CALL
#endif

/* Export macro: marks the 39 functions that the library exports; everything else is hidden. */
#if defined(_WIN32)
#if defined(OSTRELTCP_BUILDING_LIBRARY)
#define OSTRELTCP_EXPORT __declspec(dllexport)
#else
#define OSTRELTCP_EXPORT __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define OSTRELTCP_EXPORT __attribute__((visibility("default")))
#else
#define OSTRELTCP_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * A host event handle: a pointer-sized integer. On Windows it is an event HANDLE that the driver
 * signals with SetEvent; on POSIX it holds an eventfd descriptor that the driver signals by
 * writing 1 to it. 0 means "no event". The driver never creates, resets or closes these handles.
 */
typedef uintptr_t ostreltcp_event_handle;

/* Values reported by spectrometer_getStatus(). Stored as a plain value, never combined. */
enum ostreltcp_status {
    OSTRELTCP_STATUS_INITIAL = 1,         /* no open has completed yet */
    OSTRELTCP_STATUS_CONNECTED = 4,       /* open completed; also after every co-add run */
    OSTRELTCP_STATUS_THREAD_RUNNING = 8,  /* the scan thread is running a co-add */
    OSTRELTCP_STATUS_OPEN_FAILED = 32,    /* open ended on an exception (error 6) */
    OSTRELTCP_STATUS_COADD_STARTED = 64   /* spectrometer_startCoadd started the scan thread */
};

/* Driver error codes (results and last error). Socket-layer failures carry OSTRELTCP_SOCKET_FLAG
 * with the magnitude of the socket-layer code in the low 15 bits (a refused connection: 0xA74D). */
enum ostreltcp_error {
    OSTRELTCP_OK = 0,
    OSTRELTCP_ERR_COMMAND_SOCKET = 1,     /* "Could not connect to command socket" */
    OSTRELTCP_ERR_DATA_SOCKET = 2,        /* "Could not connect to data socket" */
    OSTRELTCP_ERR_OK_TIMEOUT = 3,         /* "Timed out waiting for OK" */
    OSTRELTCP_ERR_INSTRUMENT = 4,         /* "An error occured on the spectrometer" */
    OSTRELTCP_ERR_CONNECT = 5,            /* "Could not connect to a socket" */
    OSTRELTCP_ERR_EXCEPTION = 6,          /* "An exception occured while connecting ..." */
    OSTRELTCP_ERR_CALSCAN = 7,            /* "Calscan failed" */
    OSTRELTCP_ERR_THREAD_START = 8,       /* "Could not start scan thread" */
    OSTRELTCP_ERR_NO_DATA = 9,            /* "No Data Available" */
    OSTRELTCP_ERR_THREAD_NOT_RUNNING = 10,/* "scan thread is not running" */
    OSTRELTCP_ERR_DEADMAN = 11,           /* "Deadman Timeout" */
    OSTRELTCP_ERR_SCAN_TIMEOUT = 12,      /* "Scan timeout" */
    OSTRELTCP_ERR_SHORT_BLOCK = 13,       /* "Not enough data was delivered" */
    OSTRELTCP_ERR_SOCKET_READ = 14,       /* "Socket read error" */
    OSTRELTCP_ERR_INSTRUMENT_SCAN = 15,   /* the instrument replied "ERROR"/"error" during a scan */
    OSTRELTCP_ERR_NULL_ARGUMENT = 16,     /* a required pointer argument was null */
    OSTRELTCP_ERR_POINTS_RANGE = 17,      /* points setting outside 1..32768 per direction */
    OSTRELTCP_SOCKET_FLAG = 0x8000
};

/* Largest points setting per scan direction that the driver's buffers hold. */
#define OSTRELTCP_MAX_POINTS 32768

/* Errors and diagnostics */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getLastError(int32_t code, char* text,
                                                                  int32_t size);

/* Connection lifecycle */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setIPAddress(const char* address);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_open(int32_t id);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_close(void);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_stop(void);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_reset(int32_t id);

/* Settings sent to the instrument (each waits for "OK") */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setPoints(int32_t points);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setScans(int32_t scans);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setScanDirection(int32_t direction);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setSkipPoints(int32_t points);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setGain(int32_t gain);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_initialize(void);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_version(void);

/* Settings kept in the driver only */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setFiles(int32_t files);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setResolution(double resolution);

/* Getters */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getPoints(int32_t* points);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getScans(int32_t* scans);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getFiles(int32_t* files);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getGain(int32_t* gain);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getSkipPoints(int32_t* points);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getResolution(double* resolution);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getStatus(int32_t* status);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getScanProgress(int32_t* scan);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getFileProgress(int32_t* files);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getCapabilities(int32_t* capabilities);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_execute(int32_t ignored);

/* Host events */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL
spectrometer_setScanCompleteEventHandle(ostreltcp_event_handle event);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL
spectrometer_setCoaddCompleteEventHandle(ostreltcp_event_handle event);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL
spectrometer_setFilesCompleteEventHandle(ostreltcp_event_handle event);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setErrorEventHandle(ostreltcp_event_handle event);

/* Acquisition */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_calibrationScan(void);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_startCoadd(int32_t ignored);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getData(double* data, int32_t points,
                                                             double* timestamp);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getTimestamp(double* timestamp);

/* Valves, fibre inputs and auxiliary outputs */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_safeValves(int32_t first,
                                                                const int32_t* values);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_writeFiber(const int32_t* values);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_readFiber(const uint16_t* requests,
                                                               uint32_t* results);
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_writeAux(uint32_t state, uint32_t mask);

/* Data block conversion */
OSTRELTCP_EXPORT void OSTRELTCP_CALL unglomData(void* block, int32_t* count, int32_t points,
                                                int32_t scanDir, double* out);

#ifdef __cplusplus
}
#endif

#endif /* OSTRELTCP_H */
