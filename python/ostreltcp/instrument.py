"""The spectrometer as a Python object: settings as properties, co-add runs as a generator.

The driver keeps one state per process, so at most one :class:`Instrument` of a process is open
at a time. The host events that the driver signals are Linux eventfd descriptors owned by the
instrument: they are handed to the driver once, when the instrument opens, and closed only after
the driver's close has stopped its scan thread, so the driver never writes to a descriptor that
has been closed (or reused for something else).
"""

from __future__ import annotations

import ctypes
import enum
import numbers
import os
import selectors
import threading
import time
import warnings
from dataclasses import dataclass
from types import TracebackType
from typing import Callable, Iterable, Iterator, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

from ._library import Driver, load_library
from .errors import (
    THREAD_NOT_RUNNING,
    THREAD_START,
    AcquisitionStateError,
    AlreadyOpenError,
    EventWaitTimeout,
    OstrelConnectionError,
    SOCKET_FLAG,
)

MAX_POINTS = 32768
"""Largest points setting per scan direction that the driver's buffers hold."""

FIBER_INPUTS = 16
_HEADER_BYTES = 16
_BYTES_PER_POINT = 8
_ADDRESS_CAPACITY = 63
_PORT_VARIABLES = {
    "command_port": "OSTRELTCP_COMMAND_PORT",
    "data_port": "OSTRELTCP_DATA_PORT",
    "reboot_port": "OSTRELTCP_REBOOT_PORT",
}

Interferogram = npt.NDArray[np.float64]


class DriverStatus(enum.IntEnum):
    """The values of spectrometer_getStatus."""

    INITIAL = 1
    CONNECTED = 4
    THREAD_RUNNING = 8
    OPEN_FAILED = 32
    COADD_STARTED = 64


_RUNNING_STATUSES = (DriverStatus.THREAD_RUNNING, DriverStatus.COADD_STARTED)
_THREAD_END_LIMIT_S = 2.0
_THREAD_END_POLL_S = 0.001


@dataclass
class AcquisitionSummary:
    """What one call of :meth:`Instrument.acquire` saw.

    The driver publishes each file in one of two slots and getData copies the newest, so a loop
    body slower than one file loses files; ``files_missed`` counts them.
    """

    files_requested: int
    files_published: int = 0
    files_yielded: int = 0
    scan_events: int = 0
    completed: bool = False

    @property
    def files_missed(self) -> int:
        return self.files_published - self.files_yielded


def _int32(value: int, name: str) -> int:
    # ctypes would wrap a larger number silently into another setting.
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    number = int(value)
    if not -(2**31) <= number < 2**31:
        raise ValueError(f"{name} {number} does not fit a 32-bit integer")
    return number


def _uint32(value: int, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    number = int(value)
    if not 0 <= number < 2**32:
        raise ValueError(f"{name} {number} does not fit an unsigned 32-bit integer")
    return number


def _three_values(values: Sequence[int], name: str) -> list[int]:
    numbers_ = [_int32(value, name) for value in values]
    if len(numbers_) != 3:
        raise ValueError(f"{name} needs exactly three values, got {len(numbers_)}")
    return numbers_


class _HostEvents:
    """The four eventfd descriptors that the driver signals, by kind."""

    SETTERS = {
        "scan": "spectrometer_setScanCompleteEventHandle",
        "coadd": "spectrometer_setCoaddCompleteEventHandle",
        "files": "spectrometer_setFilesCompleteEventHandle",
        "error": "spectrometer_setErrorEventHandle",
    }

    def __init__(self) -> None:
        if not hasattr(os, "eventfd"):
            raise NotImplementedError("host events need os.eventfd (Linux, Python 3.10 or later)")
        flags = os.EFD_CLOEXEC | os.EFD_NONBLOCK
        self.descriptors: dict[str, int] = {}
        try:
            for kind in self.SETTERS:
                self.descriptors[kind] = os.eventfd(0, flags)
        except OSError:
            self.close()
            raise

    def register(self, driver: Driver) -> None:
        for kind, setter in self.SETTERS.items():
            getattr(driver, setter)(self.descriptors[kind])

    def unregister(self, driver: Driver) -> None:
        for setter in self.SETTERS.values():
            getattr(driver, setter)(0)

    def take(self, kind: str) -> int:
        """How often the event was signalled since the last take; resets it."""
        try:
            return os.eventfd_read(self.descriptors[kind])
        except BlockingIOError:
            return 0

    def drain(self) -> None:
        for kind in self.descriptors:
            self.take(kind)

    def close(self) -> None:
        for descriptor in self.descriptors.values():
            os.close(descriptor)
        self.descriptors = {}


# The one open instrument of this process (the driver has one state per process).
_owner: Optional["Instrument"] = None
_owner_lock = threading.Lock()
# unglomData and the scan thread share the driver's static work arrays.
_processing_lock = threading.Lock()
# The driver has no getter for the scan direction; this mirrors its setting (initially 3).
_scan_direction = 3


def _processing_busy() -> bool:
    owner = _owner
    if owner is None:
        return False
    return owner._run_active or owner._calibrating or owner.status in _RUNNING_STATUSES


class Instrument:
    """One spectrometer reached over TCP/IP.

    Use it as a context manager: the connection opens on entry and closes on exit::

        with Instrument("192.168.1.20") as instrument:
            instrument.points = 4096
            for timestamp, curve in instrument.acquire(files=10):
                ...

    The port arguments set OSTRELTCP_COMMAND_PORT, OSTRELTCP_DATA_PORT and
    OSTRELTCP_REBOOT_PORT for this process when the instrument opens (the driver reads them at
    every open and reboot); without them the instrument's own ports 23, 443 and 16123 are used.
    Settings live in the driver and survive close and reopen within the process.
    """

    def __init__(
        self,
        address: str = "127.0.0.1",
        *,
        command_port: Optional[int] = None,
        data_port: Optional[int] = None,
        reboot_port: Optional[int] = None,
        library: Optional[str] = None,
    ) -> None:
        if not isinstance(address, str) or not address.isascii() or "\0" in address:
            raise ValueError(f"address {address!r} is not an ASCII text")
        if len(address) > _ADDRESS_CAPACITY:
            # The driver would cut it to 63 characters and connect somewhere else.
            raise ValueError(f"address {address!r} is longer than {_ADDRESS_CAPACITY} characters")
        self.address = address
        self._ports = {
            name: port
            for name, port in (
                ("command_port", command_port),
                ("data_port", data_port),
                ("reboot_port", reboot_port),
            )
            if port is not None
        }
        for name, port in self._ports.items():
            if _int32(port, name) not in range(1, 65536):
                raise ValueError(f"{name} {port} is not a TCP/UDP port")
        self._driver = load_library(library)
        self._events: Optional[_HostEvents] = None
        self._opened = False
        self._run_active = False
        self._calibrating = False
        self.last_acquisition: Optional[AcquisitionSummary] = None

    def __repr__(self) -> str:
        state = "open" if self._opened else "closed"
        return f"Instrument({self.address!r}, {state})"

    # Lifecycle

    def __enter__(self) -> "Instrument":
        return self.open()

    def __exit__(
        self,
        kind: Optional[type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()

    @property
    def is_open(self) -> bool:
        return self._opened

    def open(self, id: int = 0) -> "Instrument":
        """Connects to the instrument (spectrometer_open); does nothing when already open.

        Raises AlreadyOpenError when another Instrument of this process is open.
        """
        global _owner
        if self._opened:
            return self
        with _owner_lock:
            if _owner is not None:
                raise AlreadyOpenError(f"{_owner!r} holds this process's driver; close it first")
            _owner = self
        try:
            for name, port in self._ports.items():
                os.environ[_PORT_VARIABLES[name]] = str(port)
            self._driver.check(
                self._driver.spectrometer_setIPAddress(self.address.encode("ascii")),
                "setIPAddress",
            )
            self._events = _HostEvents()
            self._events.register(self._driver)
            result = self._driver.spectrometer_open(_int32(id, "id"))
            if result != 0:
                error = self._driver.error(result, "open")
                # A failed open leaves what it had set up; close tears it down.
                self._driver.spectrometer_close()
                raise error
        except BaseException:
            self._release()
            raise
        self._opened = True
        return self

    def close(self) -> None:
        """Stops a running co-add and closes both connections (spectrometer_close)."""
        if not self._opened:
            return
        try:
            self._driver.spectrometer_close()
        finally:
            self._opened = False
            self._release()

    def _release(self) -> None:
        global _owner
        if self._events is not None:
            # Only after close has stopped the scan thread: it may signal them until then.
            self._events.unregister(self._driver)
            self._events.close()
            self._events = None
        with _owner_lock:
            if _owner is self:
                _owner = None

    def stop(self, restore_settings: bool = True) -> None:
        """Aborts a running co-add: close, reboot datagram, 5 s pause, reopen (spectrometer_stop).

        The driver sets the files setting to 1. The reboot returns the instrument to its own
        start-up settings while the driver keeps the host's; with `restore_settings` the driver's
        points, scans, scan direction, gain and skip points are sent again, so that the next
        run's blocks have the length the driver expects.
        """
        saved = self._settings_snapshot()
        self._driver.check(self._driver.spectrometer_stop(), "stop")
        if restore_settings:
            self._send_settings(*saved)

    def reset(self, id: int = 0) -> None:
        """Sends the reboot datagram and waits 5 s (spectrometer_reset)."""
        result = self._driver.spectrometer_reset(_int32(id, "id"))
        if result < 0:
            # Raw socket-layer code: recorded nowhere, so it is flagged here as the driver would.
            code = (-result) | SOCKET_FLAG
            raise OstrelConnectionError(code, self._driver.error_text(code), "reset")
        self._driver.check(result, "reset")

    # Settings

    def _settings_snapshot(self) -> tuple[int, int, int, int, int]:
        return (self.points, self.scans, self.scan_direction, self.gain, self.skip_points)

    def _send_settings(
        self, points: int, scans: int, direction: int, gain: int, skip_points: int
    ) -> None:
        self.points = points
        self.scans = scans
        self.scan_direction = direction
        self.gain = gain
        self.skip_points = skip_points

    def _set(self, export: str, value: int, name: str) -> None:
        self._driver.check(getattr(self._driver, export)(_int32(value, name)), export)

    @property
    def points(self) -> int:
        """Points per scan and direction ("points"); the driver keeps the value even on failure."""
        reported = self._driver.int_out("spectrometer_getPoints")
        return reported // 2 if _scan_direction == 3 else reported

    @points.setter
    def points(self, value: int) -> None:
        self._set("spectrometer_setPoints", value, "points")

    @property
    def interferogram_length(self) -> int:
        """Doubles per file: twice the points when both directions are scanned."""
        return self._driver.int_out("spectrometer_getPoints")

    @property
    def scans(self) -> int:
        """Scans co-added per file ("numscans")."""
        return self._driver.int_out("spectrometer_getScans")

    @scans.setter
    def scans(self, value: int) -> None:
        self._set("spectrometer_setScans", value, "scans")

    @property
    def files(self) -> int:
        """Files per co-add run, kept in the driver only; 0 or less runs until stopped."""
        return self._driver.int_out("spectrometer_getFiles")

    @files.setter
    def files(self, value: int) -> None:
        self._set("spectrometer_setFiles", value, "files")

    @property
    def scan_direction(self) -> int:
        """1 forward, 2 reverse, 3 both ("scandir")."""
        return _scan_direction

    @scan_direction.setter
    def scan_direction(self, value: int) -> None:
        global _scan_direction
        direction = _int32(value, "scan_direction")
        result = self._driver.spectrometer_setScanDirection(direction)
        # The driver stores the value before it sends the command, whatever the reply.
        _scan_direction = direction
        self._driver.check(result, "spectrometer_setScanDirection")

    @property
    def gain(self) -> int:
        """Gain setting ("gain")."""
        return self._driver.int_out("spectrometer_getGain")

    @gain.setter
    def gain(self, value: int) -> None:
        self._set("spectrometer_setGain", value, "gain")

    @property
    def skip_points(self) -> int:
        """Points the instrument skips at the start of a scan ("skip"); set by calibrate()."""
        return self._driver.int_out("spectrometer_getSkipPoints")

    @skip_points.setter
    def skip_points(self, value: int) -> None:
        self._set("spectrometer_setSkipPoints", value, "skip_points")

    @property
    def resolution(self) -> float:
        """Resolution, kept in the driver only."""
        return self._driver.double_out("spectrometer_getResolution")

    @resolution.setter
    def resolution(self, value: float) -> None:
        self._driver.check(self._driver.spectrometer_setResolution(float(value)), "setResolution")

    @property
    def status(self) -> Union[DriverStatus, int]:
        """The driver's coarse state."""
        value = self._driver.int_out("spectrometer_getStatus")
        try:
            return DriverStatus(value)
        except ValueError:
            return value

    @property
    def scan_progress(self) -> int:
        """Scan number of the latest progress line of the current file."""
        return self._driver.int_out("spectrometer_getScanProgress")

    @property
    def file_progress(self) -> int:
        """Files finished in the current co-add run."""
        return self._driver.int_out("spectrometer_getFileProgress")

    @property
    def capabilities(self) -> int:
        return self._driver.int_out("spectrometer_getCapabilities")

    @property
    def timestamp(self) -> float:
        """Time stamp of the newest published file (ms since 1970 UTC), 0.0 when none."""
        value = ctypes.c_double(0.0)
        result = self._driver.spectrometer_getTimestamp(ctypes.byref(value))
        self._driver.check(result, "getTimestamp")
        return value.value

    # Acquisition

    def calibrate(self) -> int:
        """Runs the calibration scan and returns the skip points it placed.

        The scan's duration becomes the driver's single-scan time limit for later runs.
        """
        self._calibrating = True
        try:
            self._driver.check(self._driver.spectrometer_calibrationScan(), "calibrationScan")
        finally:
            self._calibrating = False
        return self.skip_points

    def latest(self) -> Optional[tuple[float, Interferogram]]:
        """The newest published file as (timestamp, array), or None before the first one."""
        return self._fetch(self.interferogram_length)

    def _fetch(self, count: int) -> Optional[tuple[float, Interferogram]]:
        data = np.zeros(count, dtype=np.float64)
        stamp = ctypes.c_double(0.0)
        result = self._driver.spectrometer_getData(
            data.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), count, ctypes.byref(stamp)
        )
        if result == 1:
            return None
        self._driver.check(result, "getData")
        return stamp.value, data

    def acquire(
        self,
        files: Optional[int] = None,
        *,
        timeout: float = 60.0,
        on_scan: Optional[Callable[[int], None]] = None,
    ) -> Iterator[tuple[float, Interferogram]]:
        """Runs a co-add and yields each file as (timestamp, array).

        The run starts at the first iteration. `files` sets the files setting first (0 runs
        until the loop is left); None keeps it. The timestamp is the driver's, in milliseconds
        since 1970 UTC; the array holds `interferogram_length` doubles, the forward half first.

        Each wait for the driver's next event (one per scan, per file, and at the end) lasts at
        most `timeout` seconds; then EventWaitTimeout is raised. A failure of the run raises the
        driver's error. Leaving the loop early, or any exception, aborts a run that still goes
        on with :meth:`stop` (about 5 s). `on_scan` is called with the scan number after each
        scan.
        """
        events = self._events
        if not self._opened or events is None:
            # The driver itself would start a run on the closed connections of an earlier open;
            # without a connection it answers 8, and so does this.
            raise self._driver.error(THREAD_START, "startCoadd")
        if self._run_active:
            raise RuntimeError("an acquisition of this instrument is already under way")
        if files is not None:
            self.files = files
        summary = AcquisitionSummary(files_requested=self.files)
        self.last_acquisition = summary
        events.drain()
        self._driver.check(self._driver.spectrometer_startCoadd(0), "startCoadd")
        self._run_active = True
        selector = selectors.DefaultSelector()
        ended = False
        try:
            for kind, descriptor in events.descriptors.items():
                selector.register(descriptor, selectors.EVENT_READ, kind)
            previous: Optional[tuple[float, Interferogram]] = None
            while not ended:
                if not selector.select(timeout):
                    raise EventWaitTimeout(f"no event from the driver within {timeout} s")
                # The thread signals a file's co-add event before the run's final event, so the
                # final events are taken first: a file published before them is then seen too.
                failed = events.take("error")
                done = events.take("files")
                published = events.take("coadd")
                scans = events.take("scan")
                summary.scan_events += scans
                if scans and on_scan is not None:
                    on_scan(self.scan_progress)
                if published:
                    summary.files_published += published
                    current = self._fetch(self.interferogram_length)
                    if current is not None and not _same_file(current, previous):
                        previous = current
                        summary.files_yielded += 1
                        yield current
                        if self._events is not events:
                            # Closed inside the loop: close has stopped the run.
                            ended = True
                            return
                if failed:
                    ended = True
                    raise self._driver.last_error("co-add run")
                if done:
                    ended = True
            summary.completed = True
            if summary.files_missed > 0:
                warnings.warn(
                    f"{summary.files_missed} of {summary.files_published} files were replaced "
                    "by newer ones before they could be read",
                    RuntimeWarning,
                    stacklevel=2,
                )
        finally:
            selector.close()
            if ended:
                self._await_thread_end()
            self._run_active = False
            if not ended:
                self._abort_run()

    def _await_thread_end(self) -> None:
        # The thread signals the run's last event just before it leaves; until its status reads
        # Connected again, a new run or a calibration would find it still running.
        deadline = time.monotonic() + _THREAD_END_LIMIT_S
        while self.status in _RUNNING_STATUSES and time.monotonic() < deadline:
            time.sleep(_THREAD_END_POLL_S)

    def _abort_run(self) -> None:
        events = self._events
        if events is None or not self._opened:
            return
        if events.take("files") or events.take("error"):
            return
        if self.status not in _RUNNING_STATUSES:
            return
        try:
            self.stop()
        except AcquisitionStateError as error:
            # The run ended by itself between the test and the stop.
            if error.code != THREAD_NOT_RUNNING:
                raise

    # Valves, fibre inputs, auxiliary outputs

    def initialize(self) -> None:
        """Sends "init"."""
        self._driver.check(self._driver.spectrometer_initialize(), "initialize")

    def version(self) -> int:
        """The instrument's version number, 0 when it gave none."""
        return int(self._driver.spectrometer_version())

    def safe_valves(self, first: int, values: Sequence[int]) -> None:
        """Sends "savesafe" with `first` and three values."""
        array = Driver.int32_array(_three_values(values, "values"))
        self._driver.check(
            self._driver.spectrometer_safeValves(_int32(first, "first"), array), "safeValves"
        )

    def write_fiber(self, values: Sequence[int]) -> None:
        """Sends "valves" with three values."""
        array = Driver.int32_array(_three_values(values, "values"))
        self._driver.check(self._driver.spectrometer_writeFiber(array), "writeFiber")

    def read_fiber(self, inputs: Iterable[int] = range(1, FIBER_INPUTS + 1)) -> dict[int, int]:
        """Reads fibre inputs (numbers 1 to 16) and returns their 12-bit values by input."""
        wanted = sorted({_int32(number, "input") for number in inputs})
        if any(not 1 <= number <= FIBER_INPUTS for number in wanted):
            raise ValueError(f"fibre inputs are numbered 1 to {FIBER_INPUTS}, got {wanted}")
        requests = (ctypes.c_uint16 * FIBER_INPUTS)()
        for number in wanted:
            requests[number - 1] = 1
        results = (ctypes.c_uint32 * FIBER_INPUTS)()
        self._driver.check(self._driver.spectrometer_readFiber(requests, results), "readFiber")
        # Inputs 2k+1 and 2k+2 share word k: the odd one in bits 0-11, the even one in 16-27.
        return {
            number: (results[(number - 1) // 2] >> (16 if (number - 1) % 2 else 0)) & 0xFFF
            for number in wanted
        }

    def write_aux(self, state: int, mask: int) -> None:
        """Switches the auxiliary output that `mask` selects on (state non-zero) or off."""
        self._driver.check(
            self._driver.spectrometer_writeAux(_uint32(state, "state"), _uint32(mask, "mask")),
            "writeAux",
        )


def _same_file(
    current: tuple[float, Interferogram], previous: Optional[tuple[float, Interferogram]]
) -> bool:
    # A file published while its predecessor's event was being handled is copied early; its own
    # event then finds the same slot again.
    return (
        previous is not None
        and current[0] == previous[0]
        and bool(np.array_equal(current[1], previous[1]))
    )


def unglom(block: Union[bytes, bytearray, memoryview, np.ndarray], points: int,
           direction: int = 3) -> Interferogram:
    """Converts a raw data block into an interferogram with the driver's unglomData.

    The block is copied first (unglomData converts its words in place), so the caller's block
    is left as it is. `points` is per direction; the result holds 2 x points doubles for
    direction 3 (forward half first), else points. The driver's processing arrays are shared
    with the scan thread, so this refuses to run while a co-add or calibration runs.
    """
    points = _int32(points, "points")
    direction = _int32(direction, "direction")
    if not 1 <= points <= MAX_POINTS:
        raise ValueError(f"points {points} outside 1..{MAX_POINTS}")
    if direction not in (1, 2, 3):
        raise ValueError(f"direction {direction} is not 1, 2 or 3")
    halves = 2 if direction == 3 else 1
    needed = _HEADER_BYTES + halves * _BYTES_PER_POINT * points
    raw = bytearray(memoryview(block).tobytes())
    if len(raw) < needed:
        raise ValueError(f"block of {len(raw)} bytes is shorter than the {needed} it needs")
    out = np.empty(halves * points, dtype=np.float64)
    count = ctypes.c_int32(-1)
    driver = load_library()
    with _processing_lock:
        if _processing_busy():
            raise RuntimeError("unglom shares the driver's work arrays with a running co-add")
        buffer = (ctypes.c_uint8 * len(raw)).from_buffer(raw)
        driver.unglomData(
            buffer,
            ctypes.byref(count),
            points,
            direction,
            out.ctypes.data_as(ctypes.POINTER(ctypes.c_double)),
        )
    if count.value != out.size:
        raise RuntimeError(f"unglomData wrote {count.value} values, expected {out.size}")
    return out
