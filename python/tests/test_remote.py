"""ostreltcp.remote against a real ``ostrel-acquire serve`` on loopback, with its simulator's
demonstration sample: the README's example as printed, refused calls, waiting runs, downloads
read independently, and the event stream."""

from __future__ import annotations

import os
import re
import subprocess
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from ostreltcp.remote import Server, ServerError

ACQUIRE = os.environ.get("OSTREL_ACQUIRE", "")
README = Path(__file__).resolve().parents[1] / "README.md"
BAND = (1500.0, 30.0, 0.8)

pytestmark = pytest.mark.skipif(not ACQUIRE, reason="OSTREL_ACQUIRE names no built tool")


@pytest.fixture
def url(tmp_path):
    process = subprocess.Popen(
        [ACQUIRE, "serve", "--listen", "127.0.0.1:0", "--data", str(tmp_path / "data"),
         "--sim-scan-ms", "20", "--sim-sample-absorber", "%g:%g:%g" % BAND, "--quiet"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline()
        found = re.search(r"serving: (\S+)", line)
        assert found, line + process.stderr.read()
        yield found.group(1)
    finally:
        process.terminate()
        process.wait(timeout=15)


def read_affn(path: Path) -> tuple[np.ndarray, np.ndarray]:
    """The points of a JCAMP-DX file in the (X++(Y..Y)) form with plain numbers, read here from
    the labels' definitions rather than with the project's own reader."""
    labels, rows = {}, []
    for line in path.read_text().splitlines():
        if line.startswith("##"):
            key, _, value = line[2:].partition("=")
            labels[key] = value
        elif "XYDATA" in labels and "END" not in labels and line.strip():
            rows.append([float(v) for v in line.split()])
    first, step = float(labels["FIRSTX"]), float(labels["DELTAX"])
    factor = float(labels["YFACTOR"])
    y = np.array([v for row in rows for v in row[1:]]) * factor
    return first + step * np.arange(len(y)), y


def test_readme_example_measures_the_sample_band(url, tmp_path, monkeypatch):
    text = README.read_text()
    marker = text.index("<!-- example: remote background and sample -->")
    code = re.search(r"```python\n(.*?)```", text[marker:], re.S).group(1)
    monkeypatch.chdir(tmp_path)
    namespace = {"url": url}
    exec(compile(code, "README.md", "exec"), namespace)
    run = namespace["run"]
    assert run["state"] == "complete" and run["name"] == "demo sample"
    x, y = read_affn(tmp_path / "absorbance.jdx")
    window = (x > 1000) & (x < 2000)
    peak = np.nanargmax(np.where(window, y, -np.inf))
    assert abs(x[peak] - BAND[0]) < 2.0
    assert abs(y[peak] - BAND[2]) < 0.05
    server = namespace["server"]
    assert [r["kind"] for r in server.runs()] == ["sample", "background"]
    assert server.runs(limit=1)[0]["id"] == run["id"]
    assert server.runs(before=run)[0]["kind"] == "background"
    zipped = server.download_zip(run, tmp_path / "run.zip")
    import zipfile
    with zipfile.ZipFile(zipped) as archive:
        assert f"{run['id']}/absorbance-0001-forward.jdx" in archive.namelist()


def test_refusals_carry_the_status_and_every_bad_field(url):
    server = Server.from_url(url)
    with pytest.raises(ServerError) as refused:
        server.settings(points=0, scans="many", bogus=1)
    assert refused.value.status == 422
    assert {"points", "scans", "bogus"} <= set(refused.value.fields)
    with pytest.raises(ServerError) as busy:
        server.sample("not connected")
    assert busy.value.status == 409
    with pytest.raises(ServerError) as missing:
        server.run("20990101-000000-sample")
    assert missing.value.status == 404
    with pytest.raises(ServerError) as wrong:
        Server(url, "0" * 64).state()
    assert wrong.value.status == 401
    with pytest.raises(ValueError):
        Server.from_url(url.split("#")[0])


def test_events_follow_a_run_and_a_stop_ends_it(url):
    server = Server.from_url(url)
    server.settings(points=4096, scans=1, plot=False)
    server.connect()
    seen: list = []
    done = threading.Event()

    def follow():
        for event in server.events(timeout=10):
            seen.append(event)
            if event.name == "end":
                done.set()
                return

    reader = threading.Thread(target=follow, daemon=True)
    reader.start()
    time.sleep(0.3)
    run = server.start("sample", files=0, name="until stopped")
    while not server.run(run)["files"]:
        time.sleep(0.05)
    server.stop(run)
    ended = server.wait(run, timeout=15)
    assert ended["state"] == "stopped" and ended["files"]
    assert done.wait(10)
    names = [event.name for event in seen]
    assert names[0] == "state"
    assert "run" in names and "file" in names
    assert next(e for e in seen if e.name == "end").data["status"] == "stopped"
