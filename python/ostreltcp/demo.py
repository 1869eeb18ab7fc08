"""A short acquisition against the simulator: ``python -m ostreltcp.demo``.

Starts ostrel-sim on free loopback ports, points the driver at it, runs one co-add run and prints
a line per file and a summary. Exit status 0 on success, 1 when the driver reports a failure.
"""

from __future__ import annotations

import argparse
import sys
import time
from datetime import datetime, timezone
from typing import Optional, Sequence

import numpy as np

from .errors import OstrelError
from .instrument import DriverStatus, Instrument
from .simulator import Simulator


def _arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m ostreltcp.demo", description=__doc__.splitlines()[0]
    )
    parser.add_argument("--sim", help="the ostrel-sim program (default: OSTREL_SIM or the build)")
    parser.add_argument("--points", type=int, default=2048, help="points per direction")
    parser.add_argument("--scans", type=int, default=4, help="scans co-added per file")
    parser.add_argument("--files", type=int, default=3, help="files in the run")
    parser.add_argument("--direction", type=int, default=3, choices=(1, 2, 3))
    parser.add_argument("--scan-ms", type=float, default=20.0, help="simulated scan at 16k points")
    return parser.parse_args(argv)


def _clock(stamp_ms: float) -> str:
    moment = datetime.fromtimestamp(stamp_ms / 1000.0, tz=timezone.utc)
    return moment.isoformat(timespec="milliseconds")


def _status_name(status: object) -> str:
    return status.name if isinstance(status, DriverStatus) else str(status)


def run(argv: Optional[Sequence[str]] = None) -> int:
    options = _arguments(argv)
    # The centre burst in the middle of the scan, where a real instrument's skip points put it.
    simulator = Simulator(
        "--scan-ms", str(options.scan_ms), "--burst", str(options.points // 2),
        executable=options.sim,
    )
    try:
        with simulator:
            print(
                f"simulator on {simulator.address}: command {simulator.command_port}, "
                f"data {simulator.data_port}, reboot {simulator.reboot_port}"
            )
            _acquire(simulator, options)
    except OstrelError as error:
        print(f"driver failure: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"cannot run the demo: {error}", file=sys.stderr)
        return 1
    return 0


def _acquire(simulator: Simulator, options: argparse.Namespace) -> None:
    with Instrument(
        simulator.address,
        command_port=simulator.command_port,
        data_port=simulator.data_port,
        reboot_port=simulator.reboot_port,
    ) as instrument:
        print(f"instrument version {instrument.version()}")
        instrument.points = options.points
        instrument.scans = options.scans
        instrument.scan_direction = options.direction
        print(
            f"{instrument.points} points per direction, {instrument.scans} scans, "
            f"direction {instrument.scan_direction}: "
            f"{instrument.interferogram_length} values per file"
        )
        started = time.monotonic()
        for number, (stamp, curve) in enumerate(instrument.acquire(options.files), 1):
            peak = int(np.argmax(np.abs(curve - np.median(curve))))
            print(
                f"file {number}  {_clock(stamp)}  min {curve.min():.1f}  "
                f"max {curve.max():.1f}  peak at {peak}"
            )
        elapsed = time.monotonic() - started
        summary = instrument.last_acquisition
        assert summary is not None
        print(
            f"{summary.files_yielded} files in {elapsed:.2f} s "
            f"({summary.files_missed} missed), status {_status_name(instrument.status)}"
        )


if __name__ == "__main__":
    sys.exit(run())
