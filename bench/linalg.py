"""kavrel_python's float64 linear algebra against NumPy and SciPy on square matrices.

Each row times one function and its reference on the same input, in one process, after a
warm-up, and prints both medians and the ratio reference / kavrel (above 1: kavrel is faster).
Run: .venv/bin/python bench/linalg.py [--sizes 4 16 100 500] [--only qr col_piv_qr]
"""
import argparse
import os
import sys

import numpy as np
import scipy.linalg

sys.path.insert(0, os.path.dirname(__file__))
from common import fmt_time, median_seconds  # noqa: E402

import kavrel_python as kp  # noqa: E402


def general(n, rng):
    return rng.standard_normal((n, n))


# name, kavrel call, reference label, reference call, input. One entry per function; the
# references return the same factors (full Q for square inputs).
CASES = [
    ("qr", kp.qr, "numpy.linalg.qr", np.linalg.qr, general),
    ("col_piv_qr", kp.col_piv_qr, "scipy.linalg.qr(pivoting=True)",
     lambda a: scipy.linalg.qr(a, pivoting=True), general),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[4, 16, 100, 500])
    parser.add_argument("--only", nargs="+", help="function names to run")
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    print(f"{'function':>16} {'n':>5} {'reference':>32} {'ref time':>12} {'kavrel':>12} {'ratio':>7}")
    for name, ours, ref_label, ref, make in CASES:
        if args.only and name not in args.only:
            continue
        for n in args.sizes:
            a = make(n, rng)
            t_ref = median_seconds(lambda: ref(a))
            t_kp = median_seconds(lambda: ours(a))
            print(f"{name:>16} {n:>5} {ref_label:>32} {fmt_time(t_ref):>12} {fmt_time(t_kp):>12} {t_ref / t_kp:7.2f}")


if __name__ == "__main__":
    main()
