"""kavrel_python.add/sub/mul/div against NumPy on float32 matrices of 10^3 to 10^8 elements.

Three shapes of b for an (m, n) a: the same shape, a row (1, n) and a column (m, 1), b made
C-contiguous as the functions require. Prints the median time of each and the ratio
numpy / kavrel (above 1: kavrel is faster).
Run: .venv/bin/python bench/elementwise.py [--min-exp 3] [--max-exp 8] [--ops add,sub,mul,div]
"""
import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import add_size_args, fmt_time, matrix_shapes, median_seconds  # noqa: E402

import kavrel_python as kp  # noqa: E402

OPS = {"add": (kp.add, np.add), "sub": (kp.sub, np.subtract), "mul": (kp.mul, np.multiply),
       "div": (kp.div, np.divide)}


def main():
    parser = argparse.ArgumentParser()
    add_size_args(parser)
    parser.add_argument("--ops", default="add,sub,mul,div")
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    print(f"{'op':>4} {'elements':>10} {'a':>14} {'b':>12} {'numpy':>12} {'kavrel':>12} {'ratio':>7}")
    for n, (rows, cols) in matrix_shapes(args):
        a = rng.standard_normal((rows, cols), dtype=np.float32)
        # Divisors away from zero so that no path meets special values.
        full = rng.uniform(0.5, 2.0, (rows, cols)).astype(np.float32)
        bs = [full, np.ascontiguousarray(full[:1, :]), np.ascontiguousarray(full[:, :1])]
        # A row or column b of a's own shape is the first case again.
        bs = [b for k, b in enumerate(bs) if k == 0 or b.shape != a.shape]
        for b in bs:
            for name in args.ops.split(","):
                ours, theirs = OPS[name]
                t_np = median_seconds(lambda: theirs(a, b))
                t_kp = median_seconds(lambda: ours(a, b))
                print(f"{name:>4} {n:>10} {str(a.shape):>14} {str(b.shape):>12} {fmt_time(t_np):>12} "
                      f"{fmt_time(t_kp):>12} {t_np / t_kp:7.2f}", flush=True)
        del a, full


if __name__ == "__main__":
    main()
