"""The README's Python example of the lab workflow runs as printed and finds the absorption line.

The example is taken from README.md (the code block after the "background, sample, absorbance"
marker) and run in a scratch directory, with the tool's path replaced by the built one.
"""

from __future__ import annotations

import os
import re
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("h5py")
pytest.importorskip("matplotlib")

README = Path(__file__).resolve().parents[2] / "README.md"
ACQUIRE = os.environ.get("OSTREL_ACQUIRE", "")


def workflow_example() -> str:
    text = README.read_text()
    marker = text.index("<!-- example: background, sample, absorbance -->")
    return re.search(r"```python\n(.*?)```", text[marker:], re.S).group(1)


@pytest.mark.skipif(not ACQUIRE, reason="OSTREL_ACQUIRE names no built tool")
def test_readme_workflow_example_plots_the_absorbance_line(tmp_path, monkeypatch):
    code = workflow_example()
    assert len(code.strip().splitlines()) <= 14
    code = code.replace("build/default/tools/ostrel-acquire/ostrel-acquire", ACQUIRE)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    namespace: dict = {}
    exec(compile(code, "README.md", "exec"), namespace)
    assert (tmp_path / "absorbance.png").stat().st_size > 10_000
    wavenumber, absorbance = namespace["sample"].wavenumber, namespace["a"]
    near = np.abs(wavenumber - 2350.0) < 30.0
    peak = np.nanargmax(np.where(near, absorbance, np.nan))
    assert wavenumber[peak] == pytest.approx(2350.0, abs=1.5)
    assert absorbance[peak] == pytest.approx(0.8, abs=0.06)
