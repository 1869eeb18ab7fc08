"""Spectra of the simulator's interferograms against the spectrum the simulator made them from.

The simulator writes its spectrum (source x transmittance) with --dump-spectrum; the expectations
below come from that file with numpy alone (spectra_expectation.windowed), never from the library
under test. Every run co-adds 4 scans: with one, the integer samples alone would cost several
hundredths of an absorbance with a boxcar window.
"""

from __future__ import annotations

import subprocess
from pathlib import Path
from typing import Callable

import numpy as np
import pytest

from ostreltcp import Instrument, Simulator, find_simulator, spectra

from spectra_expectation import happ_genzel, windowed

POINTS = 16384
SCANS = 4
ABSORBERS = ("1305.5:1.5:0.4", "2150.25:2.0:0.6", "3010.75:2.5:0.3")


def _simulator_synthesises() -> str:
    try:
        program = find_simulator()
        spectra.find_spectra_library()
    except OSError as error:
        return str(error)
    help_text = subprocess.run([program, "--help"], capture_output=True, text=True).stdout
    return "" if "--dump-spectrum" in help_text else "this ostrel-sim has no --dump-spectrum"


_missing = _simulator_synthesises()
pytestmark = pytest.mark.skipif(bool(_missing), reason=_missing)


def dump_spectrum(tmp_path: Path, *options: str) -> tuple[np.ndarray, np.ndarray]:
    """The simulator's spectrum on a fine grid, from ostrel-sim --dump-spectrum."""
    path = tmp_path / f"spectrum-{abs(hash(options))}.csv"
    subprocess.run([find_simulator(), *options, "--dump-spectrum", str(path), "--dump-step",
                    "0.05"], check=True, capture_output=True, timeout=60)
    rows = [line.split(",") for line in path.read_text().splitlines()]
    table = np.array([[float(a), float(b)] for a, b in rows if a[:1].isdigit()])
    return table[:, 0], table[:, 1]


def acquire_halves(start_simulator: Callable[..., Simulator], *options: str,
                   calibrate: bool, points: int = POINTS) -> tuple[np.ndarray, np.ndarray]:
    """One co-added file of both halves: double-sided (ZPD mid-scan at 16384 points) or, after
    the calibration, single-sided (ZPD 256 points into the forward half)."""
    simulator = start_simulator(*options)
    with Instrument(simulator.address, command_port=simulator.command_port,
                    data_port=simulator.data_port, reboot_port=simulator.reboot_port) as device:
        if calibrate:
            device.calibrate()
        else:
            device.skip_points = 0
        device.points = points
        device.scans = SCANS
        device.scan_direction = 3
        _, data = next(iter(device.acquire(files=1)))
    return data[:points].copy(), data[points:].copy()


LAYOUTS = {"double-sided": False, "single-sided": True}


@pytest.fixture(scope="module")
def quiet_runs(start_simulator):
    return {name: acquire_halves(start_simulator, "--noise", "0", calibrate=calibrate)
            for name, calibrate in LAYOUTS.items()}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("half", [0, 1], ids=["forward", "reverse"])
def test_single_beam_matches_the_simulators_spectrum_within_half_a_percent(
        quiet_runs, tmp_path, layout, half):
    result = spectra.single_beam(quiet_runs[layout][half])
    wavenumbers, values = result
    assert result.quality.ok, [gate.reason for gate in result.quality.gates if not gate.ok]
    fine, known = dump_spectrum(tmp_path, "--noise", "0")
    _, resolution = spectra.zpd_and_resolution(quiet_runs[layout][half])
    expected = np.interp(wavenumbers, fine,
                         windowed(fine, known, 1.0 / resolution, happ_genzel))
    smooth = expected > 0.02 * expected.max()
    gain = np.dot(values[smooth], expected[smooth]) / np.dot(expected[smooth], expected[smooth])
    assert gain > 0.0
    worst = np.max(np.abs(values[smooth] / gain - expected[smooth])) / expected.max()
    print(f"{layout} {['forward', 'reverse'][half]}: largest difference {worst:.5f} of the peak")
    assert worst < 0.005


@pytest.fixture(scope="module")
def background_and_sample(start_simulator):
    absorbers = [option for text in ABSORBERS for option in ("--absorber", text)]
    return (acquire_halves(start_simulator, "--noise", "0", calibrate=True),
            acquire_halves(start_simulator, "--noise", "0", *absorbers, calibrate=True))


@pytest.mark.parametrize("half", [0, 1], ids=["forward", "reverse"])
def test_lines_and_absorbances_are_where_the_simulator_put_them(background_and_sample, tmp_path,
                                                                half):
    background, sample = (run[half] for run in background_and_sample)
    wavenumbers, single_background = spectra.single_beam(background)
    sample_beam = spectra.single_beam(sample)
    _, single_sample = sample_beam
    assert sample_beam.quality.ok, [gate.reason for gate in sample_beam.quality.gates]
    _, resolution = spectra.zpd_and_resolution(sample)
    absorbers = [option for text in ABSORBERS for option in ("--absorber", text)]
    fine, known_background = dump_spectrum(tmp_path, "--noise", "0")
    _, known_sample = dump_spectrum(tmp_path, "--noise", "0", *absorbers)
    expected_background = windowed(fine, known_background, 1.0 / resolution, happ_genzel)
    expected_sample = windowed(fine, known_sample, 1.0 / resolution, happ_genzel)
    step = wavenumbers[1] - wavenumbers[0]
    for text in ABSORBERS:
        centre = float(text.split(":")[0])
        near = np.flatnonzero(np.abs(wavenumbers - centre) < 10.0)
        absorbance = -np.log10(single_sample[near] / single_background[near])
        peak = int(np.argmax(absorbance))
        left, middle, right = absorbance[peak - 1:peak + 2]
        found = wavenumbers[near[peak]] + step * 0.5 * (left - right) / (left - 2 * middle + right)
        nearest = int(np.argmin(np.abs(wavenumbers - centre)))
        measured = -np.log10(single_sample[nearest] / single_background[nearest])
        expected = -np.log10(np.interp(wavenumbers[nearest], fine, expected_sample) /
                             np.interp(wavenumbers[nearest], fine, expected_background))
        print(f"line {centre}: found at {found:.3f} (resolution {resolution:.3f}), "
              f"absorbance {measured:.4f} expected {expected:.4f}")
        assert abs(found - centre) < 0.1 * resolution
        assert measured == pytest.approx(expected, abs=0.02)


def block_means(values: np.ndarray, size: int = 16) -> np.ndarray:
    count = len(values) // size
    return values[:count * size].reshape(count, size).mean(axis=1)


def test_mertz_is_unbiased_where_there_is_no_signal_while_magnitude_is_not(start_simulator,
                                                                          tmp_path):
    # The simulator's own detector falls off gradually and leaves a little signal up to the
    # highest wavenumber; its source cut off above 4500 cm^-1 leaves nothing but noise above.
    fine, known = dump_spectrum(tmp_path, "--noise", "0")
    taper = np.clip((4500.0 - fine) / 300.0, 0.0, 1.0)
    source = tmp_path / "band-limited.csv"
    source.write_text("wavenumber,value\n" + "".join(
        f"{nu:.3f},{value:.9g}\n" for nu, value in zip(fine[::20], (known * taper)[::20])))
    forward, _ = acquire_halves(start_simulator, "--spectrum", str(source), calibrate=True)
    wavenumbers, corrected = spectra.single_beam(forward)
    _, modulus = spectra.single_beam(forward, phase="magnitude")
    quiet = (wavenumbers > 5500.0) & (wavenumbers < 7850.0)
    # Neighbouring bins are correlated after apodisation and zero fill: the standard error comes
    # from means of blocks of 16 bins.
    blocks = block_means(corrected[quiet])
    mean, error = blocks.mean(), blocks.std(ddof=1) / np.sqrt(len(blocks))
    rectified = block_means(modulus[quiet])
    rectified_error = rectified.std(ddof=1) / np.sqrt(len(rectified))
    print(f"mertz mean {mean:.4g} +- {error:.2g} ({mean / error:.2f} standard errors); "
          f"magnitude mean {rectified.mean():.4g} +- {rectified_error:.2g}")
    assert abs(mean) < 3.0 * error
    assert rectified.mean() > 3.0 * rectified_error


@pytest.mark.parametrize("points", [2048, 4096, 8192])
def test_without_calibration_the_gates_fail_with_a_hint_and_pass_after_it(start_simulator,
                                                                          points):
    # At skip 0 the simulator's burst lies at point 8192 of the scan: beyond a record of 2048 or
    # 4096 points, just beyond the last point of one of 8192.
    forward, reverse = acquire_halves(start_simulator, calibrate=False, points=points)
    halves = [spectra.single_beam(half).quality for half in (forward, reverse)]
    agreement = spectra.zpd_agreement(*halves)
    for quality, direction in zip(halves, ("forward", "reverse")):
        print(f"{points} points, skip 0, {direction}: ZPD {quality.zpd_index:.1f}; " + "; ".join(
            f"{gate.name} {gate.value:.4g} {gate.status}" for gate in quality.gates))
        assert quality.worst == "fail"
        hint = quality.hint(direction, skip=0)
        assert "--calibrate" in hint
        if points == 8192:
            assert quality.gate("zpd_edge").status == "fail"
            # The calibration's skip is 8192 - 256 = 7936; the largest recorded point lies on
            # the burst's flank a few points before it.
            suggested = int(hint.split("--skip ")[1].split()[0])
            assert abs(suggested - 7936) <= 4, hint
        else:
            assert quality.gate("burst").status == "fail"
            assert "no centre burst" in quality.gate("burst").reason
    if points != 8192:
        assert agreement.status == "fail"

    forward, reverse = acquire_halves(start_simulator, calibrate=True, points=points)
    halves = [spectra.single_beam(half).quality for half in (forward, reverse)]
    for quality in halves:
        assert quality.ok, [gate.reason for gate in quality.gates if not gate.ok]
    assert halves[0].zpd_index == pytest.approx(256.3, abs=0.1)
    assert spectra.zpd_agreement(*halves).ok
