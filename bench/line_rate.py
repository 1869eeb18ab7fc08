#!/usr/bin/env python3
"""The line-rate scenario: ostrel-acquire against its built-in simulator at the rate of a
saturated gigabit link, for every output format list, reporting the files it missed, what its
writers spent per file, its CPU time and its peak memory, as a Markdown table.

Two parts:
  * 32768 points per half, both halves (a 524 kB block, about 220 files/s), on a quiet machine;
  * 16384 points per half at the same byte rate (about 440 files/s) while two busy processes
    keep both cores loaded.

The simulator's scan time is given at 16384 points and scales with the points, so one
--sim-scan-ms gives about the same bytes per second at either size. One scan per file; the table
gives the file rate each run reached (files signalled per second of acquisition); --calibrate
first measures the rate the simulator reaches with the cheapest format (hdf5) and prints it.

Not a test: nothing here passes or fails. Several --tool options run the same cases with each
tool (e.g. a build before and after a change), so that their figures come from the same run of
the machine. The fetch column says how each run's fetching thread was scheduled: run as root, or
with `ulimit -r 1`, for the real-time priority. Everything is written under a temporary directory that is removed afterwards.

    python3 bench/line_rate.py --files 300
    python3 bench/line_rate.py --tool /tmp/before/ostrel-acquire --tool build/default/tools/ostrel-acquire/ostrel-acquire
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_TOOL = os.path.join(ROOT, "build", "default", "tools", "ostrel-acquire", "ostrel-acquire")
DEFAULT_LIBRARY = os.path.join(ROOT, "build", "default", "src", "libostreltcp.so")
FORMAT_LISTS = ["csv", "json", "jcamp", "hdf5", "csv,jcamp", "csv,json,jcamp,hdf5"]

# A gigabit link carries about 117 MB/s of payload after Ethernet, IP and TCP overhead.
LINK_BYTES_PER_SECOND = 117e6
BYTES_PER_POINT = 8  # one double per point and half on the wire


def line_rate_files_per_second(points, halves=2):
    return LINK_BYTES_PER_SECOND / (points * halves * BYTES_PER_POINT)


class BusyCores:
    """Processes that spin until stopped, one per core to keep busy."""

    def __init__(self, count):
        self.count = count
        self.processes = []

    def __enter__(self):
        for _ in range(self.count):
            self.processes.append(subprocess.Popen(
                [sys.executable, "-c", "while True: pass"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        return self

    def __exit__(self, *exc):
        for process in self.processes:
            process.kill()
        for process in self.processes:
            process.wait()
        self.processes = []


def load_average():
    with open("/proc/loadavg") as loadavg:
        return " ".join(loadavg.read().split()[:3])


def run_case(tool, library, scratch, points, formats, files, scan_ms, ready_ms, timeout_s):
    """Runs the tool once; returns the figures of the run (or an "error" entry)."""
    out = os.path.join(scratch, "out")
    shutil.rmtree(out, ignore_errors=True)
    arguments = [tool, "--points", str(points), "--scans", "1", "--direction", "3",
                 "--files", str(files), "--format", formats, "--sim-scan-ms", str(scan_ms),
                 "--sim-ready-ms", str(ready_ms), "--no-plot", "--quiet", "--out", out]
    environment = dict(os.environ, OSTRELTCP_LIBRARY=library)
    with open(os.path.join(scratch, "stdout.txt"), "wb") as stdout, \
            open(os.path.join(scratch, "stderr.txt"), "wb") as stderr:
        started = time.monotonic()
        process = subprocess.Popen(arguments, env=environment, stdin=subprocess.DEVNULL,
                                   stdout=stdout, stderr=stderr)
        deadline = started + timeout_s
        interrupted = False
        while True:
            pid, status, usage = os.wait4(process.pid, os.WNOHANG)
            if pid != 0:
                break
            if time.monotonic() > deadline:
                if interrupted:
                    process.kill()
                else:
                    # The tool ends its run cleanly on Ctrl-C and still writes its summary.
                    process.send_signal(signal.SIGINT)
                    interrupted = True
                    deadline = time.monotonic() + 30
            time.sleep(0.05)
        wall = time.monotonic() - started
    result = {"points": points, "formats": formats, "wall_s": wall,
              "cpu_s": usage.ru_utime + usage.ru_stime, "max_rss_mib": usage.ru_maxrss / 1024.0,
              "exit": os.waitstatus_to_exitcode(status)}
    try:
        with open(os.path.join(out, "summary.json")) as summary_file:
            summary = json.load(summary_file)
    except (OSError, ValueError) as error:
        with open(os.path.join(scratch, "stderr.txt"), errors="replace") as errors:
            result["error"] = f"no summary ({error}): {errors.read()[-300:].strip()}"
        return result
    timing = summary["timing"]
    signalled = summary["files_signalled"]
    result.update({
        "signalled": signalled,
        "saved": summary["files_saved"],
        "missed": summary["files_missed"],
        "write_ms": 1e3 * timing["write_s_per_file"],
        "spilled": summary.get("files_spilled", 0),
        "after_s": timing.get("written_after_acquisition_s", 0.0),
        "rate": signalled / timing["acquisition_s"] if timing["acquisition_s"] > 0 else 0.0,
        "status": summary["status"],
        # Older builds do not record how the fetching thread was scheduled.
        "fetch": summary.get("fetch_priority", "?"),
    })
    shutil.rmtree(out, ignore_errors=True)
    return result


def table(results, label_tools):
    head = ["points", "load", "--format"]
    if label_tools:
        head.insert(0, "tool")
    head += ["fetch", "files/s", "saved", "missed", "waited on disk", "written after s", "write ms/file",
             "CPU s", "CPU ms/file signalled", "max RSS MiB"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for tool, load, result in results:
        cells = [str(result["points"]), load, result["formats"]]
        if label_tools:
            cells.insert(0, tool)
        if "error" in result:
            cells += [result["error"].replace("|", "/").replace("\n", " ")] + [""] * 9
        else:
            cpu_per_file = 1e3 * result["cpu_s"] / max(result["signalled"], 1)
            cells += [result["fetch"], f"{result['rate']:.0f}", str(result["saved"]),
                      str(result["missed"]),
                      str(result["spilled"]), f"{result['after_s']:.1f}", f"{result['write_ms']:.2f}", f"{result['cpu_s']:.1f}",
                      f"{cpu_per_file:.2f}", f"{result['max_rss_mib']:.0f}"]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", action="append",
                        help="ostrel-acquire to run (repeatable; default: the default build's)")
    parser.add_argument("--library", default=os.environ.get("OSTRELTCP_LIBRARY", DEFAULT_LIBRARY),
                        help="the driver library (default: $OSTRELTCP_LIBRARY, else the build's)")
    parser.add_argument("--files", type=int, default=2000, help="files per case (default 2000)")
    parser.add_argument("--formats", default=";".join(FORMAT_LISTS),
                        help="format lists separated by ';' (default: %(default)s)")
    parser.add_argument("--sim-scan-ms", type=float, default=1.2,
                        help="simulator scan time at 16384 points (default %(default)s)")
    parser.add_argument("--sim-ready-ms", type=float, default=0.0,
                        help="simulator pause before \"ready\" (default %(default)s)")
    parser.add_argument("--skip-loaded", action="store_true",
                        help="leave out the 16384-point cases under load")
    parser.add_argument("--calibrate", action="store_true",
                        help="first measure the file rate the simulator reaches with hdf5")
    options = parser.parse_args()

    tools = [os.path.abspath(tool) for tool in (options.tool or [DEFAULT_TOOL])]
    for tool in tools:
        if not os.access(tool, os.X_OK):
            parser.error(f"{tool} is not an executable program")
    if not os.path.exists(options.library):
        parser.error(f"the driver library {options.library} does not exist")
    # On a 2-core machine 1.2 ms per 16384 points and no ready pause gives 220 to 250 files/s of
    # 32768 points, the line rate or a little above; the table shows the rate each run reached.
    scan_ms = options.sim_scan_ms
    format_lists = [text for text in options.formats.split(";") if text]
    cases = [(32768, "quiet", formats) for formats in format_lists]
    if not options.skip_loaded:
        cases += [(16384, "2 busy", formats) for formats in format_lists]

    print(f"load average at the start: {load_average()}")
    print(f"line rate: {line_rate_files_per_second(32768):.0f} files/s at 32768 points, "
          f"{line_rate_files_per_second(16384):.0f} at 16384 (both halves); "
          f"--sim-scan-ms {scan_ms:.3f} --sim-ready-ms {options.sim_ready_ms}; "
          f"{options.files} files per case", flush=True)
    results = []
    with tempfile.TemporaryDirectory(prefix="ostrel-line-rate-") as scratch:
        if options.calibrate:
            result = run_case(tools[0], options.library, scratch, 32768, "hdf5", options.files,
                              scan_ms, options.sim_ready_ms, 600)
            print(f"calibration: {result.get('rate', 0):.0f} files/s signalled with hdf5 "
                  f"(line rate {line_rate_files_per_second(32768):.0f})", flush=True)
        for points, load, formats in cases:
            for tool in tools:
                expected_s = options.files / line_rate_files_per_second(points)
                # Files that the writers could not keep up with wait on disk and are written
                # after the acquisition, at the writers' share of the cores: minutes under load.
                with BusyCores(2 if load != "quiet" else 0):
                    result = run_case(tool, options.library, scratch, points, formats,
                                      options.files, scan_ms, options.sim_ready_ms,
                                      timeout_s=10 * expected_s + 300)
                results.append((tool, load, result))
                summary = result.get("error") or (
                    f"{result['rate']:.0f} files/s, {result['missed']} missed, fetch "
                    f"{result['fetch']}, "
                    f"{result['write_ms']:.2f} ms written per file")
                print(f"  {points} {load} {formats} [{tool}]: {summary}", file=sys.stderr,
                      flush=True)
    print(f"load average at the end: {load_average()}")
    label_tools = len(tools) > 1
    if label_tools:
        for index, tool in enumerate(tools):
            print(f"tool {index + 1}: {tool}")
        results = [(str(tools.index(tool) + 1), load, result) for tool, load, result in results]
    print()
    print(table(results, label_tools))


if __name__ == "__main__":
    main()
