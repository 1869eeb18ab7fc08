"""Finding the driver's shared library and declaring its 39 exports for ctypes.

The driver keeps one state per process, so the library is loaded once and shared by everything in
this package. Every call goes through :class:`Driver`, which knows each export's argument and
result types and turns non-zero results into :class:`~ostreltcp.errors.OstrelError` exceptions
that carry the driver's own error text.
"""

from __future__ import annotations

import ctypes
import re
import sys
import threading
from pathlib import Path
from typing import Any, Optional, Sequence

from ._locations import find_shared_library, installed_library_dir, library_dirs
from .errors import OstrelError, SOCKET_FLAG, error_for

LIBRARY_ENV = "OSTRELTCP_LIBRARY"

_I32 = ctypes.c_int32
_U32 = ctypes.c_uint32
_F64 = ctypes.c_double
_PI32 = ctypes.POINTER(ctypes.c_int32)
_PU32 = ctypes.POINTER(ctypes.c_uint32)
_PU16 = ctypes.POINTER(ctypes.c_uint16)
_PF64 = ctypes.POINTER(ctypes.c_double)
_PCHAR = ctypes.POINTER(ctypes.c_char)
# A host event handle is a pointer-sized unsigned integer (an eventfd descriptor on POSIX).
EVENT_HANDLE = ctypes.c_size_t

# Result type and argument types of every export, in ordinal order.
SIGNATURES: dict[str, tuple[Any, tuple[Any, ...]]] = {
    "spectrometer_getLastError": (_I32, (_I32, _PCHAR, _I32)),
    "spectrometer_getTimestamp": (_I32, (_PF64,)),
    "spectrometer_safeValves": (_I32, (_I32, _PI32)),
    "spectrometer_calibrationScan": (_I32, ()),
    "spectrometer_close": (_I32, ()),
    "spectrometer_execute": (_I32, (_I32,)),
    "spectrometer_getCapabilities": (_I32, (_PI32,)),
    "spectrometer_getData": (_I32, (_PF64, _I32, _PF64)),
    "spectrometer_getFileProgress": (_I32, (_PI32,)),
    "spectrometer_getFiles": (_I32, (_PI32,)),
    "spectrometer_getGain": (_I32, (_PI32,)),
    "spectrometer_getPoints": (_I32, (_PI32,)),
    "spectrometer_getResolution": (_I32, (_PF64,)),
    "spectrometer_getScanProgress": (_I32, (_PI32,)),
    "spectrometer_getScans": (_I32, (_PI32,)),
    "spectrometer_getSkipPoints": (_I32, (_PI32,)),
    "spectrometer_getStatus": (_I32, (_PI32,)),
    "spectrometer_initialize": (_I32, ()),
    "spectrometer_open": (_I32, (_I32,)),
    "spectrometer_readFiber": (_I32, (_PU16, _PU32)),
    "spectrometer_reset": (_I32, (_I32,)),
    "spectrometer_setCoaddCompleteEventHandle": (_I32, (EVENT_HANDLE,)),
    "spectrometer_setErrorEventHandle": (_I32, (EVENT_HANDLE,)),
    "spectrometer_setFiles": (_I32, (_I32,)),
    "spectrometer_setFilesCompleteEventHandle": (_I32, (EVENT_HANDLE,)),
    "spectrometer_setGain": (_I32, (_I32,)),
    "spectrometer_setIPAddress": (_I32, (ctypes.c_char_p,)),
    "spectrometer_setPoints": (_I32, (_I32,)),
    "spectrometer_setResolution": (_I32, (_F64,)),
    "spectrometer_setScanCompleteEventHandle": (_I32, (EVENT_HANDLE,)),
    "spectrometer_setScanDirection": (_I32, (_I32,)),
    "spectrometer_setScans": (_I32, (_I32,)),
    "spectrometer_setSkipPoints": (_I32, (_I32,)),
    "spectrometer_startCoadd": (_I32, (_I32,)),
    "spectrometer_stop": (_I32, ()),
    "spectrometer_version": (_I32, ()),
    "spectrometer_writeAux": (_I32, (_U32, _U32)),
    "spectrometer_writeFiber": (_I32, (_PI32,)),
    "unglomData": (None, (ctypes.c_void_p, _PI32, _I32, _I32, _PF64)),
}

# Named socket-layer codes: a text that begins with one of these names belongs to the code
# -value with the socket flag set.
_SOCKET_CODE_NAMES = {
    "WIL_CANNOT_COMPLY": 0,
    "WIL_EOF": -1,
    "WIL_ALREADY_IN_USE": -2,
    "WIL_NOT_IN_USE": -3,
    "WIL_IS_BLOCKING": -4,
    "WIL_BAD_STATUS_FLAG": -5,
    "WIL_BAD_DOTTED": -6,
    "WIL_INVALID_SOCKET": -7,
    "WIL_TIMED_OUT": -8,
    "WIL_NO_SOCK_ADDR": -9,
    "WIL_NO_PROTOCOL": -10,
    "WIL_NO_SERVICE": -11,
    "WIL_NO_HOST": -12,
    "WIL_NO_IP_ADDR": -15,
    "WIL_AWAITING": -16,
}
_HIGHEST_DRIVER_CODE = 17
# The driver's longest text is a socket-layer text of 1023 characters plus a system message.
_TEXT_BUFFER_SIZE = 2048


class LibraryNotFoundError(OSError):
    """The driver's shared library is not where this package looked for it."""


def _library_names() -> tuple[str, ...]:
    if sys.platform == "win32":
        return ("ostreltcp.dll",)
    if sys.platform == "darwin":
        return ("libostreltcp.dylib",)
    return ("libostreltcp.so", "libostreltcp.so.1")


def candidate_paths() -> list[Path]:
    """The places searched for the library when OSTRELTCP_LIBRARY is not set, in order."""
    folders = library_dirs("src")
    if installed_library_dir() is None:
        repository = Path(__file__).resolve().parent.parent.parent
        folders += [
            repository / "build" / "src",
            repository / "build" / "default" / "src" / "RelWithDebInfo",
        ]
    return [folder / name for folder in folders for name in _library_names()]


def find_library() -> str:
    """Returns the path of the driver library to load.

    OSTRELTCP_LIBRARY wins when it is set (and must then name an existing file); otherwise the
    package folder, then the library folder this copy was installed with (or, in the source
    tree, the usual build folders), then the system's library search path are tried.
    """
    return find_shared_library(
        LIBRARY_ENV, candidate_paths(), "ostreltcp", "driver library", LibraryNotFoundError
    )


class Driver:
    """The loaded library with typed exports and error reporting.

    Attribute access returns the typed ctypes function (``driver.spectrometer_open(0)``).
    """

    def __init__(self, path: str) -> None:
        # The exports use stdcall on 32-bit Windows.
        windows = sys.platform == "win32"
        loader = ctypes.WinDLL if windows else ctypes.CDLL  # type: ignore[attr-defined]
        self.path = path
        self._dll = loader(path)
        missing = []
        for name, (restype, argtypes) in SIGNATURES.items():
            try:
                function = getattr(self._dll, name)
            except AttributeError:
                missing.append(name)
                continue
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)
        if missing:
            raise LibraryNotFoundError(f"{path} lacks the exports {', '.join(missing)}")

    def __getattr__(self, name: str) -> Any:
        raise AttributeError(f"the driver has no export {name}")

    def error_text(self, code: int) -> str:
        """The driver's text for a code; 0 gives the text of the last recorded error."""
        buffer = ctypes.create_string_buffer(_TEXT_BUFFER_SIZE)
        self.spectrometer_getLastError(code, buffer, len(buffer))
        return buffer.value.decode("utf-8", errors="replace")

    def error(self, code: int, operation: Optional[str] = None) -> OstrelError:
        """The exception for a non-zero driver result."""
        return error_for(code, self.error_text(code), operation)

    def check(self, result: int, operation: str) -> None:
        """Raises the exception for `result` unless it is 0."""
        if result != 0:
            raise self.error(result, operation)

    def last_error_code(self) -> int:
        """The code of the last recorded error, recovered from its text.

        The driver hands out the last error only as text. Every driver code's text is built with
        the same platform suffix, so comparing the texts identifies the code; socket-layer texts
        name their code ("WIL_EOF ...") or its platform number ("winerror 10061 ...").
        """
        text = self.error_text(0)
        for code in range(1, _HIGHEST_DRIVER_CODE + 1):
            if self.error_text(code) == text:
                return code
        match = re.match(r"winerror (\d+)", text)
        if match:
            return int(match.group(1)) | SOCKET_FLAG
        for name, value in _SOCKET_CODE_NAMES.items():
            if text.startswith(name + " "):
                return -value | SOCKET_FLAG
        return 0

    def last_error(self, operation: Optional[str] = None) -> OstrelError:
        """The exception for the last error the driver recorded (for failures inside a run)."""
        code = self.last_error_code()
        return error_for(code, self.error_text(0), operation)

    def int_out(self, export: str) -> int:
        """Calls a getter that stores one int32 and returns the value."""
        value = ctypes.c_int32()
        self.check(getattr(self, export)(ctypes.byref(value)), export)
        return value.value

    def double_out(self, export: str) -> float:
        """Calls a getter that stores one double and returns the value."""
        value = ctypes.c_double()
        self.check(getattr(self, export)(ctypes.byref(value)), export)
        return value.value

    @staticmethod
    def int32_array(values: Sequence[int]) -> Any:
        return (ctypes.c_int32 * len(values))(*values)


_loaded: Optional[Driver] = None
_load_lock = threading.Lock()


def load_library(path: Optional[str] = None) -> Driver:
    """Loads the driver once per process and returns it.

    `path` (or the search of :func:`find_library`) is used by the first call only; a later call
    with a different explicit path raises, because one process holds one driver state.
    """
    global _loaded
    with _load_lock:
        if _loaded is None:
            _loaded = Driver(path or find_library())
        elif path is not None and Path(path).resolve() != Path(_loaded.path).resolve():
            raise RuntimeError(f"the driver is already loaded from {_loaded.path}")
        return _loaded
