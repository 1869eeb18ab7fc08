"""Runs a Google Benchmark program with repetitions and returns the median CPU time of each
benchmark in microseconds. The median is compared because other work on a shared machine only
ever slows a repetition down."""
import json
import subprocess

_MICROSECONDS = {"ns": 1e-3, "us": 1.0, "ms": 1e3}


def benchmark_medians(program, repetitions, extra_flags=()):
    flags = ["--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
             "--benchmark_report_aggregates_only=true", *extra_flags]
    report = json.loads(subprocess.run([program, *flags], check=True,
                                       capture_output=True, text=True).stdout)
    return {b["run_name"]: b["cpu_time"] * _MICROSECONDS[b["time_unit"]]
            for b in report["benchmarks"] if b.get("aggregate_name") == "median"}
