"""Co-add runs against the simulator: files as arrays, run failures, aborts, and the commands."""

from __future__ import annotations

import json
import subprocess
import sys
import time

import numpy as np
import pytest

from ostreltcp import (
    DataError,
    DriverStatus,
    EventWaitTimeout,
    InstrumentError,
    OstrelError,
    unglom,
)

from conftest import SMALL_POINTS, SMALL_SCANS, child_environment


@pytest.mark.parametrize(
    "direction, length", [(3, 2 * SMALL_POINTS), (1, SMALL_POINTS), (2, SMALL_POINTS)]
)
def test_acquire_yields_every_file_with_its_timestamp(
    paced_simulator, open_on, direction, length
):
    with open_on(paced_simulator) as instrument:
        instrument.scan_direction = direction
        started_ms = time.time() * 1000.0
        scans_seen: list[int] = []

        files = list(instrument.acquire(files=3, on_scan=scans_seen.append))

        ended_ms = time.time() * 1000.0
        assert len(files) == 3
        stamps = [stamp for stamp, _ in files]
        assert stamps == sorted(stamps)
        assert started_ms - 1000.0 <= stamps[0] and stamps[-1] <= ended_ms + 1000.0
        for _, curve in files:
            assert curve.shape == (length,) and curve.dtype == np.float64
            assert np.all(np.isfinite(curve)) and np.ptp(curve) > 0
        summary = instrument.last_acquisition
        assert (summary.files_published, summary.files_yielded, summary.completed) == (3, 3, True)
        assert scans_seen and all(1 <= scan <= SMALL_SCANS for scan in scans_seen)
        assert instrument.file_progress == 3
        assert instrument.status == DriverStatus.CONNECTED
        assert instrument.latest()[0] == stamps[-1]


def test_a_slow_loop_body_is_told_how_many_files_it_missed(instrument):
    with pytest.warns(RuntimeWarning, match="replaced by newer ones"):
        files = []
        for stamp, curve in instrument.acquire(files=4):
            files.append((stamp, curve))
            time.sleep(0.15)
    summary = instrument.last_acquisition
    assert summary.files_published == 4
    assert 1 <= summary.files_yielded < 4 and summary.files_yielded == len(files)
    assert len({stamp for stamp, _ in files}) == len(files)


def test_unglom_is_refused_while_a_run_uses_the_drivers_arrays(instrument):
    block = bytes(16 + 16 * SMALL_POINTS)
    for _ in instrument.acquire(files=2):
        with pytest.raises(RuntimeError):
            unglom(block, SMALL_POINTS, 3)
    assert unglom(block, SMALL_POINTS, 3).shape == (2 * SMALL_POINTS,)


@pytest.mark.parametrize(
    "fault, family, code",
    [
        ("scan:error", InstrumentError, 15),
        ("scan:lower-error", InstrumentError, 15),
        ("data:close", DataError, 13),
    ],
)
def test_a_failed_run_raises_the_code_the_driver_recorded(
    start_simulator, open_on, fault, family, code
):
    faulty = start_simulator("--fault", fault)
    with open_on(faulty) as instrument:
        run = instrument.acquire(files=2, timeout=15.0)
        with pytest.raises(OstrelError) as caught:
            list(run)
        assert type(caught.value) is family
        assert caught.value.code == code
        assert caught.value.text == instrument._driver.error_text(code)
        assert not instrument.last_acquisition.completed
        assert instrument.status == DriverStatus.CONNECTED
    assert not any("REBOOT" in line for line in faulty.lines())


def lines_after(simulator, marker: str) -> list[str]:
    lines = simulator.lines()
    found = [index for index, line in enumerate(lines) if marker in line]
    return lines[found[0] + 1 :] if found else []


@pytest.mark.slow
def test_leaving_the_loop_early_stops_the_run_and_resends_the_settings(start_simulator, open_on):
    simulator = start_simulator()
    with open_on(simulator) as instrument:
        for _ in instrument.acquire(files=0):
            break
        assert instrument.status == DriverStatus.CONNECTED
        assert simulator.wait_for_line(lambda line: "datagram REBOOT" in line)
        # The reboot put the instrument back to its own settings; the driver kept the host's.
        assert simulator.wait_for_line(lambda line: "points 256" in line and line in lines_after(
            simulator, "datagram REBOOT"))
        assert instrument.files == 1
        (_, curve), = instrument.acquire(files=1)
        assert curve.shape == (2 * SMALL_POINTS,)


@pytest.mark.slow
def test_a_silent_instrument_ends_the_wait_and_aborts_the_run(start_simulator, open_on):
    simulator = start_simulator("--fault", "scan:no-greeting::1")
    with open_on(simulator) as instrument:
        began = time.monotonic()
        with pytest.raises(EventWaitTimeout):
            list(instrument.acquire(files=1, timeout=0.3))
        assert time.monotonic() - began < 9.0
        assert instrument.status == DriverStatus.CONNECTED
        assert simulator.wait_for_line(lambda line: "datagram REBOOT" in line)
        (_, curve), = instrument.acquire(files=1)
        assert curve.shape == (2 * SMALL_POINTS,)


@pytest.mark.parametrize(
    "command, logged",
    [
        (lambda instrument: instrument.write_fiber([1, 2, 3]), "command valves 1 2 3\\r\\n"),
        (lambda instrument: instrument.safe_valves(4, [5, 6, 7]), "command savesafe 4 5 6 7\\r\\n"),
        (lambda instrument: instrument.write_aux(0, 0x40), "command valve 58 1\\r\\n"),
        (lambda instrument: instrument.write_aux(1, 0x8000), "command valve 64 0\\r\\n"),
        (lambda instrument: instrument.initialize(), "command init\\r\\n"),
    ],
)
def test_io_commands_send_their_text_and_succeed(instrument, simulator, command, logged):
    assert command(instrument) is None
    assert simulator.wait_for_line(lambda line: line == logged)


def test_read_fiber_unpacks_the_12_bit_inputs_by_number(instrument):
    readings = instrument.read_fiber([2, 1, 16])
    assert readings == {1: 100, 2: 4097 & 0xFFF, 16: 1600}
    assert instrument.read_fiber([]) == {}
    with pytest.raises(ValueError):
        instrument.read_fiber([17])


def test_version_is_the_instruments_number(instrument):
    assert instrument.version() == 123


CALIBRATION = """
import json, sys
from ostreltcp import Instrument, Simulator
with Simulator("--scan-ms", "20", "--ready-delay-ms", "1", executable=sys.argv[1]) as simulator:
    with Instrument(**simulator.instrument_arguments()) as instrument:
        instrument.points, instrument.scans, instrument.scan_direction = 256, 2, 3
        skip = instrument.calibrate()
        settings = [instrument.points, instrument.scans, instrument.scan_direction]
        (_, curve), = instrument.acquire(files=1)
        print(json.dumps({"skip": skip, "settings": settings, "length": len(curve)}))
"""


def test_calibration_places_skip_points_and_keeps_the_hosts_settings(simulator):
    # In a child process: the calibration's scan time limit would stay with this process.
    child = subprocess.run(
        [sys.executable, "-c", CALIBRATION, simulator.executable],
        env=child_environment(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert child.returncode == 0, child.stderr
    result = json.loads(child.stdout)
    # The simulator's burst is at 8192; the driver places the skip 256 points before the peak.
    assert abs(result["skip"] - (8192 - 256)) <= 16
    assert result["settings"] == [256, 2, 3]
    assert result["length"] == 512


def test_the_demo_runs_against_the_simulator(simulator):
    child = subprocess.run(
        [sys.executable, "-m", "ostreltcp.demo", "--files", "2", "--points", "512",
         "--sim", simulator.executable],
        env=child_environment(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert child.returncode == 0, child.stderr
    assert "2 files in" in child.stdout and "(0 missed)" in child.stdout


def test_closing_inside_the_loop_ends_the_run_and_the_loop(simulator, open_on):
    with open_on(simulator) as instrument:
        run = instrument.acquire(files=0)
        next(run)
        began = time.monotonic()
        instrument.close()
        assert list(run) == []
        assert time.monotonic() - began < 6.0
        assert not instrument.last_acquisition.completed
    assert not any("REBOOT" in line for line in simulator.lines())
