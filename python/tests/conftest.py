"""Fixtures: the driver library, simulators on free loopback ports, and open instruments.

The driver keeps one state per process, so every test leaves the instrument closed and sets the
settings it relies on itself.
"""

from __future__ import annotations

import contextlib
import os
import sys
from pathlib import Path
from typing import Callable, ContextManager, Iterator

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import ostreltcp  # noqa: E402
from ostreltcp import Instrument, Simulator  # noqa: E402

# Scans take 2 ms at 16384 points and scale down with the points: runs of a few files take
# milliseconds, yet every file still goes through the whole scan sequence. The 20 ms before
# "ready" keep the progress lines in a reply of their own, the reply that stamps the file's time.
FAST = ("--scan-ms", "2", "--ready-delay-ms", "20", "--reboot-ms", "200")

SMALL_POINTS = 256
SMALL_SCANS = 2


def _available() -> str:
    try:
        ostreltcp.find_library()
        ostreltcp.find_simulator()
    except OSError as error:
        return str(error)
    return ""


_missing = _available()


@pytest.fixture(scope="session")
def driver() -> ostreltcp._library.Driver:
    if _missing:
        pytest.skip(_missing)
    return ostreltcp.load_library()


@pytest.fixture(scope="session")
def start_simulator(driver: object) -> Iterator[Callable[..., Simulator]]:
    """Starts a simulator with the fast options plus the given ones; all stop at the end."""
    started: list[Simulator] = []

    def start(*options: str, pace: tuple[str, ...] = FAST) -> Simulator:
        simulator = Simulator(*pace, "--log", *options).start()
        started.append(simulator)
        return simulator

    yield start
    for simulator in started:
        simulator.stop()


@pytest.fixture(scope="module")
def simulator(start_simulator: Callable[..., Simulator]) -> Simulator:
    return start_simulator("--fibre", "2=4097", "--version-number", "123")


# A file every 150 ms or more: a test that expects every file to reach the loop body then does
# not depend on the Python thread being scheduled within one fast file's time on a busy machine.
PACED = ("--scan-ms", "2", "--ready-delay-ms", "150", "--reboot-ms", "200")


@pytest.fixture(scope="module")
def paced_simulator(start_simulator: Callable[..., Simulator]) -> Simulator:
    return start_simulator(pace=PACED)


@contextlib.contextmanager
def opened(simulator: Simulator) -> Iterator[Instrument]:
    """An open instrument on `simulator` with small settings: 256 points, 2 scans, both ways."""
    with Instrument(
        simulator.address,
        command_port=simulator.command_port,
        data_port=simulator.data_port,
        reboot_port=simulator.reboot_port,
    ) as instrument:
        instrument.points = SMALL_POINTS
        instrument.scans = SMALL_SCANS
        instrument.scan_direction = 3
        instrument.files = 1
        yield instrument


@pytest.fixture
def instrument(simulator: Simulator) -> Iterator[Instrument]:
    with opened(simulator) as instrument:
        yield instrument


@pytest.fixture
def open_on() -> Callable[[Simulator], ContextManager[Instrument]]:
    return opened


def child_environment() -> dict[str, str]:
    """The environment for a child Python that imports this package."""
    environment = dict(os.environ)
    package_root = str(Path(__file__).resolve().parent.parent)
    environment["PYTHONPATH"] = os.pathsep.join(
        part for part in (package_root, environment.get("PYTHONPATH", "")) if part
    )
    environment["PYTHONDONTWRITEBYTECODE"] = "1"
    return environment
