#!/usr/bin/env python3
"""Writes the performance report docs/performance.md and its plot docs/performance-scaling.png.

Runs the three benchmark programs of a build (RelWithDebInfo, the default preset) with Google
Benchmark's JSON output, several repetitions each, and takes the best repetition of every
benchmark: other work on the machine only ever makes a figure slower. Each figure is reported as
a ratio against its baseline from the same run of the same program.

    bench/report.py [--build build/default] [--repetitions 5] [--from-json DIR]

--from-json reads processing.json, acquisition.json, scaling.json and machine.json from DIR (as
an earlier run left them in <build>/bench/results/) instead of running the programs.
"""
import argparse
import datetime
import json
import os
import platform
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAMS = {
    "processing": "ostrel_bench_processing",
    "acquisition": "ostrel_bench_acquisition",
    "scaling": "ostrel_bench_scaling",
}
TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}

# Benchmarks whose best repetition is the one with the lowest counter, not the lowest time.
BEST_BY_COUNTER = {
    "CoaddRun": "ms_per_file",
    "CoaddCpuWithSlowInstrument": "cpu_share_percent",
    "FileScaling": "ms_per_file",
    "FileWithScanTime": "ms_per_file",
}


def run_program(build, name, repetitions, results):
    program = os.path.join(build, "bench", PROGRAMS[name])
    out = os.path.join(results, f"{name}.json")
    print(f"report: running {PROGRAMS[name]} ({repetitions} repetitions)", file=sys.stderr)
    subprocess.run([program, f"--benchmark_out={out}", "--benchmark_out_format=json",
                    f"--benchmark_repetitions={repetitions}"],
                   check=True, stdout=subprocess.DEVNULL)


def best_runs(report):
    """The best repetition of each benchmark, its times in milliseconds."""
    best = {}
    for entry in report["benchmarks"]:
        if entry.get("run_type") == "aggregate" or entry.get("error_occurred"):
            continue
        scale = TO_MS[entry["time_unit"]]
        entry = dict(entry, real_ms=entry["real_time"] * scale, cpu_ms=entry["cpu_time"] * scale)
        name = entry["run_name"]
        family = name.split("/")[0]
        metric = BEST_BY_COUNTER.get(family)
        if metric is None:
            metric = "real_ms" if name.endswith("real_time") else "cpu_ms"
        if name not in best or entry[metric] < best[name][metric]:
            best[name] = entry
    return best


def find(runs, prefix):
    """The one benchmark whose name starts with prefix."""
    matches = [entry for name, entry in runs.items() if name.startswith(prefix)]
    if len(matches) != 1:
        raise KeyError(f"{len(matches)} benchmarks named {prefix}*")
    return matches[0]


def linear_fit(xs, ys):
    n = len(xs)
    mean_x, mean_y = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mean_x) ** 2 for x in xs)
    sxy = sum((x - mean_x) * (y - mean_y) for x, y in zip(xs, ys))
    slope = sxy / sxx
    intercept = mean_y - slope * mean_x
    residual = sum((y - intercept - slope * x) ** 2 for x, y in zip(xs, ys))
    total = sum((y - mean_y) ** 2 for y in ys)
    worst = max(abs(y - intercept - slope * x) / y for x, y in zip(xs, ys))
    return slope, intercept, 1.0 - residual / total, worst


def machine():
    model = "unknown processor"
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    with open("/proc/loadavg") as loadavg:
        load = " ".join(loadavg.read().split()[:3])
    return {"model": model, "cpus": os.cpu_count(), "kernel": platform.release(), "load": load,
            "date": datetime.date.today().isoformat()}


def plot(points, unglom, baseline, files, fits, png, results):
    data = os.path.join(results, "scaling.dat")
    with open(data, "w") as out:
        for row in zip(points, unglom, baseline, files):
            out.write(" ".join(f"{value:.6g}" for value in row) + "\n")
    (b1, a1, _, _), (b2, a2, _, _) = fits
    script = f"""
set terminal pngcairo size 960,600 enhanced font "DejaVu Sans,11"
set output '{png}'
set title "Cost against the points per direction (both directions, best of the repetitions)"
set xlabel "points per direction"
set ylabel "unglomData and byte-swap copy (µs)"
set y2label "one file of a run (ms)"
set ytics nomirror
set y2tics
set xrange [0:34816]
set xtics 0,4096
set yrange [0:*]
set y2range [0:*]
set grid
set key left top
f(x) = {a1!r} + {b1!r} * x
g(x) = {a2!r} + {b2!r} * x
plot '{data}' using 1:2 with points pt 7 ps 1.4 lc rgb "#1f5fa8" title "unglomData", \\
     f(x) with lines dt 2 lc rgb "#1f5fa8" title "unglomData, linear fit", \\
     '{data}' using 1:3 with linespoints pt 6 lc rgb "#7f7f7f" title "byte-swap copy (baseline)", \\
     '{data}' using 1:4 axes x1y2 with points pt 5 ps 1.4 lc rgb "#c0392b" title "one file", \\
     g(x) axes x1y2 with lines dt 2 lc rgb "#c0392b" title "one file, linear fit"
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def ratio_row(label, value, baseline, unit="ms", digits=3):
    return (f"| {label} | {value:.{digits}f} {unit} | {baseline:.{digits}f} {unit} | "
            f"{value / baseline:.2f} |")


def report(processing, acquisition, scaling, info, repetitions, png_name):
    lines = [
        "# Performance",
        "",
        "Generated by `bench/report.py` from the Google Benchmark JSON of `ostrel_bench_processing`,"
        " `ostrel_bench_acquisition` and `ostrel_bench_scaling` (default preset, RelWithDebInfo)."
        " Do not edit by hand: `cmake --build --preset default && bench/report.py` measures"
        " again, `bench/report.py --from-json build/default/bench/results` rewrites it from the"
        " last measurement.",
        "",
        f"- Machine: {info['model']}, {info['cpus']} processors, Linux {info['kernel']}",
        f"- Date: {info['date']}; load average when the runs began: {info['load']}",
        f"- Method: every benchmark ran {repetitions} times; each figure is the best repetition."
        " Other engineers share this machine, and their load only ever slows a run down, so the"
        " best repetition is the one least disturbed. Every ratio divides by a baseline measured"
        " in the same run of the same program.",
        "- The simulator runs on the same machine: in-process for `ostrel_bench_acquisition`,"
        " as the `ostrel-sim` program for `ostrel_bench_scaling` (so that the processor time"
        " there is the driver's alone).",
        "",
        "## Conversion: unglomData against a byte-swap copy",
        "",
        "The baseline copies the same block and converts every word from network order into a"
        " double, which is the least any conversion must do. unglomData also splits the channels,"
        " finds the high-signal region, fits and blends the two channels and divides by the scan"
        " count.",
        "",
        "| block | unglomData | byte-swap copy | ratio |",
        "|---|---|---|---|",
    ]
    for name, entry in processing.items():
        if not name.startswith("BM_UnglomData/"):
            continue
        args = name.split("/", 1)[1]
        pts, direction = args.split("/")
        baseline = processing[f"BM_SwapToDoublesBaseline/{args}"]
        label = f"{pts} points, {'both directions' if direction == '3' else 'one direction'}"
        lines.append(ratio_row(label, entry["cpu_ms"] * 1e3, baseline["cpu_ms"] * 1e3, "µs", 1))
    traced = find(processing, "BM_UnglomDataTracedToFile/")
    silent = processing["BM_UnglomData/32768/3"]
    lines += [
        "",
        f"With its trace records written to a file instead of dropped, a 32768-point conversion"
        f" takes {traced['cpu_ms'] * 1e3:.1f} µs, {traced['cpu_ms'] / silent['cpu_ms']:.2f} times"
        " the silent one.",
        "",
        "## Block transfer: readData against a plain recv loop",
        "",
        "The baseline is a blocking recv loop reading the same block from the same simulator over"
        " loopback.",
        "",
        "| block | readData | recv loop | ratio | readData throughput |",
        "|---|---|---|---|---|",
    ]
    for pts in ("32768", "16384"):
        driver = find(acquisition, f"DriverTransfer/{pts}/")
        raw = find(acquisition, f"RawRecvTransfer/{pts}/")
        size_kib = (16 + 16 * int(pts)) / 1024
        lines.append(ratio_row(f"{pts} points, both directions ({size_kib:.0f} KiB)",
                               driver["real_ms"], raw["real_ms"])
                     + f" {driver['bytes_per_second'] / 1e6:.0f} MB/s |")

    coadd = find(acquisition, "CoaddRun/")
    transfer = find(acquisition, "DriverTransfer/16384/")
    slow = find(scaling, "FileWithScanTime")
    overhead_transfer = coadd["ms_per_file"] - transfer["real_ms"]
    overhead_scan = slow["ms_per_file"] - slow["instrument_ms_per_file"]
    lines += [
        "",
        "## Per-file overhead",
        "",
        "A file is a scan sequence on the command connection, the block transfer, the conversion"
        " and the publication. With an instrument that scans in no time the whole file is set"
        " against its transfer alone; with the simulator's default scan time (50 ms a scan of"
        " 16384 points, one scan a file) it is set against the instrument's own time.",
        "",
        "| file of 16384 points, both directions | per file | baseline | ratio | overhead |",
        "|---|---|---|---|---|",
        f"| instant scans (in-process simulator, 100 files a run) | {coadd['ms_per_file']:.3f} ms"
        f" | transfer {transfer['real_ms']:.3f} ms | {coadd['ms_per_file'] / transfer['real_ms']:.2f}"
        f" | {overhead_transfer:.3f} ms |",
        f"| 50 ms scans (ostrel-sim, 10 files a run) | {slow['ms_per_file']:.3f} ms"
        f" | instrument {slow['instrument_ms_per_file']:.0f} ms"
        f" | {slow['ms_per_file'] / slow['instrument_ms_per_file']:.3f} | {overhead_scan:.3f} ms |",
        "",
        "## Processor time per file",
        "",
        "The driver's processor time (all its threads, the simulator being another process) per"
        " file, against the file's wall time.",
        "",
        "| run | processor time per file | wall time per file | share |",
        "|---|---|---|---|",
    ]
    file_runs = sorted((entry for name, entry in scaling.items() if name.startswith("FileScaling/")),
                       key=lambda entry: entry["points"])
    for entry in (file_runs[0], file_runs[-1], slow):
        label = (f"{int(entry['points'])} points, instant scans" if entry is not slow
                 else "16384 points, 50 ms scans")
        lines.append(f"| {label} | {entry['cpu_ms_per_file']:.3f} ms | {entry['ms_per_file']:.3f} ms"
                     f" | {100 * entry['cpu_ms_per_file'] / entry['ms_per_file']:.1f} % |")
    cpu_slow = find(acquisition, "CoaddCpuWithSlowInstrument/")
    lines += [
        "",
        f"A run of 10 files against an instrument that takes one second a scan keeps"
        f" {cpu_slow['cpu_share_percent']:.2f} % of one processor busy (in-process simulator"
        " included): the waits block in poll and do not spin.",
        "",
        "## Open and close",
        "",
        "The baseline is the same conversation over plain blocking sockets: connect both"
        " connections, read both greetings, send \"deliverAll 0\" and read its \"OK\", close both.",
        "",
        "| | driver | plain sockets | ratio |",
        "|---|---|---|---|",
        ratio_row("open + close", find(scaling, "OpenClose/")["real_ms"],
                  find(scaling, "RawOpenClose/")["real_ms"]),
    ]

    points = [int(entry["points"]) for entry in file_runs]
    unglom = [scaling[f"UnglomScaling/{p}"]["cpu_ms"] * 1e3 for p in points]
    baseline = [scaling[f"UnglomBaselineScaling/{p}"]["cpu_ms"] * 1e3 for p in points]
    files = [entry["ms_per_file"] for entry in file_runs]
    fits = (linear_fit(points, unglom), linear_fit(points, files))
    lines += [
        "",
        "## Scaling with the points",
        "",
        "Both directions, 1024 to 32768 points per direction. The file is one file of a 20-file"
        " run against ostrel-sim with instant scans.",
        "",
        "| points | unglomData | byte-swap copy | ratio | one file |",
        "|---|---|---|---|---|",
    ]
    for p, u, b, f in zip(points, unglom, baseline, files):
        lines.append(f"| {p} | {u:.1f} µs | {b:.1f} µs | {u / b:.2f} | {f:.3f} ms |")
    lines += [
        "",
        "Least-squares lines through the points (time = fixed part + slope × points):",
        "",
        "| | fixed part | slope | R² | largest deviation from the line |",
        "|---|---|---|---|---|",
        f"| unglomData | {fits[0][1]:.2f} µs | {fits[0][0] * 1e3:.3f} ns a point | {fits[0][2]:.4f}"
        f" | {100 * fits[0][3]:.1f} % |",
        f"| one file | {fits[1][1]:.3f} ms | {fits[1][0] * 1e6:.2f} ns a point | {fits[1][2]:.4f}"
        f" | {100 * fits[1][3]:.1f} % |",
        "",
        f"![time against points]({png_name})",
        "",
    ]
    return "\n".join(lines), (points, unglom, baseline, files, fits)


KEPT_MARKER = "<!-- Sections below are not generated: report.py keeps them. -->"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "default"))
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--from-json", help="read the programs' JSON from this directory")
    parser.add_argument("--output", default=os.path.join(ROOT, "docs", "performance.md"))
    args = parser.parse_args(argv[1:])

    results = os.path.join(args.build, "bench", "results")
    os.makedirs(results, exist_ok=True)
    source_dir = args.from_json or results
    if args.from_json:
        with open(os.path.join(source_dir, "machine.json")) as source:
            info = json.load(source)
    else:
        info = machine()
        for name in PROGRAMS:
            run_program(args.build, name, args.repetitions, results)
        with open(os.path.join(results, "machine.json"), "w") as out:
            json.dump(info, out)
    reports = {}
    for name in PROGRAMS:
        with open(os.path.join(source_dir, f"{name}.json")) as source:
            reports[name] = json.load(source)
    repetitions = max(entry.get("repetitions", 1) for report in reports.values()
                      for entry in report["benchmarks"])

    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    png = os.path.join(os.path.dirname(args.output), "performance-scaling.png")
    text, series = report(best_runs(reports["processing"]), best_runs(reports["acquisition"]),
                          best_runs(reports["scaling"]), info, repetitions, os.path.basename(png))
    plot(*series, png, results)
    # Sections measured by other programs (scenario scripts) follow the marker and are kept.
    kept = ""
    if os.path.exists(args.output):
        with open(args.output) as existing:
            previous = existing.read()
        if KEPT_MARKER in previous:
            kept = previous[previous.index(KEPT_MARKER):]
    with open(args.output, "w") as out:
        out.write(text)
        if kept:
            out.write("\n" + kept)
    print(f"report: wrote {args.output} and {png}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
