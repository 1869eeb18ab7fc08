#!/usr/bin/python3
"""What the Tango device server costs on top of the acquisition, at 10 files a second of 32768
points in both directions from the built-in simulator.

Two runs of the same files with the same session pipeline:
  baseline  ostrel-acquire (the command line: no Tango), its own CPU time from /proc;
  tango     ostrel-tango without a database, and one PyTango client subscribed to the change
            events of FileNumber and of every curve attribute (about 1.6 MB a file).
The server's CPU beyond the acquisition is the difference of the two processes' CPU per second
over the same number of files (after a few files of warm-up). The event latency is the client's
receive time less the event's time stamp, which is when the session saw the file's co-add event.

Usage: bench/tango_event_cost.py --server build/default/tango/ostrel-tango
           --acquire build/default/tools/ostrel-acquire/ostrel-acquire
           --library build/default/src/libostreltcp.so [--files 100]
Run it on a quiet machine: both processes and the client share its cores.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tango"))

import numpy  # noqa: E402
import tango  # noqa: E402

from tango_servers import Server, wait_for, wait_for_state  # noqa: E402

POINTS = 32768
# One simulated scan of 16384 points in ms: with 32768 points in both directions and one scan a
# file, this makes a file every 100 ms.
SCAN_MS = "45"
WARM_UP_FILES = 5
TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")
CURVES = ["CentreBurstForward", "CentreBurstReverse", "InterferogramForward",
          "InterferogramReverse", "Wavenumbers", "SingleBeamForward", "SingleBeamReverse",
          "Absorbance"]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        text = stat.read()
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / TICKS_PER_SECOND


def baseline(acquire, library, files, scratch):
    """ostrel-acquire's CPU per second over `files` files after the warm-up."""
    command = [acquire, "--files", str(WARM_UP_FILES + files), "--points", str(POINTS),
               "--scans", "1", "--sim-scan-ms", SCAN_MS, "--no-plot",
               "--out", os.path.join(scratch, "baseline")]
    child = subprocess.Popen(command, stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ, OSTRELTCP_LIBRARY=library))
    saved = 0
    start = None
    end = None
    for line in child.stdout:
        if re.match(r"^saved ", line):
            saved += 1
            if saved == WARM_UP_FILES:
                start = (cpu_seconds(child.pid), time.monotonic())
            if saved == WARM_UP_FILES + files:
                end = (cpu_seconds(child.pid), time.monotonic())
    child.wait(60)
    if start is None or end is None:
        raise SystemExit(f"ostrel-acquire saved {saved} files, not {WARM_UP_FILES + files}")
    return (end[0] - start[0]) / (end[1] - start[1]), files / (end[1] - start[1])


def with_tango(server_path, library, files, scratch):
    os.environ["OSTREL_TANGO_SERVER"] = server_path
    os.environ["OSTRELTCP_LIBRARY"] = library
    server = Server("cost", "bench/ostrel/1", scratch,
                    environment={"OSTREL_TANGO_SIM_SCAN_MS": SCAN_MS,
                                 "OSTREL_TANGO_SIM_READY_MS": "5"})
    device = server.start()
    lock = threading.Lock()
    latencies = {"filenumber": [], "singlebeamforward": []}
    marks = {}
    numbers = []

    def on_event(event):
        received = time.time()
        if event.err or event.attr_value is None:
            return
        # A pushed event names its attribute in lower case.
        name = event.attr_value.name.lower()
        with lock:
            if name in latencies:
                latencies[name].append(received - event.attr_value.time.totime())
            if name == "filenumber":
                number = event.attr_value.value
                for mark in (WARM_UP_FILES, WARM_UP_FILES + files):
                    if number >= mark and mark not in marks:
                        marks[mark] = (cpu_seconds(server.process.pid), time.monotonic(),
                                       len(latencies["filenumber"]), number)
                numbers.append(number)

    try:
        device.Points = POINTS
        device.Scans = 1
        device.Direction = 2
        device.Connect()
        wait_for_state(device, tango.DevState.ON)
        device.Files = 2
        device.TakeBackground()
        wait_for_state(device, tango.DevState.ON, timeout=30)
        for name in ["FileNumber"] + CURVES:
            device.subscribe_event(name, tango.EventType.CHANGE_EVENT, on_event)
        time.sleep(0.5)
        with lock:
            for values in latencies.values():
                values.clear()
        device.Files = WARM_UP_FILES + files
        device.TakeSample("cost")
        wait_for_state(device, tango.DevState.ON, timeout=files + 60)
        wait_for(lambda: WARM_UP_FILES + files in marks, 10, what="the last file's event")
    except BaseException as failure:
        print(f"tango run failed: {failure!r}; numbers {numbers}; {device.status()}; "
              f"server log:\n{server.log_text()}", flush=True)
        raise
    finally:
        server.stop()
    (cpu0, time0, index0, first), (cpu1, time1, index1, last) = (marks[WARM_UP_FILES],
                                                                 marks[WARM_UP_FILES + files])
    measured = {name: numpy.array(values[index0:index1]) * 1000.0
                for name, values in latencies.items()}
    missed = (last - first) - (index1 - index0)
    # The pipeline's own time per file (spectra and outputs), which lies between the co-add
    # event and the file's events whatever the front-end.
    runs = os.path.join(scratch, "runs")
    sample = sorted(name for name in os.listdir(runs) if name.endswith("-sample"))[-1]
    with open(os.path.join(runs, sample, "summary.json")) as summary:
        pipeline_ms = json.load(summary)["timing"]["write_s_per_file"] * 1000.0
    return ((cpu1 - cpu0) / (time1 - time0), (last - first) / (time1 - time0), measured, missed,
            pipeline_ms)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--server", required=True)
    parser.add_argument("--acquire", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--files", type=int, default=100)
    options = parser.parse_args()
    for name in ["server", "acquire", "library"]:
        setattr(options, name, os.path.abspath(getattr(options, name)))
    scratch = tempfile.mkdtemp(prefix="ostrel-tango-cost-")
    try:
        base_cpu, base_rate = baseline(options.acquire, options.library, options.files, scratch)
        tango_cpu, tango_rate, latencies, missed, pipeline_ms = with_tango(options.server, options.library,
                                                      options.files, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"{options.files} files of {POINTS} points, both directions, one scan each")
    print(f"baseline ostrel-acquire: {base_rate:.1f} files/s, CPU {100 * base_cpu:.1f} % of a core")
    print(f"ostrel-tango + client:   {tango_rate:.1f} files/s, CPU {100 * tango_cpu:.1f} % of a core")
    print(f"file events the client did not receive: {missed}")
    print(f"the server beyond the acquisition: {100 * (tango_cpu - base_cpu):+.1f} % of a core "
          f"(x{tango_cpu / base_cpu:.2f} the baseline)")
    for name, values in latencies.items():
        print(f"event latency {name}: p50 {numpy.percentile(values, 50):.1f} ms, "
              f"p99 {numpy.percentile(values, 99):.1f} ms, max {values.max():.1f} ms "
              f"({len(values)} events)")
    print(f"of which the pipeline (spectra and files) before the events: {pipeline_ms:.1f} ms "
          f"per file (mean)")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
    # PyTango 9.3 may crash in its clean-up at exit with subscriptions to a server that is gone;
    # everything is printed and stopped by now.
    os._exit(0)
