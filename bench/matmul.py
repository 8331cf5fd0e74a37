"""kavrel_python's float32 matrix products and dot product against NumPy.

Each row times one call at one shape (median of repeats after a warm-up, see common.py) and
prints the ratio NumPy time / kavrel time: above 1, kavrel is faster.

Rows: matmul on square matrices of 8 to 2048, on tall-skinny shapes and on single rows (m = 1);
batched_matmul on 10^4 items of 4×4, 16×16 and 64×64 and on 8 items of 512×512; dot on 10^3
to 10^7 elements.

Thread counts: kavrel's products run on its own executor, one worker per logical processor with
the calling thread taking part. NumPy's BLAS gets the same number of threads as there are
logical processors (--threads, default os.cpu_count()) through OPENBLAS_NUM_THREADS,
OMP_NUM_THREADS and MKL_NUM_THREADS, which only take effect when set before NumPy is first
imported: this script sets them before its NumPy import, so run it in a fresh process.

--peak-gflops takes the single-core float32 fused multiply-add peak that bench/tiled_gemm.cpp
prints (in GFLOP/s); with it the square matmul rows also show the fraction of the whole
machine's peak (that figure times the logical processors) they reach.

Run: .venv/bin/python bench/matmul.py [--only matmul batched dot] [--threads 2] [--peak-gflops X]
"""
import argparse
import os
import sys


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", nargs="+", choices=["matmul", "batched", "dot"], help="groups to run (default: all)")
    parser.add_argument("--threads", type=int, default=os.cpu_count(), help="BLAS threads for NumPy")
    parser.add_argument("--peak-gflops", type=float, help="single-core float32 FMA peak from bench_tiled_gemm")
    return parser.parse_args()


ARGS = parse_args()
for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = str(ARGS.threads)

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from common import fmt_time, median_seconds  # noqa: E402

import kavrel_python as kp  # noqa: E402

SQUARE = [8, 16, 32, 64, 128, 256, 512, 1024, 2048]
TALL_SKINNY = [(16384, 64, 64), (65536, 16, 16), (4096, 256, 32), (100000, 8, 8)]
ONE_ROW = [(1, 256, 256), (1, 1024, 1024), (1, 4096, 4096), (1, 16384, 64)]
BATCHES = [(10_000, 4), (10_000, 16), (10_000, 64), (8, 512)]
DOT_SIZES = [10**3, 10**4, 10**5, 10**6, 10**7]


def operands(shape_a, shape_b, rng):
    return (rng.uniform(-1.0, 1.0, shape_a).astype(np.float32), rng.uniform(-1.0, 1.0, shape_b).astype(np.float32))


def row(label, flops, ours_fn, ref_fn, peak=None):
    t_ref = median_seconds(ref_fn)
    t_ours = median_seconds(ours_fn)
    gflops = flops / t_ours / 1e9
    line = f"{label:>34} {fmt_time(t_ref):>11} {fmt_time(t_ours):>11} {t_ref / t_ours:7.2f} {gflops:9.1f}"
    if peak:
        line += f" {gflops / peak:9.2f}"
    print(line, flush=True)


def main():
    rng = np.random.default_rng(1)
    groups = ARGS.only or ["matmul", "batched", "dot"]
    cores = os.cpu_count()
    machine_peak = ARGS.peak_gflops * cores if ARGS.peak_gflops else None
    print(f"NumPy {np.__version__}: {ARGS.threads} BLAS threads (OPENBLAS/OMP/MKL_NUM_THREADS); "
          f"kavrel: {cores} executor workers and the calling thread")
    header = f"{'call':>34} {'numpy':>11} {'kavrel':>11} {'ratio':>7} {'GFLOP/s':>9}"
    if machine_peak:
        header += f" {'of peak':>9}"
    print(header)
    if "matmul" in groups:
        for n in SQUARE:
            a, b = operands((n, n), (n, n), rng)
            row(f"matmul {n}x{n}", 2.0 * n**3, lambda: kp.matmul(a, b), lambda: np.matmul(a, b), machine_peak)
        for m, k, n in TALL_SKINNY + ONE_ROW:
            a, b = operands((m, k), (k, n), rng)
            row(f"matmul {m}x{k} @ {k}x{n}", 2.0 * m * k * n, lambda: kp.matmul(a, b), lambda: np.matmul(a, b))
    if "batched" in groups:
        for count, n in BATCHES:
            a, b = operands((count, n, n), (count, n, n), rng)
            row(f"batched_matmul {count} x {n}x{n}", 2.0 * count * n**3, lambda: kp.batched_matmul(a, b),
                lambda: np.matmul(a, b))
    if "dot" in groups:
        for n in DOT_SIZES:
            a, b = operands(n, n, rng)
            row(f"dot {n}", 2.0 * n, lambda: kp.dot(a, b), lambda: np.dot(a, b))


if __name__ == "__main__":
    main()
