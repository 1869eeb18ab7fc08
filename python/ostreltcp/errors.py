"""Exceptions for the driver's error codes.

Every non-zero result of a driver call becomes an :class:`OstrelError`, of a subclass chosen by
the code's family, carrying the code and the driver's own text for it. The families also derive
from the matching built-in exceptions, so ``except TimeoutError`` catches a missing "OK" and
``except ConnectionError`` a refused connection.
"""

from __future__ import annotations

from typing import Optional

# Socket-layer failures carry this bit, with the magnitude of the socket-layer code below it.
SOCKET_FLAG = 0x8000

COMMAND_SOCKET = 1
DATA_SOCKET = 2
OK_TIMEOUT = 3
INSTRUMENT = 4
CONNECT = 5
EXCEPTION = 6
CALSCAN = 7
THREAD_START = 8
NO_DATA = 9
THREAD_NOT_RUNNING = 10
DEADMAN = 11
SCAN_TIMEOUT = 12
SHORT_BLOCK = 13
SOCKET_READ = 14
INSTRUMENT_SCAN = 15
NULL_ARGUMENT = 16
POINTS_RANGE = 17
SCAN_DIR_RANGE = 18


class OstrelError(Exception):
    """A failure reported by the driver.

    Attributes:
        code: the driver's result (a driver code, or a socket-layer code with bit 0x8000 set).
        text: the driver's text for that code, exactly as spectrometer_getLastError gives it.
        operation: the driver call that failed, when known.
    """

    def __init__(self, code: int, text: str, operation: Optional[str] = None) -> None:
        super().__init__(code, text)
        self.code = code
        self.text = text
        self.operation = operation

    @property
    def socket_error(self) -> Optional[int]:
        """The socket-layer magnitude of a socket-flagged code (10061 for a refusal), else None."""
        return self.code & ~SOCKET_FLAG if self.code & SOCKET_FLAG else None

    def __str__(self) -> str:
        where = f"{self.operation}: " if self.operation else ""
        return f"{where}{self.text.rstrip()} (code {self.code}, 0x{self.code:04X})"

    def __reduce__(self) -> tuple[type, tuple[int, str, Optional[str]]]:
        return (type(self), (self.code, self.text, self.operation))


class OstrelConnectionError(OstrelError, ConnectionError):
    """No usable connection: codes 1, 2, 5, 6, 14 and every socket-layer code."""


class OstrelTimeoutError(OstrelError, TimeoutError):
    """The instrument did not answer in time: codes 3 (no "OK"), 11 (deadman), 12 (scan)."""


class InstrumentError(OstrelError):
    """The instrument reported a failure: codes 4 ("ERROR" reply), 7 (calibration), 15 (scan)."""


class DataError(OstrelError):
    """No interferogram of the expected size (9) or a block cut short (13)."""


class AcquisitionStateError(OstrelError):
    """The scan thread could not start (8) or is not running (10)."""


class ArgumentError(OstrelError, ValueError):
    """The driver refused an argument: a null pointer (16), a points setting (17) or a scan
    direction setting (18) out of range."""


_FAMILIES: dict[int, type[OstrelError]] = {
    COMMAND_SOCKET: OstrelConnectionError,
    DATA_SOCKET: OstrelConnectionError,
    CONNECT: OstrelConnectionError,
    EXCEPTION: OstrelConnectionError,
    SOCKET_READ: OstrelConnectionError,
    OK_TIMEOUT: OstrelTimeoutError,
    DEADMAN: OstrelTimeoutError,
    SCAN_TIMEOUT: OstrelTimeoutError,
    INSTRUMENT: InstrumentError,
    CALSCAN: InstrumentError,
    INSTRUMENT_SCAN: InstrumentError,
    NO_DATA: DataError,
    SHORT_BLOCK: DataError,
    THREAD_START: AcquisitionStateError,
    THREAD_NOT_RUNNING: AcquisitionStateError,
    NULL_ARGUMENT: ArgumentError,
    POINTS_RANGE: ArgumentError,
    SCAN_DIR_RANGE: ArgumentError,
}


def error_class(code: int) -> type[OstrelError]:
    """The exception class for a driver result."""
    if code & SOCKET_FLAG:
        return OstrelConnectionError
    return _FAMILIES.get(code, OstrelError)


def error_for(code: int, text: str, operation: Optional[str] = None) -> OstrelError:
    """The exception for a driver result and its text."""
    return error_class(code)(code, text, operation)


class AlreadyOpenError(RuntimeError):
    """Another Instrument of this process is open: the driver has one state per process."""


class EventWaitTimeout(TimeoutError):
    """No event came from the driver within the acquisition's time limit."""
