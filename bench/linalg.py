"""kavrel_python's float64 linear algebra against its NumPy/SciPy counterparts.

Each row times one function at one order n (median of repeats after a warm-up, see common.py)
and prints the ratio reference time / kavrel time: above 1, kavrel is faster.

Thread counts: these kavrel functions compute on the calling thread, so NumPy's BLAS/LAPACK is
limited to the same count (--threads, default 1) through OPENBLAS_NUM_THREADS, OMP_NUM_THREADS
and MKL_NUM_THREADS. They only take effect when set before NumPy is first imported, which is
why this script sets them before its NumPy import; run it in a fresh process.

To add a function, append a Case to CASES: its name, the input it takes ("general" or "spd",
with or without a right-hand side), the kavrel call and the reference call with its label.
kron takes b = the leading 4×4 block of a, so its output stays (4n)² at every n.

Run: .venv/bin/python bench/linalg.py [--sizes 4 16 100 500] [--only det inv] [--threads 1]
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
from scipy.linalg import lapack  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from common import fmt_time, median_seconds  # noqa: E402

import kavrel_python as kp  # noqa: E402


def general(n, rng):
    """Well conditioned, with a determinant that stays finite at every order."""
    return np.eye(n) + rng.uniform(-1.0, 1.0, (n, n)) / n


def spd(n, rng):
    b = rng.uniform(-1.0, 1.0, (n, n))
    return b @ b.T + n * np.eye(n)


def uniform(n, rng):
    """Entries uniform in (-1, 1): a spread spectrum with complex pairs, as eigensolvers meet."""
    return rng.uniform(-1.0, 1.0, (n, n))


def symmetric(n, rng):
    b = rng.uniform(-1.0, 1.0, (n, n))
    return b + b.T


def dominant_symmetric(n, rng):
    """Symmetric and indefinite with diagonal ±n: every pivot of the pivot-free UDU stays large."""
    a = symmetric(n, rng)
    np.fill_diagonal(a, np.where(np.arange(n) % 2 == 0, n, -n))
    return a


def with_leading_block(f):
    """f(a, b) with b the leading 4×4 block of a: a Kronecker product of (4n)² elements."""
    return lambda a: f(a, np.ascontiguousarray(a[:4, :4]))


def swaps_to_perm(pivots):
    """LAPACK's 1-based interchange sequence as a permutation vector."""
    perm = np.arange(len(pivots), dtype=np.uint64)
    for i, p in enumerate(pivots - 1):
        perm[i], perm[p] = perm[p], perm[i]
    return perm


def scipy_full_piv_lu(a):
    """The same four results from LAPACK's complete-pivoting dgetc2."""
    lu, ipiv, jpiv, _ = lapack.dgetc2(a)
    return (np.tril(lu, -1) + np.eye(len(a)), np.triu(lu), swaps_to_perm(ipiv), swaps_to_perm(jpiv))


@dataclass
class Case:
    name: str
    matrix: Callable  # (n, rng) -> the matrix argument
    with_rhs: bool
    ours: Callable
    reference: Callable
    reference_name: str


CASES = [
    Case("det", general, False, kp.det, np.linalg.det, "numpy.linalg.det"),
    Case("inv", general, False, kp.inv, np.linalg.inv, "numpy.linalg.inv"),
    Case("solve", general, True, kp.solve, np.linalg.solve, "numpy.linalg.solve"),
    Case("full_piv_lu", general, False, kp.full_piv_lu, scipy_full_piv_lu, "scipy lapack.dgetc2 + L, U, perms"),
    Case("cholesky", spd, False, kp.cholesky, np.linalg.cholesky, "numpy.linalg.cholesky"),
    Case("cholesky_solve", spd, True, kp.cholesky_solve,
         lambda a, b: scipy.linalg.cho_solve(scipy.linalg.cho_factor(a, lower=True), b),
         "scipy cho_factor + cho_solve"),
    Case("cholesky_inv", spd, False, kp.cholesky_inv,
         lambda a: scipy.linalg.cho_solve(scipy.linalg.cho_factor(a, lower=True), np.eye(len(a))),
         "scipy cho_factor + cho_solve(I)"),
    Case("qr", general, False, kp.qr, np.linalg.qr, "numpy.linalg.qr"),
    Case("col_piv_qr", general, False, kp.col_piv_qr, lambda a: scipy.linalg.qr(a, pivoting=True),
         "scipy.linalg.qr(pivoting=True)"),
    Case("svd", general, False, kp.svd, lambda a: np.linalg.svd(a, full_matrices=False),
         "numpy.linalg.svd(full_matrices=False)"),
    Case("singular_values", general, False, kp.singular_values, lambda a: np.linalg.svd(a, compute_uv=False),
         "numpy.linalg.svd(compute_uv=False)"),
    Case("hessenberg", uniform, False, kp.hessenberg, lambda a: scipy.linalg.hessenberg(a, calc_q=True),
         "scipy.linalg.hessenberg(calc_q)"),
    Case("schur", uniform, False, kp.schur, scipy.linalg.schur, "scipy.linalg.schur"),
    Case("eigenvalues", uniform, False, kp.eigenvalues, np.linalg.eigvals, "numpy.linalg.eigvals"),
    Case("symmetric_eigen", symmetric, False, kp.symmetric_eigen, np.linalg.eigh, "numpy.linalg.eigh"),
    Case("bunch_kaufman", symmetric, False, kp.bunch_kaufman, scipy.linalg.ldl, "scipy.linalg.ldl"),
    Case("udu", dominant_symmetric, False, kp.udu, lambda a: scipy.linalg.ldl(a, lower=False),
         "scipy.linalg.ldl(lower=False)"),
    Case("matexp", general, False, kp.matexp, scipy.linalg.expm, "scipy.linalg.expm"),
    Case("norm", uniform, False, kp.norm, np.linalg.norm, "numpy.linalg.norm"),
    Case("norm max", uniform, False, lambda a: kp.norm(a, "max"), lambda a: np.max(np.abs(a)),
         "numpy.max(numpy.abs(a))"),
    Case("kron", uniform, False, with_leading_block(kp.kron), with_leading_block(np.kron), "numpy.kron (b 4x4)"),
    Case("trace", uniform, False, kp.trace, np.trace, "numpy.trace"),
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
