#!/usr/bin/env python3
"""Runs ostrel_bench_spectra and prints the single-beam spectrum's cost as ratios against bare FFTW
transforms from the same run: of the zero-filled length the spectrum is transformed at (exits 1
when that ratio passes 3) and of the recorded half alone; and the cost of the quality gates as
the ratio of the spectrum with them to the spectrum alone.

    bench/spectra_report.py [path/to/ostrel_bench_spectra] [extra benchmark flags...]
"""
import os
import sys

from benchmark_medians import benchmark_medians

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT = os.path.join(ROOT, "build", "default", "bench", "ostrel_bench_spectra")
LIMIT = 3.0


def main(argv):
    program = argv[1] if len(argv) > 1 else DEFAULT
    medians = benchmark_medians(program, 7, argv[2:])
    recorded = medians["BM_BareRealTransform/32768"]
    filled = medians["BM_BareRealTransform/65536"]
    spectrum = medians["BM_SingleBeamMertz"]
    gated = medians["BM_SingleBeamMertzWithGates"]
    print(f"bare FFTW r2c, 32768 points:                   {recorded:9.1f} us")
    print(f"bare FFTW r2c, 65536 points:                   {filled:9.1f} us")
    print(f"single beam, 32768 points, zero-fill 2, Mertz: {spectrum:9.1f} us")
    print(f"ratio against the 65536-point transform: {spectrum / filled:.2f} (limit {LIMIT})")
    print(f"ratio against the 32768-point transform: {spectrum / recorded:.2f}")
    print(f"single beam with its quality gates:            {gated:9.1f} us")
    print(f"ratio of the gated spectrum to the spectrum alone: {gated / spectrum:.2f}")
    return 0 if spectrum / filled <= LIMIT else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
