/**
 * @file ostreltcp.h
 * @brief The public interface of the OstrelTCP spectrometer driver.
 *
 * The driver is a shared library (a DLL on Windows) that a host application loads into its own
 * process. It drives one network spectrometer over three channels to one address: text commands
 * on TCP port 23, binary data blocks on TCP port 443, and a reboot datagram on UDP port 16123.
 * The environment variables OSTRELTCP_COMMAND_PORT, OSTRELTCP_DATA_PORT and
 * OSTRELTCP_REBOOT_PORT, when set to a number from 1 to 65535, replace those ports; they are read
 * at every spectrometer_open() and at every reboot datagram.
 *
 * Every function returns a 32-bit result, 0 for success (unglomData() returns nothing). A
 * failure is also recorded as the process-wide last error; spectrometer_getLastError() turns a
 * code into text. Nothing clears the last error: a later success leaves it in place. There is one
 * instrument and one driver state per process.
 *
 * A typical host: spectrometer_setIPAddress(), spectrometer_open(), the settings
 * (spectrometer_setPoints() and the others, each answered by the instrument with "OK"), the event
 * handles, optionally spectrometer_calibrationScan(), then spectrometer_startCoadd(). The run goes
 * on in the driver's scan thread; for each file the host is woken by its co-add-complete event
 * and copies the interferogram with spectrometer_getData(). spectrometer_close() ends it all.
 *
 * Threads: the exports run on the host's calling thread. The commands that wait for "OK" (the
 * settings, spectrometer_initialize(), spectrometer_version(), the valve and fibre commands) are
 * for when no co-add run is in progress: during a run the scan thread owns the command
 * connection's replies. spectrometer_writeAux(), spectrometer_getData(), spectrometer_stop(),
 * spectrometer_close() and the getters may be called during a run. The host's events are
 * signalled from the scan thread (from the host's own thread during a calibration scan).
 * Any two exports may be called from two host threads at once: a command never mixes with
 * another's, a setting is stored and sent as one step, and a calibration scan and a run never
 * share the connections (the one that comes second is refused with its own code), while close
 * and open wait for a calibration scan to stop. Every time limit is measured on a monotonic
 * clock: setting the system clock neither stretches nor shortens a wait.
 *
 * Trace: every step is traced as one line, most beginning with "OstrelTCP"; a few keep other
 * fixed texts ("ostrelTCP getCapabilities", "startCoadd OK", "CThreadBase::Stop()",
 * "getResponse: error ..."), and a raw instrument reply may be traced as it came. On Windows the
 * lines go to OutputDebugStringA. The environment variable OSTRELTCP_TRACE, read when the first
 * line is written, also sends them to standard error ("stderr") or appends them to the file it
 * names; unset, nothing else is written (on POSIX nothing at all).
 */
#ifndef OSTRELTCP_H
#define OSTRELTCP_H

#include <stddef.h>
#include <stdint.h>

/**
 * @brief Calling convention of every export: callee-cleans (stdcall) on 32-bit Windows, the
 * platform default elsewhere. A host that resolves the exports by name must declare its function
 * pointers with it.
 */
#if defined(_WIN32) && !defined(_WIN64)
#define OSTRELTCP_CALL __stdcall
#else
#define OSTRELTCP_CALL
#endif

/**
 * @brief Export macro: marks the 39 functions that the library exports; everything else is
 * hidden. Hosts get the import declaration.
 */
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

/**
 * @brief A host event handle: a pointer-sized integer.
 *
 * On Windows it is an event HANDLE that the driver signals with SetEvent (create it manual-reset
 * and reset it yourself). On POSIX it holds an eventfd descriptor that the driver signals by
 * writing 1 to it; the host waits with poll() and resets it by reading its 8-byte counter. 0
 * means "no event". The driver never creates, resets or closes these handles: set a handle to 0
 * before closing it.
 */
typedef uintptr_t ostreltcp_event_handle;

/** @brief Values reported by spectrometer_getStatus(). Stored as a plain value, never combined. */
enum ostreltcp_status {
    OSTRELTCP_STATUS_INITIAL = 1,        /**< no open has completed yet */
    OSTRELTCP_STATUS_CONNECTED = 4,      /**< open completed; also after every co-add run */
    OSTRELTCP_STATUS_THREAD_RUNNING = 8, /**< the scan thread is running a co-add */
    OSTRELTCP_STATUS_OPEN_FAILED = 32,   /**< open ended on an exception (error 6) */
    OSTRELTCP_STATUS_COADD_STARTED = 64  /**< spectrometer_startCoadd started the scan thread */
};

/**
 * @brief Driver error codes: the results of the exports and the last error.
 *
 * Socket-layer failures carry OSTRELTCP_SOCKET_FLAG with the magnitude of the socket-layer code
 * in the low 15 bits: a library code 1 to 16 (0x8006: the address is not dotted-decimal IPv4) or
 * a Windows Sockets error number, the same on every platform (0xA74D = 0x8000 | 10061: the
 * connection was refused).
 */
enum ostreltcp_error {
    OSTRELTCP_OK = 0,                      /**< "No Error" */
    OSTRELTCP_ERR_COMMAND_SOCKET = 1,      /**< "Could not connect to command socket" */
    OSTRELTCP_ERR_DATA_SOCKET = 2,         /**< "Could not connect to data socket" */
    OSTRELTCP_ERR_OK_TIMEOUT = 3,          /**< "Timed out waiting for OK" */
    OSTRELTCP_ERR_INSTRUMENT = 4,          /**< "An error occured on the spectrometer" */
    OSTRELTCP_ERR_CONNECT = 5,             /**< "Could not connect to a socket" */
    OSTRELTCP_ERR_EXCEPTION = 6,           /**< "An exception occured while connecting ..." */
    OSTRELTCP_ERR_CALSCAN = 7,             /**< "Calscan failed" */
    OSTRELTCP_ERR_THREAD_START = 8,        /**< "Could not start scan thread" */
    OSTRELTCP_ERR_NO_DATA = 9,             /**< "No Data Available" */
    OSTRELTCP_ERR_THREAD_NOT_RUNNING = 10, /**< "scan thread is not running" */
    OSTRELTCP_ERR_DEADMAN = 11,            /**< "Deadman Timeout" */
    OSTRELTCP_ERR_SCAN_TIMEOUT = 12,       /**< "Scan timeout" */
    OSTRELTCP_ERR_SHORT_BLOCK = 13,        /**< "Not enough data was delivered" */
    OSTRELTCP_ERR_SOCKET_READ = 14,        /**< "Socket read error" */
    OSTRELTCP_ERR_INSTRUMENT_SCAN = 15,    /**< "ERROR" or "error" during a scan sequence */
    OSTRELTCP_ERR_NULL_ARGUMENT = 16,      /**< a required pointer argument was null */
    OSTRELTCP_ERR_POINTS_RANGE = 17,       /**< points setting outside 1..32768 per direction */
    OSTRELTCP_ERR_SCAN_DIR_RANGE = 18,     /**< scan direction setting other than 1, 2 or 3 */
    OSTRELTCP_SOCKET_FLAG = 0x8000         /**< set in every socket-layer code */
};

/** @brief Largest points setting per scan direction that the driver's buffers hold. */
#define OSTRELTCP_MAX_POINTS 32768

/**
 * @brief The driver's version. The trace of spectrometer_open() reports it as one number,
 * major x 100 + minor (179 for 1.79).
 */
#define OSTRELTCP_VERSION_MAJOR 1
#define OSTRELTCP_VERSION_MINOR 79
#define OSTRELTCP_VERSION_PATCH 0

/* Errors and diagnostics */

/**
 * @brief Writes the text of an error code.
 *
 * Driver codes give their message ("Timed out waiting for OK"); an unknown code gives
 * "unkown OstrelTCP error <code>". When the last recorded failure captured a platform error
 * number above 0, " winerror  <number> <system text>" follows, whichever code was asked for.
 * Socket-layer codes (OSTRELTCP_SOCKET_FLAG set) give "WIL_<NAME> <text>" for the library's
 * codes and "winerror <number> <system text>" for a Windows Sockets error number. Traces one
 * "OstrelTCP spectrometer_getLastError" line. Touches no connection; any thread may call it.
 *
 * @param code  the code to describe, as returned by an export; 0 for the last recorded one.
 *              (The raw negative results of spectrometer_reset() are not codes.)
 * @param text  the caller's buffer; receives at most size - 1 characters and a terminating zero,
 *              a longer text is cut. Nothing is written when it is null or size is below 1.
 * @param size  capacity of text in characters, terminator included.
 * @return 0, always.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getLastError(int32_t code, char* text,
                                                                  int32_t size);

/* Connection lifecycle */

/**
 * @brief Sets the instrument's address for the next spectrometer_open() and the next reboot
 * datagram.
 *
 * Nothing is checked here and nothing is sent; a malformed address fails the next open with
 * 0x8006. Not traced.
 *
 * @param address  dotted-decimal IPv4 text ("192.168.1.20"); at most 63 characters are kept,
 *                 a longer text is cut.
 * @return 0, or OSTRELTCP_ERR_NULL_ARGUMENT (16) when address is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setIPAddress(const char* address);

/**
 * @brief Connects to the instrument and creates the scan thread.
 *
 * Starts the socket layer, connects the command connection (TCP port 23, or
 * OSTRELTCP_COMMAND_PORT) and then the data connection (TCP port 443, or OSTRELTCP_DATA_PORT),
 * confirming each within 2000 ms, waits up to 10000 ms on each for the instrument's "ready",
 * sends "deliverAll 0" and waits up to 5000 ms for its "OK" (a missing "OK" is recorded as
 * error 3 or 4 but open still succeeds), creates the scan thread and sets the status to
 * OSTRELTCP_STATUS_CONNECTED. The settings are not sent again: the instrument keeps what it has.
 * A failure returns at once and leaves what was set up; call spectrometer_close() to tear it
 * down. Connections left from an earlier open are dropped first. Blocks the calling thread for
 * up to about 30 s; serialised with close, stop and startCoadd.
 *
 * @param id  only traced.
 * @return 0 when connected, or the recorded code:
 * @retval 0x8006  the address is empty or not dotted-decimal IPv4 (no connection is tried).
 * @retval 0x8000|n  a socket could not be created or connected: n is the Windows Sockets error
 *                   number (0xA74D: refused; the data connection is not tried after a command
 *                   connection failure).
 * @retval 5  a connection was not confirmed within 2000 ms.
 * @retval 1  no "ready" on the command connection within 10000 ms.
 * @retval 2  no "ready" on the data connection within 10000 ms.
 * @retval 6  open ended on an exception; the status is then OSTRELTCP_STATUS_OPEN_FAILED.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_open(int32_t id);

/**
 * @brief Stops the scan thread and closes both connections.
 *
 * Sets the stop flag, so that a waiting scan sequence leaves early; a thread still running is
 * asked to end and given 5000 ms (on Windows it is then terminated, on POSIX abandoned), and its
 * published data are lost. An idle scan thread stays, with the last file it published. Both
 * connections are closed and the socket layer is released. The status is not changed and the
 * settings are kept. Safe before any open and when called twice. A run that close ends signals
 * the files-complete event (when it meets the stop flag) or no event at all.
 *
 * @return 0, always.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_close(void);

/**
 * @brief Aborts a co-add run: close, reboot the instrument, open again.
 *
 * Only while a run is in progress. Sets the files setting to 1 for good, performs
 * spectrometer_close(), sends the reboot datagram ("REBOOT" to UDP port 16123, or
 * OSTRELTCP_REBOOT_PORT), sleeps 5000 ms and performs spectrometer_open(0). Blocks for 5 s and
 * the time of the open. The ended run may signal the files-complete event or none.
 *
 * @return the result of the new spectrometer_open(), or OSTRELTCP_ERR_THREAD_NOT_RUNNING (10)
 *         when no run is in progress (then nothing else is done).
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_stop(void);

/**
 * @brief Sends the reboot datagram and gives the instrument 5 s to restart.
 *
 * Sends the 6 bytes "REBOOT" to UDP port 16123 (or OSTRELTCP_REBOOT_PORT) of the address set
 * with spectrometer_setIPAddress(), then sleeps 5000 ms when it was sent. The socket layer must be
 * started, that is the driver open (between spectrometer_open() and spectrometer_close()). Does
 * not stop the scan thread or touch the connections. Records no error.
 *
 * @param id  only traced.
 * @return 0 when the datagram was sent; otherwise the raw negative socket-layer code, not a
 *         recorded error (-10093 when the socket layer is not started, -9 when no socket slot
 *         is free, or a negated Windows Sockets error number).
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_reset(int32_t id);

/* Settings sent to the instrument (each waits for "OK") */

/**
 * @brief Sets the points per scan and direction: sends "points <points>".
 *
 * The value is stored first and stays stored whatever the instrument answers; the next run's
 * blocks are expected with this length. Nothing is checked: a value outside 1 to
 * OSTRELTCP_MAX_POINTS is sent, but the next run then fails with OSTRELTCP_ERR_POINTS_RANGE.
 * Waits up to 5000 ms for "OK"; call it while no co-add run is in progress.
 *
 * @param points  points per scan in one direction.
 * @retval 0  the instrument answered "OK".
 * @retval 3  no "OK" within 5000 ms (also without a connection).
 * @retval 4  the instrument answered "ERROR" (reported when the 5000 ms are up).
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setPoints(int32_t points);

/**
 * @brief Sets the scans co-added into one file: sends "numscans <scans>".
 *
 * Stored first, kept whatever the answer. A run allows each file's scan sequence 45 s per scan
 * before it fails with OSTRELTCP_ERR_DEADMAN. Waits for "OK" as spectrometer_setPoints() does.
 *
 * @param scans  scans per file.
 * @return 0, 3 (no "OK" within 5000 ms) or 4 (the instrument answered "ERROR").
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setScans(int32_t scans);

/**
 * @brief Sets the scan direction: sends "scandir <direction>".
 *
 * Stored first, kept whatever the answer. With both directions a block holds two halves and an
 * interferogram 2 x points values (spectrometer_getPoints() reports that count). Another value
 * is sent, but the next run then fails with error 18. Waits for "OK" as spectrometer_setPoints()
 * does.
 *
 * @param direction  1 forward scans only, 2 reverse only, 3 both.
 * @return 0, 3 (no "OK" within 5000 ms) or 4 (the instrument answered "ERROR").
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setScanDirection(int32_t direction);

/**
 * @brief Sets the points the instrument skips at the start of a scan: sends "skip <points>".
 *
 * Stored first, kept whatever the answer. spectrometer_calibrationScan() sets it from the
 * interferogram's peak. Waits for "OK" as spectrometer_setPoints() does.
 *
 * @param points  points to skip.
 * @return 0, 3 (no "OK" within 5000 ms) or 4 (the instrument answered "ERROR").
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setSkipPoints(int32_t points);

/**
 * @brief Sets the instrument's gain code: sends "gain <gain>".
 *
 * Stored first, kept whatever the answer. Waits for "OK" as spectrometer_setPoints() does.
 *
 * @param gain  the gain code.
 * @return 0, 3 (no "OK" within 5000 ms) or 4 (the instrument answered "ERROR").
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setGain(int32_t gain);

/**
 * @brief Initialises the instrument: sends "init" and waits up to 5000 ms for "OK".
 *
 * @return 0, 3 (no "OK" within 5000 ms) or 4 (the instrument answered "ERROR").
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_initialize(void);

/**
 * @brief Asks the instrument for its version: sends "version" and waits up to 1000 ms for "OK".
 *
 * Records no error.
 *
 * @return the number at the start of the reply, or 0 when no "OK" came or the reply does not
 *         begin with a number.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_version(void);

/* Settings kept in the driver only */

/**
 * @brief Sets the files of the next co-add run; nothing is sent.
 *
 * Takes effect at the next spectrometer_startCoadd(). spectrometer_stop() sets it to 1.
 *
 * @param files  files per run; 0 or a negative value runs until stopped (stored as given).
 * @return 0.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setFiles(int32_t files);

/**
 * @brief Keeps a resolution value for the host; nothing is sent and nothing else uses it.
 *
 * @param resolution  any value; spectrometer_getResolution() returns it exactly.
 * @return 0.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_setResolution(double resolution);

/* Getters: each stores a value of the driver's state, checks no connection and may be called
 * from any thread at any time. A null pointer gives OSTRELTCP_ERR_NULL_ARGUMENT (16). */

/**
 * @brief Reads the number of values in one interferogram.
 *
 * @param points  receives the points setting, doubled when the scan direction is 3 (both;
 *                a setting too large to double reads INT32_MAX); initially 32768 (16384
 *                points, both directions).
 * @return 0, or 16 when points is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getPoints(int32_t* points);

/**
 * @brief Reads the scans setting (initially 16).
 * @param scans  receives the value.
 * @return 0, or 16 when scans is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getScans(int32_t* scans);

/**
 * @brief Reads the files setting (initially 1), as stored by spectrometer_setFiles().
 * @param files  receives the value.
 * @return 0, or 16 when files is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getFiles(int32_t* files);

/**
 * @brief Reads the gain setting (initially 1).
 * @param gain  receives the value.
 * @return 0, or 16 when gain is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getGain(int32_t* gain);

/**
 * @brief Reads the skip points setting (initially 0; set by a calibration scan).
 * @param points  receives the value.
 * @return 0, or 16 when points is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getSkipPoints(int32_t* points);

/**
 * @brief Reads the value kept by spectrometer_setResolution() (initially 1.0).
 * @param resolution  receives the value.
 * @return 0, or 16 when resolution is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getResolution(double* resolution);

/**
 * @brief Reads the driver's status, one of ::ostreltcp_status.
 *
 * 1 until the first open completes (also after a failed open), 4 once open, 64 or 8 while a run
 * is under way, 4 again when it has ended. close does not change it.
 *
 * @param status  receives the value.
 * @return 0, or 16 when status is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getStatus(int32_t* status);

/**
 * @brief Reads the scan number of the instrument's latest progress line ("_N").
 *
 * Reset to 0 by spectrometer_startCoadd(). Progress lines are counted while a scan-complete
 * event is set (spectrometer_setScanCompleteEventHandle()).
 *
 * @param scan  receives the value.
 * @return 0, or 16 when scan is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getScanProgress(int32_t* scan);

/**
 * @brief Reads the number of files finished in the current (or last) co-add run.
 * @param files  receives the value.
 * @return 0, or 16 when files is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getFileProgress(int32_t* files);

/**
 * @brief Reads the driver's capabilities: the constant 6, connected or not.
 * @param capabilities  receives 6.
 * @return 0, or 16 when capabilities is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getCapabilities(int32_t* capabilities);

/**
 * @brief Does nothing.
 * @param ignored  not used.
 * @return 0.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_execute(int32_t ignored);

/* Host events. Each setter stores the handle (0: no event) and returns 0; a new handle is used
 * from the next signal on. See ::ostreltcp_event_handle for what a handle is and how it is
 * signalled. */

/**
 * @brief Sets the event signalled for each progress reply ("_N") of a scan sequence, during runs
 * and calibration scans. While it is 0, spectrometer_getScanProgress() does not advance.
 * @param event  the host's event, or 0.
 * @return 0.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL
spectrometer_setScanCompleteEventHandle(ostreltcp_event_handle event);

/**
 * @brief Sets the event signalled after each file of a run has been published: the host then
 * copies it with spectrometer_getData().
 * @param event  the host's event, or 0.
 * @return 0.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL
spectrometer_setCoaddCompleteEventHandle(ostreltcp_event_handle event);

/**
 * @brief Sets the event signalled when a run ends normally: its files are done, or it found the
 * stop flag set by spectrometer_stop() or spectrometer_close().
 * @param event  the host's event, or 0.
 * @return 0.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL
spectrometer_setFilesCompleteEventHandle(ostreltcp_event_handle event);

/**
 * @brief Sets the event signalled when a run ends on an error; the last error tells which (11
 * to 15, 17, 18 or a socket-layer code).
 * @param event  the host's event, or 0.
 * @return 0.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL
spectrometer_setErrorEventHandle(ostreltcp_event_handle event);

/* Acquisition */

/**
 * @brief Measures one reference scan and sets the skip points from it.
 *
 * Sends points 16384, numscans 1, skip 0, scandir 1 and gain 0 (their results are ignored), runs
 * one scan sequence and reads its block on the calling thread, then sets the skip points to the
 * interferogram's peak index less 256 (0 when the peak is at 256 or before) and sends "skip". The
 * measured duration of the sequence turns on a single-scan limit for later runs (twice that
 * duration, scaled by points / 16384) which fails a run with OSTRELTCP_ERR_SCAN_TIMEOUT. The
 * host's points, scans, files, scan direction and gain are restored in the driver; the next
 * spectrometer_startCoadd() sends those the host has not sent again since. Clears a stop flag
 * left by close or stop. The reference scan is not published. Blocks until done (up to 45 s for
 * the sequence, 10 s of silence for the block).
 *
 * @retval 0  calibrated; the skip points are set and sent.
 * @retval 7  the scan sequence failed (the skip points are then 0); close or open on another
 *            thread called the scan off; or nothing is done because a co-add run or another
 *            calibration scan is in progress or the driver is not open.
 * @retval 13  the block was shorter than expected.
 * @retval 0x8000|n  the block request could not be sent.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_calibrationScan(void);

/**
 * @brief Starts a co-add run on the scan thread and returns at once.
 *
 * Resets the scan and file progress, takes the scans and files settings for the run, clears the
 * stop flag and starts the thread (status 64, then 8 while it runs, 4 when it ends). For each
 * file the thread sends "scan", follows the progress replies until "ready", sends "send" on the
 * data connection, receives the block of 16 + 8 x points bytes (16 + 16 x points for both
 * directions), converts it into an interferogram, publishes it for spectrometer_getData(),
 * signals the co-add-complete event and counts the file. At the end it signals the
 * files-complete event, or the error event after one of these failures (recorded as the last
 * error): 11 a file's sequence took longer than 45 s per scan; 12 a single scan took longer than
 * the calibrated limit; 14 the command connection failed; 15 the instrument replied "ERROR" or
 * "error"; 13 the block was short or stalled for 10 s; 17 the points setting is outside 1 to
 * OSTRELTCP_MAX_POINTS; 18 the scan direction setting is not 1, 2 or 3; a socket-layer code when
 * the block request could not be sent.
 *
 * @param ignored  not used.
 * @retval 0  the run has started.
 * @retval 8  not open (no scan thread or no connection), a run is still in progress, a
 *            calibration scan is in progress on another thread, or the thread could not be
 *            started.
 * @retval 3,4  after a calibration scan, re-sending a host setting got no "OK" or "ERROR".
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_startCoadd(int32_t ignored);

/**
 * @brief Copies the most recently published interferogram.
 *
 * The values are the co-added curve divided by the scan count: the forward half first, then the
 * reverse half when both directions are scanned. A copy does not consume the file: the same
 * file is returned until a newer one is published, also after the run has ended, after close
 * (when no run was in progress) and, until its first file, in the next run. Safe during a run
 * and from any host thread.
 *
 * @param data       receives the values; its first points elements are written.
 * @param points     the number of values the array holds; it must equal the published count,
 *                   spectrometer_getPoints() at the time of the file.
 * @param timestamp  receives the file's time stamp: milliseconds of UTC time since 1970-01-01,
 *                   taken at the first progress reply of the file's scan sequence (or at its end
 *                   when there was none).
 * @retval 0  copied.
 * @retval 1  nothing published: no file since the last open, or close ended the run's thread;
 *            data and timestamp are untouched. Not an error: the last error is unchanged.
 * @retval 9  points differs from the published count; the first points values of data are set
 *            to 0 and timestamp is untouched.
 * @retval 16  data or timestamp is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getData(double* data, int32_t points,
                                                             double* timestamp);

/**
 * @brief Reads the time stamp of the most recently published interferogram.
 *
 * @param timestamp  receives the time stamp (as in spectrometer_getData()), 0.0 when nothing has
 *                   been published since open; untouched when the driver has no scan thread.
 * @return 0, or 16 when timestamp is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_getTimestamp(double* timestamp);

/* Valves, fibre inputs and auxiliary outputs: each sends its command on the command connection
 * and waits up to 5000 ms for "OK" (3 when none came, 4 when the instrument answered "ERROR");
 * call them while no co-add run is in progress, except spectrometer_writeAux(). */

/**
 * @brief Sets the instrument's safe valve state: sends "savesafe <first> <v0> <v1> <v2>".
 *
 * @param first   the first number sent.
 * @param values  three numbers sent after it.
 * @return 0, 3, 4, or 16 when values is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_safeValves(int32_t first,
                                                                const int32_t* values);

/**
 * @brief Switches the instrument's valves: sends "valves <v0> <v1> <v2>".
 *
 * @param values  the three numbers sent.
 * @return 0, 3, 4, or 16 when values is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_writeFiber(const int32_t* values);

/**
 * @brief Reads fibre inputs: sends "input <n>" for each requested input and packs the answers.
 *
 * The 16 result words are cleared first. For each requested input i (0 to 15) the driver sends
 * "input <i + 1>", waits for "OK" and packs the low 12 bits of the number at the start of the
 * reply (0 when there is none) into results[i / 2]: bits 0 to 11 for even i, bits 16 to 27 for
 * odd i. Words 8 to 15 stay 0. Stops at the first input that fails.
 *
 * @param requests  16 flags; a nonzero flag requests that input.
 * @param results   16 words, written as described.
 * @return 0, the first failing input's 3 or 4, or 16 when a pointer is null.
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_readFiber(const uint16_t* requests,
                                                               uint32_t* results);

/**
 * @brief Switches one auxiliary output: sends "valve <output> <value>".
 *
 * Only the low 16 bits of each argument count. The output is 58 for mask 0x40 alone, 57 for
 * 0x80 alone, otherwise 49 plus the index of the lowest set bit (49 when none is set); the value
 * sent is 1 when state is 0 and 0 otherwise. While a co-add run is in progress the command is
 * sent and 0 returned at once (the scan thread takes the reply); otherwise it waits for "OK".
 *
 * @param state  the requested state.
 * @param mask   selects the output.
 * @return 0, 3, 4, or OSTRELTCP_ERR_CONNECT (5) when the command connection is not open (then
 *         nothing is sent).
 */
OSTRELTCP_EXPORT int32_t OSTRELTCP_CALL spectrometer_writeAux(uint32_t state, uint32_t mask);

/* Data block conversion */

/**
 * @brief Converts a raw data block into an interferogram, as the scan thread does.
 *
 * The block is a 16-byte header of big-endian 32-bit words (forward scan count, reverse scan
 * count, two words not used) followed by one half of points records (two halves for scanDir 3),
 * each record a big-endian high-gain and low-gain sample. The sample words are rewritten in host
 * byte order in place. Each half's two channels are combined into one curve and divided by the
 * half's scan count. A null pointer, points outside 1 to OSTRELTCP_MAX_POINTS or a scanDir other
 * than 1, 2 or 3 is refused: nothing is written but a count of 0 (when count is not null). It
 * shares the driver's work storage with the scan thread and the calibration scan; a call during a
 * run waits until the file being converted is done (a few hundred microseconds), so the run's data
 * is never disturbed.
 *
 * @param block    the block, 16 + 8 x points bytes (16 + 16 x points for scanDir 3); modified.
 * @param count    receives the number of values written: 2 x points for scanDir 3, else points.
 * @param points   points per direction.
 * @param scanDir  1 forward, 2 reverse, 3 both (forward half first).
 * @param out      receives count values.
 */
OSTRELTCP_EXPORT void OSTRELTCP_CALL unglomData(void* block, int32_t* count, int32_t points,
                                                int32_t scanDir, double* out);

#ifdef __cplusplus
}
#endif

#endif /* OSTRELTCP_H */
