"""Spectra from interferograms, through the spectral library's C interface.

The same code as ``ostrel-acquire`` uses (libostrelspectra), so a spectrum computed here is the
one the tool writes. Wavenumbers are in cm^-1: adjacent interferogram points are
``undersampling / (2 * laser_wavenumber)`` cm of optical path difference apart and the highest
wavenumber is ``laser_wavenumber / undersampling``.
"""

from __future__ import annotations

import ctypes
import sys
import threading
from pathlib import Path
from dataclasses import dataclass, field
from typing import Optional

import numpy as np

from ._locations import find_shared_library, installed_library_dir, library_dirs
# Ratios against a background, as ostrel-acquire --background writes them.
from .ratios import absorbance, transmittance  # noqa: E402,F401

LIBRARY_ENV = "OSTRELTCP_SPECTRA_LIBRARY"

APODIZATIONS = (
    "boxcar",
    "triangular",
    "happ-genzel",
    "blackman-harris-3",
    "blackman-harris-4",
    "norton-beer-weak",
    "norton-beer-medium",
    "norton-beer-strong",
)
PHASE_MODES = ("mertz", "magnitude", "power")

_ERR_CAPACITY = -3
_ERROR_TEXT_SIZE = 512
_MAX_GATES = 5
_GATE_NAME_SIZE = 16
_GATE_REASON_SIZE = 256
_HINT_SIZE = 512
GATE_STATUSES = ("ok", "warning", "fail")
# The detector band the out_of_band gate holds the spectrum to, cm^-1 (the library's default).
DETECTOR_BAND = (400.0, 6000.0)


class SpectraLibraryNotFoundError(OSError):
    """The spectral library is not where this package looked for it."""


class _Settings(ctypes.Structure):
    _fields_ = [
        ("laser_wavenumber", ctypes.c_double),
        ("undersampling", ctypes.c_int32),
        ("apodization", ctypes.c_char_p),
        ("zero_fill", ctypes.c_int32),
        ("phase", ctypes.c_char_p),
        ("phase_resolution", ctypes.c_double),
        ("range_low", ctypes.c_double),
        ("range_high", ctypes.c_double),
        ("detector_low", ctypes.c_double),
        ("detector_high", ctypes.c_double),
    ]


class _Gate(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char * _GATE_NAME_SIZE),
        ("status", ctypes.c_int32),
        ("value", ctypes.c_double),
        ("threshold", ctypes.c_double),
        ("reason", ctypes.c_char * _GATE_REASON_SIZE),
    ]


class _Info(ctypes.Structure):
    _fields_ = [
        ("first_wavenumber", ctypes.c_double),
        ("wavenumber_step", ctypes.c_double),
        ("count", ctypes.c_size_t),
        ("zpd_index", ctypes.c_double),
        ("resolution", ctypes.c_double),
    ]


def _library_names() -> tuple[str, ...]:
    if sys.platform == "win32":
        return ("ostrelspectra.dll",)
    if sys.platform == "darwin":
        return ("libostrelspectra.dylib",)
    return ("libostrelspectra.so", "libostrelspectra.so.1")


def candidate_paths() -> list[Path]:
    """The places searched when OSTRELTCP_SPECTRA_LIBRARY is not set, in order: the package
    folder, then the library folder this copy was installed with (or, in the source tree, the
    build trees' spectra/ folders)."""
    folders = library_dirs("spectra")
    if installed_library_dir() is None:
        repository = Path(__file__).resolve().parent.parent.parent
        folders.append(repository / "build" / "spectra")
    return [folder / name for folder in folders for name in _library_names()]


def find_spectra_library() -> str:
    """Returns the path of the spectral library to load.

    OSTRELTCP_SPECTRA_LIBRARY wins when it is set (and must then name an existing file);
    otherwise the package folder, then the installed library folder (or the build folders of the
    source tree), then the system's library search path are tried.
    """
    return find_shared_library(
        LIBRARY_ENV, candidate_paths(), "ostrelspectra", "spectral library",
        SpectraLibraryNotFoundError,
    )


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def _load() -> ctypes.CDLL:
    global _library
    with _lock:
        if _library is None:
            library = ctypes.CDLL(find_spectra_library())
            library.ostrel_spectra_single_beam.restype = ctypes.c_int32
            library.ostrel_spectra_single_beam.argtypes = (
                ctypes.POINTER(_Settings),
                ctypes.POINTER(ctypes.c_double),
                ctypes.c_size_t,
                ctypes.POINTER(ctypes.c_double),
                ctypes.c_size_t,
                ctypes.POINTER(_Info),
                ctypes.c_char_p,
                ctypes.c_size_t,
            )
            library.ostrel_spectra_single_beam_gated.restype = ctypes.c_int32
            library.ostrel_spectra_single_beam_gated.argtypes = (
                ctypes.POINTER(_Settings),
                ctypes.POINTER(ctypes.c_double),
                ctypes.c_size_t,
                ctypes.POINTER(ctypes.c_double),
                ctypes.c_size_t,
                ctypes.POINTER(_Info),
                ctypes.POINTER(_Gate),
                ctypes.c_size_t,
                ctypes.POINTER(ctypes.c_size_t),
                ctypes.POINTER(ctypes.c_int32),
                ctypes.c_char_p,
                ctypes.c_size_t,
            )
            library.ostrel_spectra_zpd_agreement.restype = ctypes.c_int32
            library.ostrel_spectra_zpd_agreement.argtypes = (
                ctypes.c_double, ctypes.c_double, ctypes.c_size_t, ctypes.POINTER(_Gate))
            library.ostrel_spectra_hint.restype = ctypes.c_int32
            library.ostrel_spectra_hint.argtypes = (
                ctypes.POINTER(_Gate), ctypes.c_size_t, ctypes.c_double, ctypes.c_size_t,
                ctypes.c_int32, ctypes.c_int64, ctypes.c_char_p, ctypes.c_size_t)
            library.ostrel_spectra_max_values.restype = ctypes.c_int32
            library.ostrel_spectra_max_values.argtypes = (
                ctypes.POINTER(_Settings),
                ctypes.c_size_t,
                ctypes.POINTER(ctypes.c_size_t),
            )
            _library = library
        return _library



@dataclass(frozen=True)
class Gate:
    """One quality gate of a half: ``name`` ("burst", "zpd_edge", "clipped", "out_of_band",
    "zpd_agreement"), ``status`` ("ok", "warning" or "fail"), the ``value`` measured, the
    ``threshold`` that decided the status and the ``reason`` in words."""

    name: str
    status: str
    value: float
    threshold: float
    reason: str

    @property
    def ok(self) -> bool:
        return self.status == "ok"


def _gate_from(raw: _Gate) -> Gate:
    return Gate(raw.name.decode(), GATE_STATUSES[raw.status], raw.value, raw.threshold,
                raw.reason.decode(errors="replace"))


def _gate_to(gate: Gate) -> _Gate:
    return _Gate(gate.name.encode()[:_GATE_NAME_SIZE - 1], GATE_STATUSES.index(gate.status),
                 gate.value, gate.threshold, gate.reason.encode()[:_GATE_REASON_SIZE - 1])


@dataclass(frozen=True)
class HalfQuality:
    """The quality gates of one half and where its ZPD is (in points from its start)."""

    gates: tuple[Gate, ...]
    zpd_index: float
    points: int

    @property
    def worst(self) -> str:
        """The worst status of the gates: "ok", "warning" or "fail"."""
        return max((gate.status for gate in self.gates), key=GATE_STATUSES.index, default="ok")

    @property
    def ok(self) -> bool:
        return self.worst == "ok"

    def gate(self, name: str) -> Gate:
        """The gate of that name (KeyError when the half has none)."""
        for gate in self.gates:
            if gate.name == name:
                return gate
        raise KeyError(name)

    def hint(self, direction: str = "forward", skip: int = 0) -> str:
        """What to try about the worst gate, for a half recorded in ``direction`` ("forward" or
        "reverse") at ``skip`` skip points: ``--calibrate``, or a ``--skip`` value that puts ZPD
        256 points into the scan when the burst is at an edge. Empty when every gate is ok."""
        if direction not in ("forward", "reverse"):
            raise ValueError("direction must be 'forward' or 'reverse'")
        raw = (_Gate * _MAX_GATES)(*(_gate_to(gate) for gate in self.gates[:_MAX_GATES]))
        text = ctypes.create_string_buffer(_HINT_SIZE)
        result = _load().ostrel_spectra_hint(raw, min(len(self.gates), _MAX_GATES),
                                             float(self.zpd_index), int(self.points),
                                             int(direction == "reverse"), int(skip), text,
                                             _HINT_SIZE)
        if result != 0:
            raise ValueError("the gates cannot be read back")
        return text.value.decode(errors="replace")


class SingleBeam(tuple):
    """``(wavenumbers, values)`` as before, unpacking into two arrays, with the half's quality
    gates in ``.quality`` (a HalfQuality)."""

    quality: HalfQuality

    def __new__(cls, wavenumbers: np.ndarray, values: np.ndarray, quality: HalfQuality):
        made = super().__new__(cls, (wavenumbers, values))
        made.quality = quality
        return made

    @property
    def wavenumbers(self) -> np.ndarray:
        return self[0]

    @property
    def values(self) -> np.ndarray:
        return self[1]


def _run(interferogram, laser_wavenumber, undersampling, apodization, zero_fill, phase,
         phase_resolution, wavenumber_range, detector_band=DETECTOR_BAND):
    if apodization not in APODIZATIONS and apodization != "blackman-harris":
        raise ValueError(
            f"unknown apodization {apodization!r}; one of {', '.join(APODIZATIONS)}"
        )
    if phase not in PHASE_MODES:
        raise ValueError(f"unknown phase mode {phase!r}; one of {', '.join(PHASE_MODES)}")
    samples = np.ascontiguousarray(interferogram, dtype=np.float64)
    if samples.ndim != 1:
        raise ValueError("the interferogram must be one-dimensional (one half of a scan)")
    low, high = wavenumber_range if wavenumber_range is not None else (0.0, 1.0e300)
    detector_low, detector_high = detector_band
    settings = _Settings(
        float(laser_wavenumber),
        int(undersampling),
        apodization.encode(),
        int(zero_fill),
        phase.encode(),
        float(phase_resolution),
        float(low),
        float(high),
        float(detector_low),
        float(detector_high),
    )
    library = _load()
    capacity = ctypes.c_size_t(0)
    error = ctypes.create_string_buffer(_ERROR_TEXT_SIZE)
    if library.ostrel_spectra_max_values(ctypes.byref(settings), samples.size,
                                         ctypes.byref(capacity)) != 0:
        # The single-beam call below states what is wrong with the settings.
        capacity = ctypes.c_size_t(0)
    values = np.empty(capacity.value, dtype=np.float64)
    info = _Info()
    gates = (_Gate * _MAX_GATES)()
    gate_count = ctypes.c_size_t(0)
    result = library.ostrel_spectra_single_beam_gated(
        ctypes.byref(settings),
        samples.ctypes.data_as(ctypes.POINTER(ctypes.c_double)),
        samples.size,
        values.ctypes.data_as(ctypes.POINTER(ctypes.c_double)),
        values.size,
        ctypes.byref(info),
        gates,
        _MAX_GATES,
        ctypes.byref(gate_count),
        None,
        error,
        _ERROR_TEXT_SIZE,
    )
    if result != 0:
        raise ValueError(error.value.decode(errors="replace"))
    values = values[: info.count].copy()
    wavenumbers = info.first_wavenumber + info.wavenumber_step * np.arange(info.count)
    quality = HalfQuality(tuple(_gate_from(gates[i]) for i in range(gate_count.value)),
                          info.zpd_index, samples.size)
    return wavenumbers, values, info, quality


def single_beam(
    interferogram,
    laser_wavenumber: float = 15798.0,
    undersampling: int = 2,
    apodization: str = "happ-genzel",
    zero_fill: int = 2,
    phase: str = "mertz",
    phase_resolution: float = 32.0,
    wavenumber_range: Optional[tuple[float, float]] = None,
    detector_band: tuple[float, float] = DETECTOR_BAND,
) -> SingleBeam:
    """The single-beam spectrum of one half of a scan.

    Returns ``(wavenumbers, values)``: wavenumbers in cm^-1 (ascending, uniform) and the
    phase-corrected spectrum (``phase="mertz"``), its modulus (``"magnitude"``) or its square
    (``"power"``). A reverse half may be passed as recorded. The result also carries the half's
    quality gates in ``.quality`` (see HalfQuality); ``detector_band`` (cm^-1) is where the
    out_of_band gate expects the signal. Raises ValueError for an unknown name, an unusable
    setting or an interferogram that cannot be transformed.
    """
    wavenumbers, values, _, quality = _run(interferogram, laser_wavenumber, undersampling,
                                           apodization, zero_fill, phase, phase_resolution,
                                           wavenumber_range, detector_band)
    return SingleBeam(wavenumbers, values, quality)


def zpd_agreement(forward: HalfQuality, reverse: HalfQuality) -> Gate:
    """The zpd_agreement gate of a two-direction record from its halves' quality: the reverse
    half runs the forward path backwards, so its ZPD must lie at points - 1 - the forward one."""
    gate = _Gate()
    result = _load().ostrel_spectra_zpd_agreement(float(forward.zpd_index),
                                                  float(reverse.zpd_index), int(forward.points),
                                                  ctypes.byref(gate))
    if result != 0:
        raise ValueError("the ZPDs must be finite numbers")
    return _gate_from(gate)


def zpd_and_resolution(interferogram, laser_wavenumber: float = 15798.0,
                       undersampling: int = 2) -> tuple[float, float]:
    """ZPD (in points, to a fraction) and the nominal resolution (cm^-1) of one half."""
    _, _, info, _ = _run(interferogram, laser_wavenumber, undersampling, "boxcar", 1,
                         "magnitude", 32.0, None)
    return info.zpd_index, info.resolution
