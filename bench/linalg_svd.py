"""kavrel_python's svd and singular_values against numpy.linalg.svd.

Each row times one function at one order n (median of repeats after a warm-up, see common.py)
and prints the ratio reference time / kavrel time: above 1, kavrel is faster. kavrel computes
on the calling thread, so NumPy's LAPACK is limited to the same thread count (--threads, default
1); the variables take effect only before NumPy's first import, so run this in a fresh process.

CASES holds (name, kavrel call, reference call, reference label), in the form of the Case
entries of bench/linalg.py, into which they merge.

Run: .venv/bin/python bench/linalg_svd.py [--sizes 4 16 100 500] [--threads 1]
"""
import argparse
import os
import sys


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[4, 16, 100, 500])
    parser.add_argument("--threads", type=int, default=1, help="BLAS threads for NumPy")
    return parser.parse_args()


ARGS = parse_args()
for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = str(ARGS.threads)

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from common import fmt_time, median_seconds  # noqa: E402

import kavrel_python as kp  # noqa: E402

CASES = [
    ("svd", kp.svd, lambda a: np.linalg.svd(a, full_matrices=False), "numpy.linalg.svd(full_matrices=False)"),
    ("singular_values", kp.singular_values, lambda a: np.linalg.svd(a, compute_uv=False),
     "numpy.linalg.svd(compute_uv=False)"),
]


def main():
    rng = np.random.default_rng(1)
    print(f"threads: {ARGS.threads} (NumPy BLAS/LAPACK); kavrel: calling thread")
    print(f"{'function':>15} {'n':>5} {'reference':>38} {'ref time':>11} {'kavrel':>11} {'ratio':>7}")
    for name, ours, reference, label in CASES:
        for n in ARGS.sizes:
            a = rng.uniform(-1.0, 1.0, (n, n))
            t_ref = median_seconds(lambda: reference(a))
            t_ours = median_seconds(lambda: ours(a))
            print(f"{name:>15} {n:>5} {label:>38} {fmt_time(t_ref):>11} {fmt_time(t_ours):>11} {t_ref / t_ours:7.2f}")


if __name__ == "__main__":
    main()
