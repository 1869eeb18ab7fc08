"""Reading a run archive (``run.h5``) that ``ostrel-acquire --format hdf5`` writes.

The archive grows file by file while a run goes on. A file counts once its entry in
``file_numbers`` is written, which happens after all its data; rows of the data sets beyond that
count (a run killed while writing a file) are left out here. A run that was killed leaves the
archive marked as still open for writing; it is opened in HDF5's single-writer/multiple-reader
mode, which reads such a file, and a file that a run is still writing, alike.

Needs h5py (Debian: python3-h5py).
"""

from __future__ import annotations

from dataclasses import dataclass
from os import PathLike
from typing import Any

import numpy as np

__all__ = ["Run", "open_run"]


@dataclass
class Run:
    """The arrays and settings of one run.

    Per-file arrays have the shape (files, halves, points) or (files, halves, wavenumbers);
    ``halves`` names the second axis ("forward", "reverse").
    """

    settings: dict[str, Any]
    halves: list[str]
    file_numbers: np.ndarray
    timestamps: np.ndarray  # ms since 1970-01-01 UTC, the driver's stamps
    interferograms: np.ndarray
    wavenumber: np.ndarray | None = None  # cm-1
    single_beam: np.ndarray | None = None
    mean_single_beam: np.ndarray | None = None  # (halves, wavenumbers); None before the end
    background: np.ndarray | None = None
    transmittance: np.ndarray | None = None
    absorbance: np.ndarray | None = None

    @property
    def files(self) -> int:
        return len(self.file_numbers)

    def half(self, name: str) -> int:
        """The index of a half on the second axis of the per-file arrays."""
        return self.halves.index(name)


def _text(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.decode("utf-8")
    if isinstance(value, np.generic):
        return value.item()
    return value


def open_run(path: str | PathLike[str]) -> Run:
    """Reads the archive at ``path`` (a ``run.h5``, or the run's directory) into memory."""
    import os

    import h5py

    path = os.fspath(path)
    if os.path.isdir(path):
        path = os.path.join(path, "run.h5")
    with h5py.File(path, "r", libver="latest", swmr=True) as archive:
        numbers = archive["file_numbers"][()]
        count = len(numbers)

        def per_file(name: str) -> np.ndarray | None:
            if name not in archive:
                return None
            return archive[name][:count]

        def whole(name: str) -> np.ndarray | None:
            return archive[name][()] if name in archive else None

        mean = whole("mean_single_beam")
        if mean is not None and np.isnan(mean).all():
            mean = None
        halves = [_text(h) for h in archive["interferograms"].attrs["halves"]]
        return Run(
            settings={key: _text(value) for key, value in archive.attrs.items()},
            halves=halves,
            file_numbers=numbers,
            timestamps=archive["timestamps"][:count],
            interferograms=archive["interferograms"][:count],
            wavenumber=whole("wavenumber"),
            single_beam=per_file("single_beam"),
            mean_single_beam=mean,
            background=whole("background"),
            transmittance=per_file("transmittance"),
            absorbance=per_file("absorbance"),
        )
