"""Reading a run archive (``run.h5``) that ``ostrel-acquire --format hdf5`` writes, and listing
the runs of a data directory.

The archive grows file by file while a run goes on. A file counts once its entry in
``file_numbers`` is written, which happens after all its data; rows of the data sets beyond that
count (a run killed while writing a file) are left out here. A run that was killed leaves the
archive marked as still open for writing; it is opened in HDF5's single-writer/multiple-reader
mode, which reads such a file, and a file that a run is still writing, alike.

Needs h5py (Debian: python3-h5py) for ``open_run``; ``list_runs`` and ``read_run`` read the
runs' JSON files with the standard library.

A data directory holds one directory per run, named by the run's id. Its ``summary.json`` is
written with the status "running" when the run starts and rewritten with the final status, and the
records of all its files, when it ends. While the run goes on, each completed file appends its
record to ``files.jsonl``, one JSON object a line; that file is removed once the records are in
the summary.
"""

from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field
from os import PathLike
from pathlib import Path
from typing import Any

import numpy as np

__all__ = ["Run", "RunInfo", "list_runs", "open_run", "read_run"]


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
    quality_status: np.ndarray | None = None  # (files, halves, gates): 0 ok, 1 warning, 2 fail
    quality_value: np.ndarray | None = None
    gates: list[str] = field(default_factory=list)  # names of the quality arrays' third axis
    # A two-direction run's combined single beam per file, (files, wavenumbers): the mean of
    # the halves' single beams (or the one half that passed its quality gates), with its
    # ratios against the combined background.
    combined: np.ndarray | None = None
    combined_transmittance: np.ndarray | None = None
    combined_absorbance: np.ndarray | None = None

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
        gates = ([_text(g) for g in archive["quality_status"].attrs["gates"]]
                 if "quality_status" in archive else [])
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
            quality_status=per_file("quality_status"),
            quality_value=per_file("quality_value"),
            gates=gates,
            combined=per_file("combined_single_beam"),
            combined_transmittance=per_file("combined_transmittance"),
            combined_absorbance=per_file("combined_absorbance"),
        )


@dataclass(frozen=True)
class RunInfo:
    """One run of a data directory, as its summary and file records describe it.

    ``state`` is the summary's status ("running", "complete", "stopped", "interrupted" or
    "failed"), except that a run still marked "running" whose process is gone is "interrupted",
    and a run whose summary is not a readable JSON object is "unreadable" (its kind, name and
    start are then empty). ``files`` holds the records of the completed files, oldest first.
    """

    id: str
    kind: str
    name: str
    state: str
    started: str  # ISO 8601, UTC
    started_ms: float | None  # ms since 1970-01-01 UTC; None when the summary does not say
    files: list[dict[str, Any]] = field(hash=False)
    directory: Path


_SUMMARY = "summary.json"
_FILE_RECORDS = "files.jsonl"


def _process_alive(pid: Any) -> bool:
    """Whether a process with this id runs on this machine."""
    # 0 and negative ids would address process groups, not one process.
    if not isinstance(pid, int) or isinstance(pid, bool) or pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True  # it exists, under another user
    except OverflowError:
        return False
    return True


def _file_records(path: Path) -> list[dict[str, Any]]:
    """The records in a run's files.jsonl; a line that is not a whole JSON object (the last line
    of a process killed while appending it) is left out."""
    try:
        data = path.read_bytes()
    except OSError:
        return []
    records = []
    for line in data.split(b"\n"):
        try:
            record = json.loads(line.decode("utf-8"))
        except (ValueError, RecursionError):  # also UnicodeDecodeError
            continue
        if isinstance(record, dict):
            records.append(record)
    return records


def _milliseconds(value: Any) -> float | None:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    try:
        value = float(value)
    except OverflowError:
        return None
    return value if math.isfinite(value) else None


def _text_field(values: dict[str, Any], key: str) -> str:
    value = values.get(key)
    return value if isinstance(value, str) else ""


def read_run(directory: str | PathLike[str]) -> RunInfo | None:
    """Describes the run in ``directory``; None when it is not a run (no readable summary.json)."""
    directory = Path(directory)
    try:
        data = (directory / _SUMMARY).read_bytes()
    except OSError:
        return None
    try:
        summary = json.loads(data.decode("utf-8"))
    except (ValueError, RecursionError):  # also UnicodeDecodeError
        summary = None
    run = summary.get("run") if isinstance(summary, dict) else None
    status = summary.get("status") if isinstance(summary, dict) else None
    if not isinstance(run, dict) or not isinstance(status, str):
        return RunInfo(
            id=directory.name,
            kind="",
            name="",
            state="unreadable",
            started="",
            started_ms=None,
            files=_file_records(directory / _FILE_RECORDS),
            directory=directory,
        )

    files = summary.get("files")
    if status == "running" or not isinstance(files, list):
        # A run that has not ended keeps its records in files.jsonl.
        files = _file_records(directory / _FILE_RECORDS)
    else:
        files = [record for record in files if isinstance(record, dict)]
    state = status
    if status == "running" and not _process_alive(run.get("pid")):
        state = "interrupted"
    return RunInfo(
        id=_text_field(run, "id") or directory.name,
        kind=_text_field(run, "kind"),
        name=_text_field(run, "name"),
        state=state,
        started=_text_field(run, "started"),
        started_ms=_milliseconds(run.get("started_ms")),
        files=files,
        directory=directory,
    )


def list_runs(data_directory: str | PathLike[str]) -> list[RunInfo]:
    """The runs in ``data_directory``, newest first by their start; runs whose start is unknown
    (unreadable summaries) come last. Directories that hold no summary.json are left out."""
    runs = []
    with os.scandir(data_directory) as entries:
        for entry in entries:
            if not entry.is_dir():
                continue
            run = read_run(entry.path)
            if run is not None:
                runs.append(run)
    runs.sort(key=lambda run: run.id)
    runs.sort(key=lambda run: (run.started_ms is None, -(run.started_ms or 0.0)))
    return runs
