"""kavrel_python's Hessenberg, Schur and eigenvalue functions against NumPy/SciPy.

Each row times one function at one order n (median of repeats after a warm-up, see common.py)
and prints the ratio reference time / kavrel time: above 1, kavrel is faster.

The kavrel functions compute on the calling thread, so NumPy's BLAS/LAPACK is limited to the same
count (--threads, default 1) through OPENBLAS_NUM_THREADS, OMP_NUM_THREADS and MKL_NUM_THREADS,
set before NumPy is first imported; run it in a fresh process.

CASES uses the Case record and the matrix makers of bench/linalg.py, so its entries (and the
`symmetric` maker) can move into that script's CASES list as they stand.

Run: .venv/bin/python bench/linalg_eigen.py [--sizes 4 16 100 500] [--only schur eigenvalues] [--threads 1]
"""
import argparse
import os
import sys
from dataclasses import dataclass
from typing import Callable


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[4, 16, 100, 500])
    parser.add_argument("--only", nargs="+", help="function names to run (default: all)")
    parser.add_argument("--threads", type=int, default=1, help="BLAS threads for NumPy/SciPy")
    return parser.parse_args()


ARGS = parse_args()
for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = str(ARGS.threads)

import numpy as np  # noqa: E402
import scipy.linalg  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from common import fmt_time, median_seconds  # noqa: E402

import kavrel_python as kp  # noqa: E402


def general(n, rng):
    return rng.uniform(-1.0, 1.0, (n, n)) + n * 0.1 * np.eye(n)


def symmetric(n, rng):
    b = rng.uniform(-1.0, 1.0, (n, n))
    return b + b.T


@dataclass
class Case:
    name: str
    matrix: Callable  # (n, rng) -> the matrix argument
    with_rhs: bool
    ours: Callable
    reference: Callable
    reference_name: str


CASES = [
    Case("hessenberg", general, False, kp.hessenberg, lambda a: scipy.linalg.hessenberg(a, calc_q=True),
         "scipy.linalg.hessenberg(calc_q)"),
    Case("schur", general, False, kp.schur, scipy.linalg.schur, "scipy.linalg.schur"),
    Case("eigenvalues", general, False, kp.eigenvalues, np.linalg.eigvals, "numpy.linalg.eigvals"),
    Case("symmetric_eigen", symmetric, False, kp.symmetric_eigen, np.linalg.eigh, "numpy.linalg.eigh"),
]


def main():
    rng = np.random.default_rng(1)
    cases = [c for c in CASES if not ARGS.only or c.name in ARGS.only]
    print(f"threads: {ARGS.threads} (NumPy/SciPy BLAS); kavrel: calling thread")
    print(f"{'function':>15} {'n':>5} {'reference':>34} {'ref time':>11} {'kavrel':>11} {'ratio':>7}")
    for case in cases:
        for n in ARGS.sizes:
            args = (case.matrix(n, rng),) + ((rng.uniform(-1.0, 1.0, n),) if case.with_rhs else ())
            t_ref = median_seconds(lambda: case.reference(*args))
            t_ours = median_seconds(lambda: case.ours(*args))
            print(f"{case.name:>15} {n:>5} {case.reference_name:>34} {fmt_time(t_ref):>11} "
                  f"{fmt_time(t_ours):>11} {t_ref / t_ours:7.2f}", flush=True)


if __name__ == "__main__":
    main()
