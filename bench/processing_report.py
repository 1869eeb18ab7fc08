#!/usr/bin/env python3
"""Runs ostrel_bench_processing once and prints each unglomData figure as a ratio against the
byte-swap baseline of the same block size from the same run.

    bench/processing_report.py [path/to/ostrel_bench_processing] [extra benchmark flags...]
"""
import os
import sys

from benchmark_medians import benchmark_medians

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT = os.path.join(ROOT, "build", "default", "bench", "ostrel_bench_processing")


def main(argv):
    program = argv[1] if len(argv) > 1 else DEFAULT
    medians = benchmark_medians(program, 5, argv[2:])
    print(f"{'benchmark':40} {'median CPU us':>14} {'x baseline':>11}")
    for name, cpu in medians.items():
        kind, _, size = name.partition("/")
        baseline = medians.get(f"BM_SwapToDoublesBaseline/{size}")
        ratio = f"{cpu / baseline:11.2f}" if baseline and kind != "BM_SwapToDoublesBaseline" else ""
        print(f"{name:40} {cpu:14.3f} {ratio}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
