"""Python access to the OstrelTCP spectrometer driver.

A small typed layer over the driver's shared library (through ctypes): an :class:`Instrument`
with its settings as properties and co-add runs as a generator of numpy arrays, exceptions that
carry the driver's error codes and texts, and :func:`unglom` for raw data blocks.
"""

from ._library import LibraryNotFoundError, find_library, load_library
from .errors import (
    AcquisitionStateError,
    AlreadyOpenError,
    ArgumentError,
    DataError,
    EventWaitTimeout,
    InstrumentError,
    OstrelConnectionError,
    OstrelError,
    OstrelTimeoutError,
    SOCKET_FLAG,
)
from .instrument import (
    MAX_POINTS,
    AcquisitionSummary,
    DriverStatus,
    Instrument,
    unglom,
)
from .simulator import Simulator, find_simulator
from . import spectra

__all__ = [
    "spectra",
    "MAX_POINTS",
    "SOCKET_FLAG",
    "AcquisitionStateError",
    "AcquisitionSummary",
    "AlreadyOpenError",
    "ArgumentError",
    "DataError",
    "DriverStatus",
    "EventWaitTimeout",
    "Instrument",
    "InstrumentError",
    "LibraryNotFoundError",
    "OstrelConnectionError",
    "OstrelError",
    "OstrelTimeoutError",
    "Simulator",
    "find_library",
    "find_simulator",
    "load_library",
    "unglom",
]

__version__ = "1.79.0"
