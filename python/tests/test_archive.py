"""The run archive as a reader sees it, and the ratios against a background.

The archive tests run the real tool (OSTREL_ACQUIRE) on its built-in simulator. The kill test
ends real runs with SIGKILL at random moments and checks that each archive still opens and holds,
intact, every file the tool had reported as saved: its interferograms are compared with the CSV
copy that the tool writes (and syncs) before the file enters the archive.
"""

from __future__ import annotations

import json
import os
import random
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest

from ostreltcp.spectra import absorbance, transmittance

h5py = pytest.importorskip("h5py")
from ostreltcp.archive import open_run  # noqa: E402

ACQUIRE = os.environ.get("OSTREL_ACQUIRE", "")
READER = Path(__file__).resolve().parents[2] / "tests/tools/jcamp/read_jcamp.mjs"
needs_tool = pytest.mark.skipif(not ACQUIRE, reason="OSTREL_ACQUIRE names no built tool")
FAST = ["--scans", "1", "--sim-scan-ms", "5", "--sim-ready-ms", "1", "--no-plot"]
# Scans of about 6 ms at 512 points: slow enough that a busy machine fetches every file.
STEADY = ["--scans", "2", "--sim-scan-ms", "200", "--no-plot"]


def read_interferogram_csv(path: Path) -> np.ndarray:
    """(halves, points) from the tool's CSV: '#' header lines, a line of names, then rows."""
    lines = [line for line in path.read_text().splitlines() if not line.startswith("#")]
    rows = np.array([[float(field) for field in line.split(",")] for line in lines[1:]])
    return rows[:, 1:].T


def saved_numbers(output: str) -> set[int]:
    return {int(n) for n in re.findall(r"^saved interferogram-(\d+)\.csv", output, re.M)}


class TestRatios:
    def test_known_ratios_and_nan_where_the_background_is_weak(self):
        background = np.array([0.0, -2.0e-3, 0.5e-2, 1.0, 2.0, np.nan, np.inf])
        sample = np.array([1.0, 1.0, 1.0, 0.5, 0.2, 1.0, 1.0])
        t = transmittance(sample, background)
        a = absorbance(sample, background)
        np.testing.assert_allclose(t[3:5], [0.5, 0.1])
        np.testing.assert_allclose(a[3:5], [np.log10(2.0), 1.0])
        assert np.isnan(t[[0, 1, 2, 5, 6]]).all()
        assert np.isnan(a[[0, 1, 2, 5, 6]]).all()

    def test_threshold_is_a_fraction_of_the_peak_per_spectrum(self):
        background = np.array([[100.0, 2.0, 0.5], [1.0, 0.02, 0.005]])
        t = transmittance(np.ones((4, 2, 3)), background, threshold=0.01)
        assert t.shape == (4, 2, 3)
        assert np.isfinite(t[:, :, :2]).all() and np.isnan(t[:, :, 2]).all()
        with pytest.raises(ValueError):
            transmittance([1.0], [1.0], threshold=5.0)

    def test_zero_or_negative_transmittance_gives_nan_absorbance_without_warnings(self):
        with np.errstate(all="raise"):
            a = absorbance(np.array([0.0, -0.1, 0.1]), np.array([1.0, 1.0, 1.0]))
        assert np.isnan(a[:2]).all() and a[2] == pytest.approx(1.0)


@needs_tool
class TestArchive:
    def test_open_run_returns_what_the_tool_wrote(self, tmp_path):
        out = tmp_path / "run"
        subprocess.run([ACQUIRE, *STEADY, "--files", "4", "--points", "512", "--format",
                        "csv,hdf5", "--out", str(out)], check=True, capture_output=True)
        run = open_run(out)
        summary = json.loads((out / "summary.json").read_text())
        assert list(run.file_numbers) == [f["file"] for f in summary["files"]]
        assert run.files == 4 - summary["files_missed"]
        assert run.halves == ["forward", "reverse"]
        assert run.interferograms.shape == (run.files, 2, 512)
        assert run.single_beam.shape == (run.files, 2, len(run.wavenumber))
        assert np.all(np.diff(run.timestamps) >= 0)
        for row, number in enumerate(run.file_numbers):
            expected = read_interferogram_csv(out / f"interferogram-{number:04d}.csv")
            np.testing.assert_array_equal(run.interferograms[row], expected)
        np.testing.assert_allclose(run.mean_single_beam, run.single_beam.mean(axis=0))
        assert run.settings["points"] == 512
        assert run.settings["laser_wavenumber"] == 15798.0
        assert run.transmittance is None and run.background is None

    def test_a_two_direction_run_holds_its_combined_beam_and_the_gates_per_file(self, tmp_path):
        out = tmp_path / "run"
        subprocess.run([ACQUIRE, *STEADY, "--files", "3", "--points", "1024", "--skip", "7936",
                        "--format", "hdf5", "--out", str(out)], check=True, capture_output=True)
        run = open_run(out)
        assert run.combined.shape == (run.files, len(run.wavenumber))
        # Both halves passed their gates, so the combined beam is their mean.
        np.testing.assert_allclose(run.combined, run.single_beam.mean(axis=1), rtol=1e-14,
                                   atol=1e-14 * np.abs(run.single_beam).max())
        assert run.gates[:2] == ["burst", "zpd_edge"]
        assert run.quality_status.shape == (run.files, 2, len(run.gates))
        assert (run.quality_status == 0).all()

    def test_with_a_background_the_ratios_are_stored_beside_the_single_beams(self, tmp_path):
        common = [*STEADY, "--points", "512", "--format", "hdf5"]
        subprocess.run([ACQUIRE, *common, "--files", "3", "--out", str(tmp_path / "bg")],
                       check=True, capture_output=True)
        subprocess.run([ACQUIRE, *common, "--files", "2", "--out", str(tmp_path / "sample"),
                        "--background", str(tmp_path / "bg")], check=True, capture_output=True)
        background = open_run(tmp_path / "bg")
        sample = open_run(tmp_path / "sample")
        np.testing.assert_allclose(sample.background, background.mean_single_beam,
                                   rtol=0, atol=2e-9 * np.abs(background.mean_single_beam).max())
        np.testing.assert_allclose(sample.absorbance,
                                   absorbance(sample.single_beam, sample.background),
                                   rtol=1e-12, equal_nan=True)
        assert not np.isinf(sample.absorbance).any()

    @pytest.mark.skipif(not ((READER.parent / "node_modules/jcampconverter").exists()
                             and shutil.which("node")),
                        reason="the JCAMP-DX reader is not installed (scripts/setup.sh)")
    def test_open_run_gives_the_numbers_of_the_jcamp_files(self, tmp_path):
        common = [*STEADY, "--points", "1024", "--files", "2", "--format", "jcamp,hdf5"]
        subprocess.run([ACQUIRE, *common, "--out", str(tmp_path / "bg")], check=True,
                       capture_output=True)
        subprocess.run([ACQUIRE, *common, "--out", str(tmp_path / "sample"), "--background",
                        str(tmp_path / "bg"), "--sim-absorber", "2000:20:0.5"], check=True,
                       capture_output=True)
        run = open_run(tmp_path / "sample")
        paths = sorted(path for path in (tmp_path / "sample").glob("*-000?-*.jdx")
                       if not path.name.endswith("-combined.jdx"))
        assert len(paths) == 3 * 2 * run.files
        read = json.loads(subprocess.run(["node", str(READER), *map(str, paths)], check=True,
                                         capture_output=True, text=True).stdout)
        step = run.wavenumber[1] - run.wavenumber[0]
        for path, spectrum in zip(paths, read):
            kind, number, half = re.match(r"(.*)-(\d+)-(\w+)\.jdx", path.name).groups()
            row = list(run.file_numbers).index(int(number))
            expected = getattr(run, kind.replace("-", "_"))[row, run.half(half)]
            first = int(round((spectrum["x"][0] - run.wavenumber[0]) / step))
            values = expected[first:first + len(spectrum["y"])]
            y_factor = float(spectrum["info"]["YFACTOR"])
            np.testing.assert_allclose(spectrum["y"], values, rtol=0, atol=y_factor,
                                       err_msg=path.name)

    @pytest.mark.slow
    def test_runs_killed_at_random_moments_keep_every_saved_file_intact(self, tmp_path):
        chooser = random.Random(18)
        kills = 30
        archived_total = 0
        for attempt in range(kills):
            out = tmp_path / f"run{attempt}"
            tool = subprocess.Popen(
                [ACQUIRE, *FAST, "--files", "0", "--points", "2048", "--format", "csv,hdf5",
                 "--out", str(out)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            time.sleep(chooser.uniform(0.05, 1.2))
            tool.send_signal(signal.SIGKILL)
            output, _ = tool.communicate(timeout=30)
            assert tool.returncode == -signal.SIGKILL
            announced = saved_numbers(output)
            if not (out / "run.h5").exists():
                assert not announced
                continue
            run = open_run(out)
            numbers = [int(n) for n in run.file_numbers]
            assert announced <= set(numbers), f"run {attempt}: saved files missing"
            assert np.all(np.diff(numbers) > 0)  # a file the disk could not keep up with is
            # missed (and reported), never stored twice or out of order
            assert np.all(np.diff(run.timestamps) >= 0)
            for row, number in enumerate(numbers):
                expected = read_interferogram_csv(out / f"interferogram-{number:04d}.csv")
                np.testing.assert_array_equal(run.interferograms[row], expected)
                assert np.isfinite(run.single_beam[row]).all()
            archived_total += len(numbers)
        assert archived_total > kills  # the kills came while files were being written
